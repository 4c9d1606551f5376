#include "platform/SingleInstance.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>

#include <shlobj.h>
#include <windows.h>

// The lock is the named mutex of the log-on session ("Vennatro - Lumo"), which Windows gives
// up when the process ends however it ends. The holder's role is noted in a file of the user's
// local application data, and the activation server is a named pipe.

bool SingleInstance::preparePrivateFolder(const QString &path, QString *error) {
    // Below the user's profile the folder's inherited permissions keep other users out.
    if (QDir().mkpath(path))
        return true;
    if (error)
        *error = QStringLiteral("Cannot use the folder %1: it cannot be created").arg(path);
    return false;
}

InstanceFolderPlaces InstanceFolderPlaces::FromEnvironment() {
    InstanceFolderPlaces places;
    wchar_t *path = nullptr;
    if (::SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &path) == S_OK)
        places.runtimeDir = QDir::fromNativeSeparators(QString::fromWCharArray(path)) +
                            QStringLiteral("/Lumo Dev/Vennatro");
    ::CoTaskMemFree(path);
    return places;
}

QString SingleInstance::runtimeFolder(const InstanceFolderPlaces &places, QString *error) {
    if (places.runtimeDir.isEmpty()) {
        if (error)
            *error = QStringLiteral("No folder for the single-instance lock: the local "
                                    "application-data folder is unknown");
        return {};
    }
    QString why;
    if (preparePrivateFolder(places.runtimeDir, &why))
        return QDir::cleanPath(places.runtimeDir);
    if (error)
        *error = QStringLiteral("No folder for the single-instance lock:\n") + why;
    return {};
}

QString SingleInstance::serverPath(const QString &folder) const {
    // Pipe names are shared by the whole machine: the user's own folder tells users apart.
    const QByteArray id =
        QCryptographicHash::hash(folder.toLower().toUtf8(), QCryptographicHash::Sha1).toHex();
    return m_name + QLatin1Char(' ') + QString::fromLatin1(id.left(16));
}

void SingleInstance::releaseLock() {
    if (m_lock == -1)
        return;
    ::ReleaseMutex(HANDLE(m_lock));
    ::CloseHandle(HANDLE(m_lock));
    m_lock = -1;
}

bool SingleInstance::takeLock(const QString &folder) {
    const HANDLE mutex =
        ::CreateMutexW(nullptr, TRUE, reinterpret_cast<const wchar_t *>(m_name.utf16()));
    const DWORD error = ::GetLastError();
    if (!mutex) {
        m_error =
            QStringLiteral("Cannot create the mutex \"%1\" (error %2)").arg(m_name).arg(error);
        qWarning().noquote() << "Single-instance lock:" << m_error;
        return false;
    }
    if (error == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(mutex);
        return false; // another instance runs
    }
    m_lock = qintptr(mutex);
    // Who holds it, for a second start to say so: the role and the process.
    QFile file(lockPath(folder));
    const QByteArray role =
        m_role.toUtf8() + '\n' + QByteArray::number(quint64(::GetCurrentProcessId())) + '\n';
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(role) != role.size())
        qWarning().noquote() << "Single-instance lock: cannot note its holder";
    return true;
}
