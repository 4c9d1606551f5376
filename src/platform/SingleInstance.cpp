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

QString SingleInstance::runtimeFolder(QString *error) {
    const QString xdg = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    if (!xdg.isEmpty()) {
        const QFileInfo info(xdg);
        if (info.isAbsolute() && info.isDir())
            return QDir::cleanPath(info.absoluteFilePath());
    }
    const QString fallback = QStringLiteral("/tmp/vennatro-%1").arg(::getuid());
    if (preparePrivateFolder(fallback, error))
        return fallback;
    return {};
}

bool SingleInstance::tryLock() {
    if (m_lockFd >= 0)
        return true;
    m_error.clear();

    QString folderError;
    const QString folder = runtimeFolder(&folderError);
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
    const QString folder = runtimeFolder(&folderError);
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

bool ActivatePreviousInstance(const QString &WindowClassName) {
    Q_UNUSED(WindowClassName);
    SingleInstance instance(QString::fromLatin1(SingleInstanceName),
                            QString::fromLatin1(ActivationMessageName));
    return instance.activateRunning();
}
