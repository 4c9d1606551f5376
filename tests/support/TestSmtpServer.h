#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>
#include <QThread>

class TestSmtpServerWorker;
class TestSmtpListener;

// A scripted SMTP server on 127.0.0.1 (ephemeral port) for tests.
//
// The SMTP client blocks the calling thread for the whole exchange, so the server runs on a
// thread of its own: construct it on the test's thread, read port(), point the client at it,
// and read what it recorded through the accessors below. Every accessor and setter is
// thread-safe and may be called at any time. The signals are emitted on the thread that
// owns this object (the test's thread), so QSignalSpy::wait works; a mail is recorded before
// the server answers the closing dot, so mails() already holds it when the client returns.
//
// The dialogue: greeting "220", EHLO answered with "250-AUTH LOGIN" among its lines, HELO,
// AUTH LOGIN (334 VXNlcm5hbWU6, 334 UGFzc3dvcmQ6, also with an initial response), MAIL FROM,
// RCPT TO, DATA (354, ends at CR LF . CR LF, dots un-stuffed), RSET, NOOP, QUIT. Log-on is
// optional: a client that does not authenticate may still send mail. Credentials that differ
// from setCredentials() get the refusal reply, as in Mode::RefuseLogOn.
//
// TLS (needs setCertificateFiles() first): Tls::StartTls adds "250-STARTTLS" to the EHLO
// reply and answers STARTTLS with 220 and a real handshake, after which the session starts
// afresh (a new EHLO is expected); Tls::Implicit does the handshake before the greeting.
class TestSmtpServer : public QObject {
    Q_OBJECT
public:
    enum class Mode {
        Normal,                 // the whole exchange, mails accepted
        RefuseLogOn,            // every AUTH ends with refusalReply()
        NeverAnswer,            // accept the connection, never send a byte
        StallAfterGreeting,     // send the 220 greeting, then never answer
        DropDuringData,         // close the connection when message bytes arrive after 354
        RefuseStartTls,         // STARTTLS offered, but answered "454 4.7.0 TLS not available"
        DropDuringTlsHandshake, // close the connection when the client's handshake arrives
    };

    enum class Tls {
        None,     // plain TCP, no STARTTLS in the EHLO reply
        StartTls, // STARTTLS offered
        Implicit, // TLS from the first byte
    };

    struct Mail {
        QString mailFrom;       // the address inside MAIL FROM:<...>
        QStringList recipients; // the addresses inside RCPT TO:<...>, in order
        QByteArray data;        // message as the client meant it: un-stuffed, no final dot line
        QByteArray wireData;    // message bytes as received, closing ".\r\n" excluded
        QString authUser;       // credentials of this session's log-on; empty without AUTH
        QString authPassword;
        bool authenticated = false;
        bool encrypted = false; // the mail came over TLS
    };

    explicit TestSmtpServer(QObject *parent = nullptr);
    ~TestSmtpServer() override;

    bool isListening() const; // false when the port could not be bound
    quint16 port() const;

    void setMode(Mode mode);
    Mode mode() const;
    // The user name and password AUTH LOGIN accepts (defaults "user" / "secret").
    void setCredentials(const QString &user, const QString &password);
    void setTls(Tls tls);
    // The server's certificate and private key, PEM files; false when either is unusable.
    bool setCertificateFiles(const QString &certificatePath, const QString &keyPath);
    // The whole reply every RCPT TO gets, CR LF line ends included; empty (the default)
    // accepts every recipient.
    void setRecipientRefusal(const QByteArray &reply);
    // The whole refusal reply with its CR LF line ends; the default is two lines:
    // "535-5.7.8 Authentication credentials invalid\r\n535 5.7.8 Try again later\r\n".
    void setRefusalReply(const QByteArray &reply);
    QByteArray refusalReply() const;

    QList<Mail> mails() const;
    int mailCount() const;
    // Every line received outside DATA, without its CR LF, in order (AUTH payloads included).
    QStringList commands() const;
    // The part of commands() that came over TLS.
    QStringList encryptedCommands() const;
    int tlsHandshakes() const; // TLS handshakes completed so far
    // The credentials of the last AUTH LOGIN attempt, accepted or not.
    QString lastAuthUser() const;
    QString lastAuthPassword() const;
    int connectionCount() const; // connections accepted so far
    void clearRecords();         // forget mails, commands, credentials and counts

signals:
    void mailReceived();       // a mail was accepted (after the 250 to the closing dot)
    void connectionAccepted(); // a client connected
    void connectionClosed();   // a client connection ended, from either side

private:
    friend class TestSmtpServerWorker;
    friend class TestSmtpSession;
    friend class TestSmtpListener;

    struct Records {
        Mode mode = Mode::Normal;
        QString user = QStringLiteral("user");
        QString password = QStringLiteral("secret");
        QByteArray refusal;
        QList<Mail> mails;
        QStringList commands;
        QStringList encryptedCommands;
        Tls tls = Tls::None;
        QSslCertificate certificate;
        QSslKey key;
        QByteArray recipientRefusal;
        int handshakes = 0;
        QString lastAuthUser;
        QString lastAuthPassword;
        int connections = 0;
    };

    mutable QMutex m_mutex;
    Records m_records;
    QThread m_thread;
    TestSmtpServerWorker *m_worker = nullptr; // lives on m_thread, deleted there when it ends
    quint16 m_port = 0;
};
