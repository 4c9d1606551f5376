#include "engine/LogFile.h"

#include "platform/RegularFile.h"
#include "support/Exceptions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {
[[noreturn]] void FailWrite(const QString &path, const QString &what) {
    throw EFileError(QStringLiteral("Cannot write the log file \"%1\": %2").arg(path, what));
}

[[noreturn]] void FailRead(const QString &path, const QString &what) {
    throw EFileError(QStringLiteral("Cannot read the log file \"%1\": %2").arg(path, what));
}

[[noreturn]] void FailKind(const QString &path, const QString &kind) {
    throw EFileError(QStringLiteral("Cannot use the log file \"%1\": it is %2, not a regular file.")
                         .arg(path, kind));
}

// Refuses anything at path that is not a regular file (following links), without opening it.
void RequireRegularOrMissing(const QString &path) {
    const QString kind = RegularFile::KindOtherThanRegular(path);
    if (!kind.isEmpty())
        FailKind(path, kind);
}

// Opens a regular file only; false when it cannot be opened (file.ErrorString() says why).
bool OpenRegular(RegularFile &file, const QString &path, RegularFile::Mode mode) {
    if (file.Open(path, mode))
        return true;
    if (!file.NotRegular().isEmpty())
        FailKind(path, file.NotRegular());
    return false;
}

bool IsLineBreak(char c) { return c == '\n' || c == '\r'; }
} // namespace

// ---- LogBound ----

qsizetype LogBound::Add(qsizetype units, qint64 bytes) {
    m_entries.push_back({units, bytes});
    m_bytes += bytes;
    qsizetype drop = 0;
    while (m_entries.size() > 1 &&
           (qsizetype(m_entries.size()) > m_maxEntries || m_bytes > m_maxBytes)) {
        drop += m_entries.front().units;
        m_bytes -= m_entries.front().bytes;
        m_entries.pop_front();
        m_dropped = true;
    }
    return drop;
}

void LogBound::Clear() {
    m_entries.clear();
    m_bytes = 0;
    m_dropped = false;
}

// ---- LogFile ----

void LogFile::Hold(const QByteArray &entry) { Wait(entry); }

void LogFile::Wait(const QByteArray &entry) {
    if (entry.isEmpty())
        return;
    m_waiting += entry;
    // Bounded like the pane: a file that stays unusable must not make the program grow.
    const qsizetype drop = m_waitingBound.Add(entry.size(), entry.size());
    if (drop > 0)
        m_waiting.remove(0, drop);
}

void LogFile::Restart() {
    m_waiting.clear();
    m_waitingBound.Clear();
    m_restart = true;
}

void LogFile::Append(const QString &path, const QByteArray &entry) {
    if (path.isEmpty()) {
        Wait(entry); // "Save log" without a file: the log stays in the pane for now
        return;
    }
    if (!Waiting() && entry.isEmpty())
        return;
    const QByteArray bytes = m_waiting + entry;
    if (m_restart) {
        try {
            Replace(path, bytes);
        } catch (const EFileError &) {
            Wait(entry);
            throw;
        }
        m_restart = false;
    } else {
        try {
            WriteAtEnd(path, bytes);
        } catch (const EFileError &) {
            Wait(entry);
            throw;
        }
    }
    m_waiting.clear();
    m_waitingBound.Clear();
}

void LogFile::WriteAtEnd(const QString &path, const QByteArray &bytes) {
    // Read access only to see the last byte; a file we may only write is taken as ending in a
    // line break.
    RegularFile file;
    bool readable = OpenRegular(file, path, RegularFile::Mode::Append);
    if (!readable &&
        (!file.AccessDenied() || !OpenRegular(file, path, RegularFile::Mode::AppendWriteOnly)))
        FailWrite(path, file.ErrorString());
    const qint64 end = file.Size();
    char last = '\n';
    if (readable && end > 0 && file.ReadAt(&last, 1, end - 1) != 1)
        last = '\n';
    // An old file ending inside a line: the entry starts a line of its own.
    const QByteArray data = IsLineBreak(last) ? bytes : QByteArray("\r\n") + bytes;
    qint64 done = 0;
    if (!file.Append(data, &done)) {
        // No half entry at the end of the file: the entries wait and go whole next time.
        // Should that fail too, the write error is still what the user has to know.
        if (done > 0)
            file.Truncate(end);
        FailWrite(path, file.ErrorString());
    }
}

void LogFile::CopyTo(const QString &path, const QString &target) const {
    if (m_restart) { // the log was cleared: the file's old entries are no longer the log
        Replace(target, m_waiting);
        return;
    }
    RegularFile file;
    if (!OpenRegular(file, path, RegularFile::Mode::Read))
        FailRead(path, file.ErrorString());
    RequireRegularOrMissing(target);
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly))
        FailWrite(target, out.errorString());
    QByteArray block(1 << 18, Qt::Uninitialized);
    for (qint64 offset = 0;;) {
        const qint64 n = file.ReadAt(block.data(), block.size(), offset);
        if (n < 0)
            FailRead(path, file.ErrorString());
        if (n == 0)
            break;
        if (out.write(block.constData(), n) != n)
            FailWrite(target, out.errorString());
        offset += n;
    }
    if (out.write(m_waiting) != m_waiting.size() || !out.commit())
        FailWrite(target, out.errorString());
}

void LogFile::Replace(const QString &path, const QByteArray &bytes) {
    RequireRegularOrMissing(path);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        FailWrite(path, file.errorString());
    if (file.write(bytes) != bytes.size() || !file.commit())
        FailWrite(path, file.errorString());
}

LogTail LogFile::ReadTail(const QString &path, qint64 maxBytes) {
    RegularFile file;
    if (!OpenRegular(file, path, RegularFile::Mode::Read))
        FailRead(path, file.ErrorString());
    const qint64 size = file.Size();
    LogTail tail;
    // One byte more than the bound, before it: it tells whether the range starts a line.
    const qint64 from = size > maxBytes ? size - maxBytes - 1 : 0;
    QByteArray bytes(size - from, Qt::Uninitialized);
    const qint64 n = file.ReadAt(bytes.data(), bytes.size(), from);
    if (n < 0)
        FailRead(path, file.ErrorString());
    bytes.truncate(n);
    if (from == 0) {
        tail.bytes = std::move(bytes);
        return tail;
    }
    tail.cut = true;
    // The first line start after the byte before the range: after an LF, or after a CR that
    // is not followed by an LF (a CR LF pair is one line break).
    qsizetype start = -1;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes.at(i);
        if (c == '\n' || (c == '\r' && (i + 1 >= bytes.size() || bytes.at(i + 1) != '\n'))) {
            start = i + 1;
            break;
        }
    }
    if (start > 0)
        tail.bytes = bytes.mid(start);
    return tail;
}

void LogFile::CreateFolders(const QString &path) {
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        throw EFileError(QStringLiteral("Cannot create the folder \"%1\".").arg(folder));
}

QByteArray LogFileText(const QString &entry) {
    // One pass: QString::replace with a text of another length is quadratic on a long entry.
    const QStringView view(entry);
    QString out;
    out.reserve(entry.size() + 2);
    qsizetype from = 0;
    for (qsizetype i = 0; i < view.size(); ++i) {
        const QChar c = view[i];
        if (c != u'\r' && c != u'\n')
            continue;
        out.append(view.mid(from, i - from));
        out.append(QLatin1String("\r\n"));
        if (c == u'\r' && i + 1 < view.size() && view[i + 1] == u'\n')
            ++i;
        from = i + 1;
    }
    out.append(view.mid(from));
    out.append(QLatin1String("\r\n"));
    return out.toUtf8();
}
