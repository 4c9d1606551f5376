#pragma once

#include <QString>
#include <functional>

// The log file mirror: after every entry the file equals the pane's text (CR LF line breaks,
// UTF-8). An entry that only extends a file we wrote is appended, so an entry costs the same
// however long the log is; anything else replaces the file atomically, so earlier entries are
// never lost. Failures throw EFileError with the system's text; the next entry then rewrites
// the file whole.
class LogFile {
public:
    // entry: the text just added at the end of the pane (with its CR LF).
    // wholeText: the pane's whole text, asked for only when the file has to be rewritten.
    // An empty path writes nothing.
    void Append(const QString &path, const QString &entry,
                const std::function<QString()> &wholeText);
    // Replaces the file with text (atomic: temporary file, then rename).
    void Replace(const QString &path, const QString &text);
    // Rewrites the file with wholeText unless it already equals the pane.
    void Sync(const QString &path, const std::function<QString()> &wholeText);
    // Reads the whole file and takes it as the pane's text so far; throws EFileError.
    QString Load(const QString &path);
    // The pane was changed other than at its end: the next entry rewrites the file.
    void Forget();
    // Creates every missing folder of the file's folder; throws EFileError.
    static void CreateFolders(const QString &path);

private:
    QString m_path;       // the file m_synced belongs to
    qint64 m_synced = -1; // its size when we last wrote it; -1: unknown
};
