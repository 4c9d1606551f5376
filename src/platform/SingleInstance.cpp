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

// What every system shares: the activation server and client. The lock and its folder are
// the system's (SingleInstanceLock.cpp, SingleInstanceLockWin.cpp).

namespace {

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
    releaseLock();
}

QString SingleInstance::lockPath(const QString &folder) const {
    return folder + QLatin1Char('/') + m_name + QStringLiteral(".lock");
}

QString SingleInstance::runtimeFolder(QString *error) {
    return runtimeFolder(InstanceFolderPlaces::FromEnvironment(), error);
}

QString SingleInstance::chooseFolder(QString *error) const {
    return m_places ? runtimeFolder(*m_places, error) : runtimeFolder(error);
}

bool SingleInstance::tryLock() {
    if (m_lock >= 0)
        return true;
    m_error.clear();

    QString folderError;
    const QString folder = chooseFolder(&folderError);
    if (folder.isEmpty()) {
        m_error = folderError;
        qWarning().noquote() << "Single-instance lock:" << m_error;
        return false;
    }
    if (!takeLock(folder))
        return false;

    // Only the lock holder listens, so a socket file found here was left by a dead instance.
    const QString socketPath = serverPath(folder);
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
    const QString path = serverPath(folder);
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
    QFile file(lockPath(folder));
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
