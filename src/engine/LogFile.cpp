#include "engine/LogFile.h"

#include "support/Exceptions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {
[[noreturn]] void Fail(const QString &path, const QString &what) {
    throw EFileError(QStringLiteral("Cannot write the log file \"%1\": %2").arg(path, what));
}
} // namespace

void LogFile::Append(const QString &path, const QString &entry,
                     const std::function<QString()> &wholeText) {
    if (path.isEmpty())
        return; // "Save log" without a file: the log stays in the pane only
    const QFileInfo info(path);
    const bool inSync = path == m_path && m_synced >= 0 && info.exists() && info.size() == m_synced;
    if (!inSync) {
        Replace(path, wholeText());
        return;
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        Fail(path, file.errorString());
    const QByteArray bytes = entry.toUtf8();
    const qint64 written = file.write(bytes);
    const bool flushed = file.flush();
    if (written != bytes.size() || !flushed) {
        const QString error = file.errorString();
        file.close();
        // A partly written entry leaves the file unlike the pane: undo it where possible, and
        // let the next entry rewrite the file whole.
        QFile::resize(path, m_synced);
        m_synced = -1;
        Fail(path, error);
    }
    m_synced += written;
}

void LogFile::Replace(const QString &path, const QString &text) {
    m_synced = -1;
    m_path = path;
    if (path.isEmpty())
        return;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        Fail(path, file.errorString());
    const QByteArray bytes = text.toUtf8();
    if (file.write(bytes) != bytes.size() || !file.commit())
        Fail(path, file.errorString());
    m_synced = bytes.size();
}

void LogFile::Sync(const QString &path, const std::function<QString()> &wholeText) {
    if (path.isEmpty())
        return;
    const QFileInfo info(path);
    if (path == m_path && m_synced >= 0 && info.exists() && info.size() == m_synced)
        return; // the file already holds the pane's text
    Replace(path, wholeText());
}

QString LogFile::Load(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw EFileError(
            QStringLiteral("Cannot read the log file \"%1\": %2").arg(path, file.errorString()));
    const QByteArray bytes = file.readAll();
    m_path = path;
    m_synced = bytes.size();
    return QString::fromUtf8(bytes);
}

void LogFile::Forget() { m_synced = -1; }

void LogFile::CreateFolders(const QString &path) {
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        throw EFileError(QStringLiteral("Cannot create the folder \"%1\".").arg(folder));
}
