#pragma once

#include <QByteArray>
#include <QString>
#include <deque>

// The newest entries of a log within two limits: at most maxEntries entries and at most
// maxBytes of log text as the file counts it (UTF-8, CR LF). The newest entry always stays,
// however big it is. It only counts: the owner keeps the text and drops what Add says.
class LogBound {
public:
    static constexpr qsizetype DefaultEntries = 5000;
    static constexpr qint64 DefaultBytes = 2 * 1024 * 1024;

    explicit LogBound(qsizetype maxEntries = DefaultEntries, qint64 maxBytes = DefaultBytes)
        : m_maxEntries(maxEntries), m_maxBytes(maxBytes) {}

    // An entry added at the end: its length in the owner's units (the pane's characters, a
    // buffer's bytes) and its size in the file. Returns how many units to drop at the front:
    // the oldest entries, whole.
    qsizetype Add(qsizetype units, qint64 bytes);
    void Clear();
    // Older entries are gone: dropped by Add, or never taken in (SetDropped).
    bool Dropped() const { return m_dropped; }
    void SetDropped() { m_dropped = true; }
    qsizetype Entries() const { return qsizetype(m_entries.size()); }
    qint64 Bytes() const { return m_bytes; }
    qint64 MaxBytes() const { return m_maxBytes; }

private:
    struct Entry {
        qsizetype units;
        qint64 bytes;
    };
    std::deque<Entry> m_entries;
    qint64 m_bytes = 0;
    bool m_dropped = false;
    qsizetype m_maxEntries;
    qint64 m_maxBytes;
};

// An entry as the log file keeps it: every line break (CR LF, a lone CR or LF) as CR LF, and
// one more at its end, so that the next entry starts a line of its own.
QByteArray LogFileText(const QString &entry);

// The end of a log file as read at start: whole lines, from a line start to the file's end.
struct LogTail {
    QByteArray bytes;
    bool cut = false; // the file holds more before them
};

// The log file: it keeps the whole log and is only ever appended to (CR LF line breaks,
// UTF-8), one write per entry as it is logged. Entries that cannot go to a file yet ("Save
// log" off, no file named, a failed write) wait, within a LogBound, and go first with the next
// write. Only regular files are used: a named pipe, socket, device or folder at the path is
// refused without being opened, so nothing ever blocks on it. Failures throw EFileError with
// the system's text.
class LogFile {
public:
    // Writes what waits and then entry (may be empty) at the end of the file at path, creating
    // it; a file that ends inside a line gets a line break first. After Restart the file is
    // replaced instead. On failure the file is cut back to its former end and the entries wait.
    // An empty path: the entry waits.
    void Append(const QString &path, const QByteArray &entry);
    // "Save log" is off: the entry waits for the next Append.
    void Hold(const QByteArray &entry);
    // Something still has to be written (entries, or the replacement after Restart).
    bool Waiting() const { return m_restart || !m_waiting.isEmpty(); }
    const QByteArray &WaitingText() const { return m_waiting; }
    // "Clear log": nothing waits any more, and the next write starts the file anew.
    void Restart();
    // Writes the file at path followed by what waits to target (streamed, not read whole),
    // replacing target atomically.
    void CopyTo(const QString &path, const QString &target) const;

    // Replaces the file with bytes atomically (temporary file, then rename).
    static void Replace(const QString &path, const QByteArray &bytes);
    // The last maxBytes of the file at most, starting at a line start (nothing when there is
    // none in that range). Reads nothing else, so its cost does not grow with the file.
    static LogTail ReadTail(const QString &path, qint64 maxBytes);
    // Creates every missing folder of the file's folder.
    static void CreateFolders(const QString &path);

private:
    void Wait(const QByteArray &entry);
    void WriteAtEnd(const QString &path, const QByteArray &bytes);

    QByteArray m_waiting;
    LogBound m_waitingBound;
    bool m_restart = false;
};
