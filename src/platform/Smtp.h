#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

// The failure e-mail's message: sender, one recipient, subject, plain UTF-8 body.
class TIdMessage {
public:
    QString From; // may carry a display name: "Ann <ann@example.org>"
    QStringList Recipients;
    QString Subject = QStringLiteral("Vennatro - Ping failure notification");
    QString Body;
    QString Encoding = QStringLiteral("MIME");
    QString ContentTransferEncoding = QStringLiteral("8bit"); // "8bit" or "7bit"

    // The bare address inside angle brackets, or the whole text trimmed.
    static QString BareAddress(const QString &mailbox);
    // A Date header value: "Tue, 04 Mar 2025 14:05:09 +0100", English names, the time's own
    // offset from UTC.
    static QByteArray DateText(const QDateTime &when);
    // The message as sent: headers From, To, Subject, Date, Message-ID, X-Mailer (left out
    // when mailAgent is empty), MIME-Version, Content-Type, Content-Transfer-Encoding; CR LF
    // line ends throughout, the body's lone CR or LF turned into CR LF. From and To keep the
    // text as given; a non-ASCII display name or subject goes out as RFC 2047 encoded words.
    // Control characters in header values become blanks. Dot-stuffing is left to libcurl.
    // Throws EIdException for a transfer encoding other than 8bit or 7bit.
    QByteArray Compose(const QString &mailAgent) const;
};

// SMTP client over libcurl. Connect/Send/Disconnect in sequence; every failure throws
// EIdException whose message is curl's error text, then CR LF and the server's reply to the
// command that failed (its own line breaks kept as CR LF) when the server said anything: the
// last reply received before the closing QUIT, never the reply to QUIT itself.
//
// libcurl has no separate connect for SMTP: Connect only checks the settings, Send does the
// whole exchange (connect, EHLO, STARTTLS, log-on, MAIL FROM, RCPT TO, DATA, QUIT) and checks
// them again, Disconnect does nothing harmful. Log-on is LOGIN with Username and Password;
// with an empty Username no log-on is tried. Bounded in time: ConnectTimeoutMs for the
// connection (libcurl counts the greeting, EHLO and log-on in it too), the stall time-out for
// every other server reply and for the upload, and an overall limit of a few minutes.
//
// TLS: certificates are verified, and the server's name or address against Host, by the
// authorities in the files that SSL_CERT_FILE / SSL_CERT_DIR name when either is set, else by
// the system's. Send touches no QObject, so it may run on any thread.
class TIdSMTP {
public:
    // Values of the "SMTP security" setting.
    enum SecurityMode {
        StartTlsWhenOffered = 0, // plain only when the server offers no STARTTLS; implicit
                                 // TLS on port 465
        StartTlsRequired = 1,    // no STARTTLS, no mail
        ImplicitTls = 2,         // TLS from the first byte (smtps)
        NoTls = 3,               // never encrypted
    };

    QString Host; // name, IPv4 address or IPv6 literal (with or without brackets)
    int Port = 25;
    QString Username;
    QString Password;
    QString MailAgent;
    int Security = StartTlsWhenOffered; // a SecurityMode
    int ReadTimeout = 0;                // ms; above 0 it replaces StallTimeoutMs
    int ConnectTimeoutMs = 15000;
    int StallTimeoutMs = 30000; // no progress for this long ends the exchange (whole seconds)
    // Set to true from any thread to end a Send under way within a second (also while it
    // connects or waits for a silent server); Send then throws EIdException("aborted"). A set
    // flag stays set: give every exchange a fresh one. Null: the exchange cannot be aborted.
    std::shared_ptr<std::atomic_bool> AbortFlag;
    // After a Send that succeeded: the server's last reply before QUIT, the one that took the
    // message ("250 2.0.0 OK id=..."), for a user who tries the settings out.
    QString LastReply;

    void Connect();
    void Send(const TIdMessage &message);
    void Disconnect();

    // The address libcurl is given: "smtp://host:port/ehlo-name", or "smtps://..." for
    // implicit TLS. Throws EIdException for settings that cannot work.
    QByteArray ServerUrl() const;

private:
    void ValidateSettings() const;
    bool UsesImplicitTls() const;
};
