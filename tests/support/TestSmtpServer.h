#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>

class TestSmtpServerWorker;

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
class TestSmtpServer : public QObject {
    Q_OBJECT
public:
    enum class Mode {
        Normal,             // the whole exchange, mails accepted
        RefuseLogOn,        // every AUTH ends with refusalReply()
        NeverAnswer,        // accept the connection, never send a byte
        StallAfterGreeting, // send the 220 greeting, then never answer
        DropDuringData,     // close the connection when message bytes arrive after 354
    };

    struct Mail {
        QString mailFrom;       // the address inside MAIL FROM:<...>
        QStringList recipients; // the addresses inside RCPT TO:<...>, in order
        QByteArray data;        // message as the client meant it: un-stuffed, no final dot line
        QByteArray wireData;    // message bytes as received, closing ".\r\n" excluded
        QString authUser;       // credentials of this session's log-on; empty without AUTH
        QString authPassword;
        bool authenticated = false;
    };

    explicit TestSmtpServer(QObject *parent = nullptr);
    ~TestSmtpServer() override;

    bool isListening() const; // false when the port could not be bound
    quint16 port() const;

    void setMode(Mode mode);
    Mode mode() const;
    // The user name and password AUTH LOGIN accepts (defaults "user" / "secret").
    void setCredentials(const QString &user, const QString &password);
    // The whole refusal reply with its CR LF line ends; the default is two lines:
    // "535-5.7.8 Authentication credentials invalid\r\n535 5.7.8 Try again later\r\n".
    void setRefusalReply(const QByteArray &reply);
    QByteArray refusalReply() const;

    QList<Mail> mails() const;
    int mailCount() const;
    // Every line received outside DATA, without its CR LF, in order (AUTH payloads included).
    QStringList commands() const;
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

    struct Records {
        Mode mode = Mode::Normal;
        QString user = QStringLiteral("user");
        QString password = QStringLiteral("secret");
        QByteArray refusal;
        QList<Mail> mails;
        QStringList commands;
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
