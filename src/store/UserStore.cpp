#include "store/RegStore.h"

#include "platform/ConfigFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cstdio>

// The store as a file of its own in the registry's export format (the Windows build keeps it
// in the registry itself: UserStoreWin.cpp).

QString RegStorePath() { return XdgConfigHome() + QStringLiteral("/Lumo Dev/Vennatro.reg"); }

void RemoveStoreLeftovers(const QString &path) {
    // Where WriteFileAtomically makes its temporary file: beside the file a link points to,
    // named "." + that file's name + "." + the six characters mkstemp picks.
    const QFileInfo link(path);
    QString target = path;
    if (link.isSymLink()) {
        target = link.canonicalFilePath();
        if (target.isEmpty())
            target = link.symLinkTarget();
    }
    const QFileInfo info(target);
    const QString name = QRegularExpression::escape(info.fileName());
    const QRegularExpression leftover(
        QStringLiteral("^\\.%1(\\.bad)?\\.[A-Za-z0-9]{6}$").arg(name));
    const QDir folder(info.absolutePath());
    const QStringList candidates =
        folder.entryList({QLatin1Char('.') + info.fileName() + QStringLiteral(".*")},
                         QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &candidate : candidates) {
        const QFileInfo file(folder.filePath(candidate));
        if (leftover.match(candidate).hasMatch() && file.isFile() && !file.isSymLink())
            QFile::remove(file.filePath());
    }
}

RegDocument LoadRegStore(const QString &path) {
    // Before anything else: a kill during the last save may have left a copy of the store.
    RemoveStoreLeftovers(path);
    QFile file(path);
    if (!file.exists())
        return {};
    const QString badPath = path + QStringLiteral(".bad");
    QByteArray bytes;
    bool readOk = file.open(QIODevice::ReadOnly);
    if (readOk) {
        bytes = file.readAll();
        readOk = file.error() == QFileDevice::NoError;
    }
    if (!readOk) {
        // Its bytes cannot be copied, so the file itself moves out of the way.
        const QString reason = file.errorString();
        file.close();
        const bool kept = ::rename(QFile::encodeName(path).constData(),
                                   QFile::encodeName(badPath).constData()) == 0;
        QString message =
            QStringLiteral("Cannot read the settings file \"%1\": %2.").arg(path, reason);
        if (kept)
            message += QStringLiteral("\nIt was moved to \"%1\".").arg(badPath);
        throw ERegStoreUnreadable(message, kept);
    }

    RegParseError error;
    std::optional<RegDocument> doc = ParseRegFile(bytes, path, &error);
    if (doc)
        return std::move(*doc);
    QString reason;
    const bool kept = WriteFileAtomically(badPath, bytes, 0600, &reason);
    QString message = error.message;
    if (kept)
        message += QStringLiteral("\nA copy of it was kept as \"%1\".").arg(badPath);
    else
        message +=
            QStringLiteral("\nNo copy of it could be kept as \"%1\" (%2), so it is left as it is.")
                .arg(badPath, reason);
    throw ERegStoreUnreadable(message, kept);
}

void SaveRegStore(const QString &path, const RegDocument &doc) {
    QString reason;
    if (!WriteFileAtomically(path, SerializeRegFile(doc), 0600, &reason))
        throw ERegistryException(
            QStringLiteral("Cannot write the settings file \"%1\": %2").arg(path, reason));
}

QString StoreWriteFailureText() {
    return QStringLiteral(
        "Error while writing in the settings file.\rCheck that you have the proper rights.");
}

std::optional<RegDocument> ReadRegStore(const QString &path, QString *problem) {
    QFile file(path);
    if (!file.exists())
        return RegDocument{};
    if (!file.open(QIODevice::ReadOnly)) {
        if (problem)
            *problem = QStringLiteral("Cannot read the settings file \"%1\": %2")
                           .arg(path, file.errorString());
        return std::nullopt;
    }
    RegParseError error;
    std::optional<RegDocument> doc = ParseRegFile(file.readAll(), path, &error);
    if (!doc && problem)
        *problem = error.message;
    return doc;
}
