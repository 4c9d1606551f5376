#include "platform/SingleInstance.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// The lock itself: an exclusive flock on "<name>.lock" in a private folder (the Windows build
// takes a named mutex instead: SingleInstanceLockWin.cpp).

namespace {

QString systemError(int code) { return QString::fromLocal8Bit(std::strerror(code)); }

// Whether path is a folder (a link to one counts) of this user with mode 0700; it is never
// created or changed here.
bool isPrivateFolder(const QString &path, QString *error) {
    auto fail = [&](const QString &why) {
        if (error)
            *error = QStringLiteral("Cannot use the folder %1: %2").arg(path, why);
        return false;
    };
    if (!QDir::isAbsolutePath(path))
        return fail(QStringLiteral("it is not an absolute path"));
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return fail(systemError(errno));
    if (!S_ISDIR(st.st_mode))
        return fail(QStringLiteral("it is not a folder"));
    if (st.st_uid != ::geteuid())
        return fail(QStringLiteral("it belongs to another user"));
    if ((st.st_mode & 07777) != 0700)
        return fail(QStringLiteral("its mode is %1, not 700").arg(st.st_mode & 07777, 0, 8));
    return true;
}

} // namespace

bool SingleInstance::preparePrivateFolder(const QString &path, QString *error) {
    auto fail = [&](const QString &why) {
        if (error)
            *error = QStringLiteral("Cannot use the folder %1: %2").arg(path, why);
        return false;
    };
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) == 0) {
        // The umask may have taken bits away; the folder must be usable by its owner.
        if (::chmod(native.constData(), 0700) != 0)
            return fail(systemError(errno));
    } else if (errno != EEXIST) {
        return fail(systemError(errno));
    }
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0)
        return fail(systemError(errno));
    if (!S_ISDIR(st.st_mode))
        return fail(QStringLiteral("it is not a folder"));
    if (st.st_uid != ::geteuid())
        return fail(QStringLiteral("it belongs to another user"));
    if ((st.st_mode & 07777) != 0700)
        return fail(QStringLiteral("its mode is %1, not 700").arg(st.st_mode & 07777, 0, 8));
    return true;
}

InstanceFolderPlaces InstanceFolderPlaces::FromEnvironment() {
    InstanceFolderPlaces places;
    places.runtimeDir = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    places.sharedTemp = QStringLiteral("/tmp");
    const QString cache = QFile::decodeName(qgetenv("XDG_CACHE_HOME"));
    // A relative value is ignored, as the base-directory rules require.
    places.cacheHome = !cache.isEmpty() && QDir::isAbsolutePath(cache)
                           ? QDir::cleanPath(cache)
                           : QDir::homePath() + QStringLiteral("/.cache");
    return places;
}

QString SingleInstance::runtimeFolder(const InstanceFolderPlaces &places, QString *error) {
    QStringList reasons;
    QString why;
    if (places.runtimeDir.isEmpty()) {
        reasons << QStringLiteral("XDG_RUNTIME_DIR is not set");
    } else if (isPrivateFolder(places.runtimeDir, &why)) {
        return QDir::cleanPath(QFileInfo(places.runtimeDir).absoluteFilePath());
    } else {
        reasons << why + QStringLiteral(" (XDG_RUNTIME_DIR)");
    }

    const QString shared = places.sharedTemp + QStringLiteral("/vennatro-%1").arg(::getuid());
    if (preparePrivateFolder(shared, &why))
        return shared;
    reasons << why;

    // Another user may have taken the shared name first; the user's own cache folder is out
    // of everybody else's reach.
    if (!places.cacheHome.isEmpty() && !QFileInfo::exists(places.cacheHome) &&
        QDir().mkpath(places.cacheHome))
        ::chmod(QFile::encodeName(places.cacheHome).constData(), 0700);
    const QString cached = places.cacheHome + QStringLiteral("/vennatro");
    if (preparePrivateFolder(cached, &why))
        return cached;
    reasons << why;

    if (error)
        *error = QStringLiteral("No private folder for the single-instance lock:\n") +
                 reasons.join(QLatin1Char('\n'));
    return {};
}

QString SingleInstance::serverPath(const QString &folder) const {
    return folder + QLatin1Char('/') + m_name + QStringLiteral(".socket");
}

void SingleInstance::releaseLock() {
    if (m_lock < 0)
        return;
    ::flock(int(m_lock), LOCK_UN);
    ::close(int(m_lock));
    m_lock = -1;
}

bool SingleInstance::takeLock(const QString &folder) {
    const QByteArray path = QFile::encodeName(lockPath(folder));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        m_error =
            QStringLiteral("Cannot open %1: %2").arg(QFile::decodeName(path), systemError(errno));
        qWarning().noquote() << "Single-instance lock:" << m_error;
        return false;
    }
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int code = errno;
        ::close(fd);
        if (code == EWOULDBLOCK)
            return false; // another instance runs
        m_error =
            QStringLiteral("Cannot lock %1: %2").arg(QFile::decodeName(path), systemError(code));
        qWarning().noquote() << "Single-instance lock:" << m_error;
        return false;
    }
    m_lock = fd;
    // Who holds it, for a second start to say so: the role and the process.
    const QByteArray role = m_role.toUtf8() + '\n' + QByteArray::number(::getpid()) + '\n';
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, role.constData(), size_t(role.size()), 0) < 0)
        qWarning().noquote() << "Single-instance lock: cannot note its holder";
    return true;
}
