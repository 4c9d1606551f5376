#include "platform/ConfigFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <shlobj.h>
#include <windows.h>

namespace {

// The user's roaming application-data folder ("C:/Users/ann/AppData/Roaming").
QString AppDataFolder() {
    wchar_t *path = nullptr;
    QString folder;
    if (::SHGetKnownFolderPath(FOLDERID_RoamingAppData, KF_FLAG_CREATE, nullptr, &path) == S_OK)
        folder = QDir::fromNativeSeparators(QString::fromWCharArray(path));
    ::CoTaskMemFree(path);
    return folder.isEmpty() ? QDir::homePath() + QStringLiteral("/AppData/Roaming") : folder;
}

} // namespace

QString XdgConfigHome() { return AppDataFolder(); }

QString UserDataFolder() { return AppDataFolder(); }

bool WriteFileAtomically(const QString &path, const QByteArray &data, unsigned, QString *error) {
    // The folder's permissions keep other users out here; QSaveFile writes beside the file
    // and replaces it in one step.
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        if (error)
            *error = QStringLiteral("Cannot create the folder \"%1\".").arg(folder);
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}
