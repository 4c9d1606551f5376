#include "TestSmtpServer.h"

#include <QFile>
#include <QHostAddress>
#include <QMutexLocker>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

const QByteArray kDefaultRefusal = "535-5.7.8 Authentication credentials invalid\r\n"
                                   "535 5.7.8 Try again later\r\n";

QString AddressInside(const QByteArray &argument) {
    const int open = argument.indexOf('<');
    const int close = argument.indexOf('>', open + 1);
    if (open < 0 || close < 0)
        return QString::fromUtf8(argument.trimmed());
    return QString::fromUtf8(argument.mid(open + 1, close - open - 1));
}

QString FromBase64(const QByteArray &text) {
    return QString::fromUtf8(QByteArray::fromBase64(text.trimmed()));
}

} // namespace

// One client connection, driven line by line on the server's thread.
class TestSmtpSession : public QObject {
public:
    TestSmtpSession(QTcpSocket *socket, TestSmtpServer *owner, QObject *parent)
        : QObject(parent), m_socket(socket), m_tlsSocket(qobject_cast<QSslSocket *>(socket)),
          m_owner(owner) {
        m_socket->setParent(this);
        connect(m_socket, &QTcpSocket::readyRead, this, &TestSmtpSession::onReadyRead);
        connect(m_socket, &QTcpSocket::disconnected, this, &TestSmtpSession::onDisconnected);
        if (m_tlsSocket)
            connect(m_tlsSocket, &QSslSocket::encrypted, this, &TestSmtpSession::onEncrypted);

        if (m_tlsSocket && tls() == TestSmtpServer::Tls::Implicit) {
            if (mode() == TestSmtpServer::Mode::DropDuringTlsHandshake) {
                m_state = State::DropOnBytes;
            } else {
                m_state = State::Handshake;
                m_tlsSocket->startServerEncryption();
            }
            return;
        }
        greet();
    }

private:
    enum class State {
        Command,
        AuthUser,
        AuthPassword,
        Data,
        Silent,
        Handshake,   // TLS being negotiated: no plain lines
        DropOnBytes, // close as soon as the client sends anything
        Closed
    };

    TestSmtpServer::Mode mode() const {
        QMutexLocker lock(&m_owner->m_mutex);
        return m_owner->m_records.mode;
    }

    TestSmtpServer::Tls tls() const {
        QMutexLocker lock(&m_owner->m_mutex);
        return m_owner->m_records.tls;
    }

    bool encrypted() const { return m_tlsSocket && m_tlsSocket->isEncrypted(); }

    bool offersStartTls() const {
        return m_tlsSocket && !encrypted() && tls() == TestSmtpServer::Tls::StartTls;
    }

    void greet() {
        switch (mode()) {
        case TestSmtpServer::Mode::NeverAnswer:
            m_state = State::Silent;
            break;
        case TestSmtpServer::Mode::StallAfterGreeting:
            reply("220 127.0.0.1 ESMTP test server\r\n");
            m_state = State::Silent;
            break;
        default:
            m_state = State::Command;
            reply("220 127.0.0.1 ESMTP test server\r\n");
            break;
        }
    }

    void onEncrypted() {
        {
            QMutexLocker lock(&m_owner->m_mutex);
            ++m_owner->m_records.handshakes;
        }
        if (tls() == TestSmtpServer::Tls::Implicit)
            greet();
        else
            m_state = State::Command;
    }

    // After STARTTLS nothing said in clear counts any more (RFC 3207).
    void startTls() {
        m_buffer.clear();
        m_haveMailFrom = false;
        m_authenticated = false;
        m_mail = TestSmtpServer::Mail();
        if (mode() == TestSmtpServer::Mode::DropDuringTlsHandshake) {
            m_state = State::DropOnBytes;
            return;
        }
        m_state = State::Handshake;
        m_tlsSocket->startServerEncryption();
    }

    void reply(const QByteArray &text) { m_socket->write(text); }

    void onReadyRead() {
        m_buffer += m_socket->readAll();
        if (m_state == State::Silent || m_state == State::Handshake) {
            m_buffer.clear();
            return;
        }
        if (m_state == State::DropOnBytes && !m_buffer.isEmpty()) {
            drop();
            return;
        }
        if (m_state == State::Data && !m_buffer.isEmpty() &&
            mode() == TestSmtpServer::Mode::DropDuringData) {
            drop();
            return;
        }
        for (;;) {
            const int end = m_buffer.indexOf('\n');
            if (end < 0 || m_state == State::Closed || m_state == State::Silent)
                break;
            const QByteArray line = m_buffer.left(end + 1);
            m_buffer.remove(0, end + 1);
            if (m_state == State::Data)
                dataLine(line);
            else
                commandLine(line.chopped(line.endsWith("\r\n") ? 2 : 1));
        }
    }

    void onDisconnected() {
        m_state = State::Closed;
        if (m_closeReported)
            return;
        m_closeReported = true;
        QMetaObject::invokeMethod(
            m_owner, [owner = m_owner] { emit owner->connectionClosed(); }, Qt::QueuedConnection);
        deleteLater();
    }

    void drop() {
        m_state = State::Closed;
        m_buffer.clear();
        m_socket->abort();
        onDisconnected();
    }

    void commandLine(const QByteArray &line) {
        {
            QMutexLocker lock(&m_owner->m_mutex);
            m_owner->m_records.commands << QString::fromUtf8(line);
            if (encrypted())
                m_owner->m_records.encryptedCommands << QString::fromUtf8(line);
        }
        if (m_state == State::AuthUser || m_state == State::AuthPassword) {
            authLine(line);
            return;
        }
        const int blank = line.indexOf(' ');
        const QByteArray verb = (blank < 0 ? line : line.left(blank)).toUpper();
        const QByteArray argument = blank < 0 ? QByteArray() : line.mid(blank + 1);

        if (verb == "EHLO") {
            reply("250-127.0.0.1 Hello " + argument + "\r\n" +
                  (offersStartTls() ? "250-STARTTLS\r\n" : "") +
                  "250-AUTH LOGIN\r\n250-8BITMIME\r\n250 HELP\r\n");
        } else if (verb == "STARTTLS" && offersStartTls()) {
            if (mode() == TestSmtpServer::Mode::RefuseStartTls) {
                reply("454 4.7.0 TLS not available\r\n");
                return;
            }
            reply("220 2.0.0 Ready to start TLS\r\n");
            startTls();
        } else if (verb == "HELO") {
            reply("250 127.0.0.1\r\n");
        } else if (verb == "AUTH") {
            const QList<QByteArray> parts = argument.split(' ');
            if (parts.value(0).toUpper() != "LOGIN") {
                reply("504 5.5.4 Unrecognized authentication type\r\n");
            } else if (parts.size() > 1 && !parts[1].isEmpty()) {
                m_user = FromBase64(parts[1]);
                m_state = State::AuthPassword;
                reply("334 UGFzc3dvcmQ6\r\n");
            } else {
                m_state = State::AuthUser;
                reply("334 VXNlcm5hbWU6\r\n");
            }
        } else if (verb == "MAIL" && argument.toUpper().startsWith("FROM:")) {
            m_mail = TestSmtpServer::Mail();
            m_mail.mailFrom = AddressInside(argument.mid(5));
            m_haveMailFrom = true;
            reply("250 2.1.0 Ok\r\n");
        } else if (verb == "RCPT" && argument.toUpper().startsWith("TO:")) {
            if (!m_haveMailFrom) {
                reply("503 5.5.1 Error: need MAIL command\r\n");
                return;
            }
            QByteArray refusal;
            {
                QMutexLocker lock(&m_owner->m_mutex);
                refusal = m_owner->m_records.recipientRefusal;
            }
            if (!refusal.isEmpty()) {
                reply(refusal);
                return;
            }
            m_mail.recipients << AddressInside(argument.mid(3));
            reply("250 2.1.5 Ok\r\n");
        } else if (verb == "DATA") {
            if (m_mail.recipients.isEmpty()) {
                reply("554 5.5.1 Error: no valid recipients\r\n");
                return;
            }
            m_state = State::Data;
            reply("354 End data with <CR><LF>.<CR><LF>\r\n");
        } else if (verb == "RSET") {
            m_haveMailFrom = false;
            m_mail = TestSmtpServer::Mail();
            reply("250 2.0.0 Ok\r\n");
        } else if (verb == "NOOP") {
            reply("250 2.0.0 Ok\r\n");
        } else if (verb == "QUIT") {
            reply("221 2.0.0 Bye\r\n");
            m_state = State::Closed;
            m_socket->disconnectFromHost();
        } else {
            reply("502 5.5.2 Error: command not recognized\r\n");
        }
    }

    void authLine(const QByteArray &line) {
        if (line == "*") {
            m_state = State::Command;
            reply("501 5.7.0 Authentication aborted\r\n");
            return;
        }
        if (m_state == State::AuthUser) {
            m_user = FromBase64(line);
            m_state = State::AuthPassword;
            reply("334 UGFzc3dvcmQ6\r\n");
            return;
        }
        const QString password = FromBase64(line);
        m_state = State::Command;
        bool accepted = false;
        QByteArray refusal;
        {
            QMutexLocker lock(&m_owner->m_mutex);
            TestSmtpServer::Records &records = m_owner->m_records;
            records.lastAuthUser = m_user;
            records.lastAuthPassword = password;
            accepted = records.mode != TestSmtpServer::Mode::RefuseLogOn &&
                       m_user == records.user && password == records.password;
            refusal = records.refusal;
        }
        if (!accepted) {
            reply(refusal);
            return;
        }
        m_authenticated = true;
        m_authPassword = password;
        reply("235 2.7.0 Authentication successful\r\n");
    }

    void dataLine(const QByteArray &line) {
        if (line == ".\r\n" || line == ".\n") {
            m_state = State::Command;
            m_haveMailFrom = false;
            m_mail.authenticated = m_authenticated;
            m_mail.encrypted = encrypted();
            if (m_authenticated) {
                m_mail.authUser = m_user;
                m_mail.authPassword = m_authPassword;
            }
            {
                QMutexLocker lock(&m_owner->m_mutex);
                m_owner->m_records.mails << m_mail;
            }
            m_mail = TestSmtpServer::Mail();
            reply("250 2.0.0 Ok: queued\r\n");
            QMetaObject::invokeMethod(
                m_owner, [owner = m_owner] { emit owner->mailReceived(); }, Qt::QueuedConnection);
            return;
        }
        m_mail.wireData += line;
        m_mail.data += line.startsWith('.') ? line.mid(1) : line;
    }

    QTcpSocket *m_socket;
    QSslSocket *m_tlsSocket; // null when the server has no TLS
    TestSmtpServer *m_owner;
    State m_state = State::Command;
    QByteArray m_buffer;
    TestSmtpServer::Mail m_mail;
    bool m_haveMailFrom = false;
    bool m_authenticated = false;
    bool m_closeReported = false;
    QString m_user;
    QString m_authPassword;
};

// Hands out TLS-capable sockets while the server has TLS switched on, plain ones otherwise.
class TestSmtpListener : public QTcpServer {
public:
    TestSmtpListener(TestSmtpServer *owner, QObject *parent) : QTcpServer(parent), m_owner(owner) {}

protected:
    void incomingConnection(qintptr descriptor) override {
        TestSmtpServer::Records settings;
        {
            QMutexLocker lock(&m_owner->m_mutex);
            settings = m_owner->m_records;
        }
        if (settings.tls == TestSmtpServer::Tls::None || !QSslSocket::supportsSsl()) {
            QTcpServer::incomingConnection(descriptor);
            return;
        }
        auto *socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        socket->setLocalCertificate(settings.certificate);
        socket->setPrivateKey(settings.key);
        socket->setPeerVerifyMode(QSslSocket::VerifyNone);
        addPendingConnection(socket);
    }

private:
    TestSmtpServer *m_owner;
};

// Owns the listening socket and the sessions; lives on the server's thread.
class TestSmtpServerWorker : public QObject {
public:
    explicit TestSmtpServerWorker(TestSmtpServer *owner) : m_owner(owner) {}

    quint16 listen() {
        m_server = new TestSmtpListener(m_owner, this);
        connect(m_server, &QTcpServer::newConnection, this, &TestSmtpServerWorker::onNewConnection);
        if (!m_server->listen(QHostAddress::LocalHost, 0))
            return 0;
        return m_server->serverPort();
    }

private:
    void onNewConnection() {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            {
                QMutexLocker lock(&m_owner->m_mutex);
                ++m_owner->m_records.connections;
            }
            new TestSmtpSession(socket, m_owner, this);
            QMetaObject::invokeMethod(
                m_owner, [owner = m_owner] { emit owner->connectionAccepted(); },
                Qt::QueuedConnection);
        }
    }

    TestSmtpServer *m_owner;
    QTcpServer *m_server = nullptr;
};

TestSmtpServer::TestSmtpServer(QObject *parent) : QObject(parent) {
    m_records.refusal = kDefaultRefusal;
    m_thread.setObjectName(QStringLiteral("TestSmtpServer"));
    m_worker = new TestSmtpServerWorker(this);
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start();
    QMetaObject::invokeMethod(
        m_worker, [this] { m_port = m_worker->listen(); }, Qt::BlockingQueuedConnection);
}

TestSmtpServer::~TestSmtpServer() {
    m_thread.quit();
    m_thread.wait();
}

bool TestSmtpServer::isListening() const { return m_port != 0; }

quint16 TestSmtpServer::port() const { return m_port; }

void TestSmtpServer::setMode(Mode mode) {
    QMutexLocker lock(&m_mutex);
    m_records.mode = mode;
}

TestSmtpServer::Mode TestSmtpServer::mode() const {
    QMutexLocker lock(&m_mutex);
    return m_records.mode;
}

void TestSmtpServer::setCredentials(const QString &user, const QString &password) {
    QMutexLocker lock(&m_mutex);
    m_records.user = user;
    m_records.password = password;
}

void TestSmtpServer::setRefusalReply(const QByteArray &reply) {
    QMutexLocker lock(&m_mutex);
    m_records.refusal = reply;
}

void TestSmtpServer::setTls(Tls tls) {
    QMutexLocker lock(&m_mutex);
    m_records.tls = tls;
}

bool TestSmtpServer::setCertificateFiles(const QString &certificatePath, const QString &keyPath) {
    QFile certificateFile(certificatePath);
    QFile keyFile(keyPath);
    if (!certificateFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly))
        return false;
    const QSslCertificate certificate(&certificateFile, QSsl::Pem);
    const QSslKey key(&keyFile, QSsl::Rsa, QSsl::Pem);
    if (certificate.isNull() || key.isNull())
        return false;
    QMutexLocker lock(&m_mutex);
    m_records.certificate = certificate;
    m_records.key = key;
    return true;
}

void TestSmtpServer::setRecipientRefusal(const QByteArray &reply) {
    QMutexLocker lock(&m_mutex);
    m_records.recipientRefusal = reply;
}

QByteArray TestSmtpServer::refusalReply() const {
    QMutexLocker lock(&m_mutex);
    return m_records.refusal;
}

QList<TestSmtpServer::Mail> TestSmtpServer::mails() const {
    QMutexLocker lock(&m_mutex);
    return m_records.mails;
}

int TestSmtpServer::mailCount() const {
    QMutexLocker lock(&m_mutex);
    return int(m_records.mails.size());
}

QStringList TestSmtpServer::commands() const {
    QMutexLocker lock(&m_mutex);
    return m_records.commands;
}

QStringList TestSmtpServer::encryptedCommands() const {
    QMutexLocker lock(&m_mutex);
    return m_records.encryptedCommands;
}

int TestSmtpServer::tlsHandshakes() const {
    QMutexLocker lock(&m_mutex);
    return m_records.handshakes;
}

QString TestSmtpServer::lastAuthUser() const {
    QMutexLocker lock(&m_mutex);
    return m_records.lastAuthUser;
}

QString TestSmtpServer::lastAuthPassword() const {
    QMutexLocker lock(&m_mutex);
    return m_records.lastAuthPassword;
}

int TestSmtpServer::connectionCount() const {
    QMutexLocker lock(&m_mutex);
    return m_records.connections;
}

void TestSmtpServer::clearRecords() {
    QMutexLocker lock(&m_mutex);
    m_records.mails.clear();
    m_records.commands.clear();
    m_records.encryptedCommands.clear();
    m_records.handshakes = 0;
    m_records.lastAuthUser.clear();
    m_records.lastAuthPassword.clear();
    m_records.connections = 0;
}
