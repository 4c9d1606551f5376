#include "platform/SingleInstance.h"
#include "support/UsualFunctions.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString lockPath(const QString &folder, const QString &name) {
    return folder + QLatin1Char('/') + name + QStringLiteral(".lock");
}

QString serverPath(const QString &folder, const QString &name) {
    return folder + QLatin1Char('/') + name + QStringLiteral(".socket");
}

QString systemError(int code) { return QString::fromLocal8Bit(std::strerror(code)); }

// A client that connects and never finishes its message is dropped after this long.
constexpr int ClientTimeoutMs = 5000;
// Pause before trying again when the holder has the lock but is not listening yet.
constexpr int ConnectRetryMs = 20;

int remainingMs(const QDeadlineTimer &deadline) {
    return static_cast<int>(std::max<qint64>(0, deadline.remainingTime()));
}

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

SingleInstance::SingleInstance(const QString &name, const QString &message, QObject *parent)
    : QObject(parent), m_name(name), m_message(message) {}

SingleInstance::~SingleInstance() {
    if (m_server)
        m_server->close(); // removes the socket file while the lock is still ours
    if (m_lockFd >= 0) {
        ::flock(m_lockFd, LOCK_UN);
        ::close(m_lockFd);
    }
}

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

QString SingleInstance::runtimeFolder(QString *error) {
    return runtimeFolder(InstanceFolderPlaces::FromEnvironment(), error);
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

QString SingleInstance::chooseFolder(QString *error) const {
    return m_places ? runtimeFolder(*m_places, error) : runtimeFolder(error);
}

bool SingleInstance::tryLock() {
    if (m_lockFd >= 0)
        return true;
    m_error.clear();

    QString folderError;
    const QString folder = chooseFolder(&folderError);
    if (folder.isEmpty()) {
        m_error = folderError;
        qWarning().noquote() << "Single-instance lock:" << m_error;
        return false;
    }

    const QByteArray path = QFile::encodeName(lockPath(folder, m_name));
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
    m_lockFd = fd;
    // Who holds it, for a second start to say so: the role and the process.
    const QByteArray role = m_role.toUtf8() + '\n' + QByteArray::number(::getpid()) + '\n';
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, role.constData(), size_t(role.size()), 0) < 0)
        qWarning().noquote() << "Single-instance lock: cannot note its holder";

    // Only the lock holder listens, so a socket file found here was left by a dead instance.
    const QString socketPath = serverPath(folder, m_name);
    QLocalServer::removeServer(socketPath);
    m_server = new QLocalServer(this);
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnections);
    if (!m_server->listen(socketPath)) {
        // Still the one instance; a second start just cannot wake this one.
        m_error =
            QStringLiteral("Cannot listen on %1: %2").arg(socketPath, m_server->errorString());
        qWarning().noquote() << "Single-instance activation:" << m_error;
    }
    return true;
}

void SingleInstance::acceptConnections() {
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readMessage(socket); });
        connect(socket, &QLocalSocket::disconnected, this,
                [this, socket] { finishMessage(socket); });
        QTimer::singleShot(ClientTimeoutMs, socket, [socket] { socket->abort(); });
        if (socket->bytesAvailable() > 0 && !readMessage(socket))
            continue;
        if (socket->state() == QLocalSocket::UnconnectedState)
            finishMessage(socket);
    }
}

bool SingleInstance::readMessage(QLocalSocket *socket) {
    // The text is read whole when the sender has closed; anything longer is not ours.
    if (socket->bytesAvailable() <= m_message.toUtf8().size())
        return true;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    return false;
}

void SingleInstance::finishMessage(QLocalSocket *socket) {
    socket->disconnect(this);
    const QByteArray received = socket->readAll();
    socket->deleteLater();
    if (received == m_message.toUtf8())
        emit activationRequested();
}

bool SingleInstance::activateRunning(int timeoutMs) {
    m_error.clear();
    QString folderError;
    const QString folder = chooseFolder(&folderError);
    if (folder.isEmpty()) {
        m_error = folderError;
        return false;
    }

    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    const QString path = serverPath(folder, m_name);
    for (;;) {
        socket.connectToServer(path);
        if (socket.waitForConnected(remainingMs(deadline)))
            break;
        const auto error = socket.error();
        const QString text = socket.errorString();
        socket.abort();
        const bool notYetListening = error == QLocalSocket::ServerNotFoundError ||
                                     error == QLocalSocket::ConnectionRefusedError;
        if (!notYetListening || deadline.hasExpired()) {
            m_error = QStringLiteral("The running instance did not answer: %1").arg(text);
            return false;
        }
        // The holder may have just taken the lock and not be listening yet.
        QThread::msleep(std::min(ConnectRetryMs, remainingMs(deadline)));
    }

    const QByteArray data = m_message.toUtf8();
    if (socket.write(data) != data.size()) {
        m_error = socket.errorString();
        return false;
    }
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(remainingMs(deadline))) {
            m_error =
                QStringLiteral("The activation was not delivered: %1").arg(socket.errorString());
            return false;
        }
    }
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(remainingMs(deadline));
    return true;
}

QString SingleInstance::holderRole() const {
    const QString folder = chooseFolder(nullptr);
    if (folder.isEmpty())
        return {};
    QFile file(lockPath(folder, m_name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readLine(64)).trimmed();
}

bool ActivatePreviousInstance(const QString &WindowClassName) {
    Q_UNUSED(WindowClassName);
    SingleInstance instance(QString::fromLatin1(SingleInstanceName),
                            QString::fromLatin1(ActivationMessageName));
    return instance.activateRunning();
}
