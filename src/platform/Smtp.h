#pragma once

#include <QString>
#include <QStringList>

// The failure e-mail's message: sender, one recipient, subject, plain UTF-8 body.
class TIdMessage {
public:
    QString From;       // may carry a display name: "Ann <ann@example.org>"
    QStringList Recipients;
    QString Subject = QStringLiteral("Vennatro - Ping failure notification");
    QString Body;
    QString Encoding = QStringLiteral("MIME");
    QString ContentTransferEncoding = QStringLiteral("8bit");

    // The bare address inside angle brackets, or the whole text trimmed.
    static QString BareAddress(const QString &mailbox);
    // The message as sent: headers From, To, Subject, Date, Message-ID, X-Mailer,
    // MIME-Version, Content-Type, Content-Transfer-Encoding; CR LF line ends.
    QByteArray Compose(const QString &mailAgent) const;
};

// SMTP client over libcurl with LOGIN authentication. Connect/Send/Disconnect in sequence;
// every failure throws EIdException whose message is curl's error text plus the server's
// last reply. Bounded in time: connect time-out and a stall time-out.
class TIdSMTP {
public:
    QString Host;
    int Port = 25;
    QString Username;
    QString Password;
    QString MailAgent;
    int ReadTimeout = 0;        // 0 = the bounded default below
    int ConnectTimeoutMs = 15000;
    int StallTimeoutMs = 30000; // no progress for this long ends the exchange

    void Connect();
    void Send(const TIdMessage &message);
    void Disconnect();

private:
    bool m_connected = false;
};
