#pragma once

#include <QByteArray>
#include <QString>

// A regular file read and appended to by the log. Anything else at the path (a folder, a named
// pipe, a device) is refused without being opened, so that the program never waits on a pipe
// or writes into a device. Closed when destroyed.
class RegularFile {
public:
    enum class Mode {
        Read,
        Append,         // read and append, created when missing
        AppendWriteOnly // append only (for a file one may write but not read)
    };
    RegularFile() = default;
    ~RegularFile();
    RegularFile(const RegularFile &) = delete;
    RegularFile &operator=(const RegularFile &) = delete;

    // False when it could not be opened: NotRegular() then names what is there instead, or
    // ErrorString() says why.
    bool Open(const QString &path, Mode mode);
    qint64 Size() const { return m_size; } // when opened
    // Up to size bytes at offset; fewer when the file got shorter meanwhile; -1 on failure.
    qint64 ReadAt(char *data, qint64 size, qint64 offset);
    // Writes all of data at the end; false on failure (ErrorString says why).
    bool Append(const QByteArray &data, qint64 *written);
    // Cuts the file back to size, as far as the system allows.
    void Truncate(qint64 size);

    QString ErrorString() const { return m_error; }
    bool AccessDenied() const { return m_denied; }
    QString NotRegular() const { return m_kind; }

    // What is at path when it is something other than a regular file ("a folder", "a named
    // pipe (FIFO)", ...); empty for a regular file or nothing at all. Links are followed.
    static QString KindOtherThanRegular(const QString &path);

private:
    qintptr m_handle = -1;
    qint64 m_size = 0;
    QString m_error;
    QString m_kind;
    bool m_denied = false;
};
