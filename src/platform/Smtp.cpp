#include "platform/Smtp.h"

#include "platform/CurlLibrary.h"
#include "platform/SocketApi.h"

#include "support/Exceptions.h"

#include <QDateTime>
#include <QUuid>

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

namespace {

constexpr int kDefaultConnectTimeoutMs = 15000;
constexpr int kDefaultStallTimeoutMs = 30000;
// Last resort for a server that trickles bytes slowly enough to dodge the stall bound.
constexpr long kOverallTimeoutFloorMs = 5 * 60 * 1000;
// The longest libcurl waits before this side looks at the abort flag again.
constexpr int kAbortCheckMs = 100;

// Header values come from settings: a CR or LF in them would start a header of its own.
QString OneLine(const QString &text) {
    QString line = text;
    for (QChar &c : line) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char(' ');
    }
    return line;
}

bool IsAscii(const QString &text) {
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; });
}

// RFC 2047 "B" encoded words, each at most 75 characters and never splitting a character;
// words are folded onto continuation lines so no header line grows past the limit.
QByteArray EncodedWords(const QString &text) {
    constexpr int kMaxBytesPerWord = 45; // 60 base64 characters
    QByteArray result;
    QByteArray chunk;
    const auto flush = [&] {
        if (chunk.isEmpty())
            return;
        if (!result.isEmpty())
            result += "\r\n ";
        result += "=?UTF-8?B?" + chunk.toBase64() + "?=";
        chunk.clear();
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        qsizetype length = 1;
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            length = 2;
        const QByteArray character = text.mid(i, length).toUtf8();
        if (chunk.size() + character.size() > kMaxBytesPerWord)
            flush();
        chunk += character;
        i += length - 1;
    }
    flush();
    return result;
}

// A free-text header value: as given when ASCII, encoded words otherwise.
QByteArray TextHeaderValue(const QString &text) {
    const QString line = OneLine(text);
    return IsAscii(line) ? line.toLatin1() : EncodedWords(line);
}

// "Name <address>" keeps its address part as given; a non-ASCII display name (quoted or not)
// is sent as encoded words, which every mail reader decodes.
QByteArray MailboxHeaderValue(const QString &mailbox) {
    const QString line = OneLine(mailbox).trimmed();
    const qsizetype open = line.lastIndexOf(QLatin1Char('<'));
    if (open <= 0 || IsAscii(line.left(open)))
        return line.toUtf8();
    QString name = line.left(open).trimmed();
    if (name.size() >= 2 && name.startsWith(QLatin1Char('"')) && name.endsWith(QLatin1Char('"'))) {
        name = name.mid(1, name.size() - 2);
        name.replace(QLatin1String("\\\""), QLatin1String("\""));
        name.replace(QLatin1String("\\\\"), QLatin1String("\\"));
    }
    return EncodedWords(name) + ' ' + line.mid(open).toUtf8();
}

// This computer's name when it is a plain host name, else "localhost": used after the "@"
// of the Message-ID and as the EHLO greeting, where anything else would be malformed.
QByteArray LocalDomain() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return "localhost";
    const QByteArray host(name);
    const bool plain = !host.isEmpty() && !host.startsWith('.') && !host.endsWith('.') &&
                       !host.contains("..") && std::all_of(host.cbegin(), host.cend(), [](char c) {
                           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                  (c >= '0' && c <= '9') || c == '-' || c == '.';
                       });
    return plain ? host : QByteArray("localhost");
}

QByteArray CrLfBody(const QString &body) {
    QString text = body;
    text.remove(QChar(0));
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    text.replace(QLatin1String("\n"), QLatin1String("\r\n"));
    if (!text.isEmpty() && !text.endsWith(QLatin1String("\r\n")))
        text += QLatin1String("\r\n");
    return text.toUtf8();
}

// An address for MAIL FROM / RCPT TO: libcurl puts it inside the angle brackets as it is.
QByteArray EnvelopeAddress(const QString &mailbox, const char *what) {
    const QString address = TIdMessage::BareAddress(mailbox);
    if (address.isEmpty())
        throw EIdException(QStringLiteral("No %1 address given.").arg(QLatin1String(what)));
    const bool unsafe = std::any_of(address.cbegin(), address.cend(), [](QChar c) {
        return c.unicode() <= 0x20 || c.unicode() == 0x7f || c == QLatin1Char('<') ||
               c == QLatin1Char('>');
    });
    if (unsafe)
        throw EIdException(
            QStringLiteral("Invalid %1 address [%2].").arg(QLatin1String(what), OneLine(address)));
    return address.toUtf8();
}

// The library, or an error that says why the mail cannot go.
const CurlLibrary &Curl() {
    QString why;
    if (const CurlLibrary *api = CurlLibrary::Get(&why))
        return *api;
    throw EIdException(
        QStringLiteral("The mail library (libcurl) could not be loaded: %1").arg(why));
}

struct UploadSource {
    const QByteArray *bytes = nullptr;
    qsizetype position = 0;
};

size_t ReadUpload(char *buffer, size_t size, size_t count, void *user) {
    auto *source = static_cast<UploadSource *>(user);
    const qsizetype left = source->bytes->size() - source->position;
    const qsizetype chunk = std::min<qsizetype>(left, qsizetype(size * count));
    std::copy_n(source->bytes->constData() + source->position, chunk, buffer);
    source->position += chunk;
    return size_t(chunk);
}

// What one exchange learns from libcurl's callbacks, all of them called on the thread that
// runs Send. Only incoming lines are kept, so the credentials the client sends never pass
// through here; of outgoing lines only the command verb is looked at.
struct Exchange {
    bool guardStartTls = false; // a refused STARTTLS must end the exchange
    std::shared_ptr<std::atomic_bool> abort;
    std::vector<curl_socket_t> sockets; // open connections of this exchange

    QByteArray pending;    // an incoming line not yet complete
    QByteArray current;    // the reply being read or the last complete one
    bool complete = true;  // `current` ended with its final line
    QByteArray beforeQuit; // the last reply read before QUIT went out
    bool quitSent = false;
    bool awaitingStartTls = false;
    bool startTlsRefused = false;

    bool aborted() const { return abort && abort->load(); }

    void incoming(const char *data, size_t size) {
        pending.append(data, qsizetype(size));
        for (qsizetype end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
            const QByteArray line = pending.left(end + 1);
            pending.remove(0, end + 1);
            if (complete)
                current.clear();
            current += line;
            // "250-..." continues a reply, "250 ..." or a bare "250" ends it.
            complete = line.size() < 4 || line[3] != '-';
            if (!quitSent)
                beforeQuit = current;
            if (complete && awaitingStartTls) {
                awaitingStartTls = false;
                if (!current.startsWith("220") && guardStartTls)
                    refuseToGoOnInClear();
            }
        }
    }

    void outgoing(const char *data, size_t size) {
        const QByteArray verb = QByteArray(data, qsizetype(std::min<size_t>(size, 9))).toUpper();
        if (verb.startsWith("QUIT"))
            quitSent = true;
        else if (verb.startsWith("STARTTLS"))
            awaitingStartTls = true;
    }

    // libcurl, told to try STARTTLS, carries on in clear when the server refuses it, and would
    // send the log-on next. Cutting the connection makes that next write fail, so not one
    // byte more leaves in clear.
    void refuseToGoOnInClear() {
        startTlsRefused = true;
        cutConnections();
    }

    // Any later read or write fails at once; libcurl still closes the sockets itself.
    void cutConnections() {
        for (const curl_socket_t socket : sockets)
            Sockets::Shutdown(Sockets::Handle(socket));
    }

    // The reply to the command that failed: the closing QUIT's reply tells nothing.
    QByteArray failedReply() const {
        QByteArray reply = beforeQuit;
        while (reply.endsWith('\n') || reply.endsWith('\r'))
            reply.chop(1);
        return reply;
    }
};

int DebugCallback(CURL *, curl_infotype type, char *data, size_t size, void *user) {
    auto *exchange = static_cast<Exchange *>(user);
    if (type == CURLINFO_HEADER_IN)
        exchange->incoming(data, size);
    else if (type == CURLINFO_HEADER_OUT)
        exchange->outgoing(data, size);
    return 0;
}

curl_socket_t OpenSocket(void *user, curlsocktype, curl_sockaddr *address) {
    // A stream socket, as SMTP's always is; libcurl makes it non-blocking anyway.
    int error = 0;
    const Sockets::Handle handle = Sockets::Open(address->family, &error);
    if (handle == Sockets::Invalid)
        return CURL_SOCKET_BAD;
    const auto socket = curl_socket_t(handle);
    static_cast<Exchange *>(user)->sockets.push_back(socket);
    return socket;
}

int CloseSocket(void *user, curl_socket_t socket) {
    auto &sockets = static_cast<Exchange *>(user)->sockets;
    sockets.erase(std::remove(sockets.begin(), sockets.end(), socket), sockets.end());
    return Sockets::Close(Sockets::Handle(socket));
}

// Also reached while libcurl waits inside a blocking step (the closing QUIT).
int ProgressCallback(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Exchange *>(user)->aborted() ? 1 : 0;
}

struct CurlEasyDeleter {
    void operator()(CURL *handle) const { Curl().easy_cleanup(handle); }
};
struct CurlMultiDeleter {
    void operator()(CURLM *handle) const { Curl().multi_cleanup(handle); }
};
struct CurlListDeleter {
    void operator()(curl_slist *list) const { Curl().slist_free_all(list); }
};

} // namespace

QString TIdMessage::BareAddress(const QString &mailbox) {
    const qsizetype open = mailbox.lastIndexOf(QLatin1Char('<'));
    const qsizetype close = open < 0 ? -1 : mailbox.indexOf(QLatin1Char('>'), open + 1);
    if (close < 0)
        return mailbox.trimmed();
    return mailbox.mid(open + 1, close - open - 1).trimmed();
}

QByteArray TIdMessage::DateText(const QDateTime &now) {
    // English names and ASCII digits whatever the user's locale: mail readers parse this.
    static const char *const days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const auto two = [](int n) { return QByteArray::number(n).rightJustified(2, '0'); };
    const QDate date = now.date();
    const QTime time = now.time();
    const int offsetMinutes = now.offsetFromUtc() / 60;
    const int absOffset = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    return QByteArray(days[date.dayOfWeek() - 1]) + ", " + two(date.day()) + ' ' +
           months[date.month() - 1] + ' ' + QByteArray::number(date.year()) + ' ' +
           two(time.hour()) + ':' + two(time.minute()) + ':' + two(time.second()) + ' ' +
           (offsetMinutes < 0 ? '-' : '+') + two(absOffset / 60) + two(absOffset % 60);
}

QByteArray TIdMessage::Compose(const QString &mailAgent) const {
    const QString transfer = ContentTransferEncoding.trimmed().toLower();
    if (!transfer.isEmpty() && transfer != QLatin1String("8bit") &&
        transfer != QLatin1String("7bit"))
        throw EIdException(
            QStringLiteral("Unsupported transfer encoding [%1].").arg(ContentTransferEncoding));

    QByteArray text;
    text += "From: " + MailboxHeaderValue(From) + "\r\n";
    QByteArray toValue;
    for (const QString &recipient : Recipients) {
        if (!toValue.isEmpty())
            toValue += ", ";
        toValue += MailboxHeaderValue(recipient);
    }
    text += "To: " + toValue + "\r\n";
    text += "Subject: " + TextHeaderValue(Subject) + "\r\n";
    text += "Date: " + DateText(QDateTime::currentDateTime()) + "\r\n";
    text += "Message-ID: <" + QUuid::createUuid().toByteArray(QUuid::Id128) + '@' + LocalDomain() +
            ">\r\n";
    if (!mailAgent.trimmed().isEmpty())
        text += "X-Mailer: " + TextHeaderValue(mailAgent.trimmed()) + "\r\n";
    text += "MIME-Version: 1.0\r\n";
    text += "Content-Type: text/plain; charset=UTF-8\r\n";
    text += "Content-Transfer-Encoding: " +
            (transfer.isEmpty() ? QByteArray("8bit") : transfer.toLatin1()) + "\r\n";
    text += "\r\n";
    text += CrLfBody(Body);
    return text;
}

void TIdSMTP::Connect() { ValidateSettings(); }

void TIdSMTP::Send(const TIdMessage &message) {
    const QByteArray url = ServerUrl();
    const QByteArray mailFrom = EnvelopeAddress(message.From, "sender");
    if (message.Recipients.isEmpty())
        throw EIdException(QStringLiteral("No recipient address given."));
    Curl(); // before any of its calls: a library that is not there says so first
    std::unique_ptr<curl_slist, CurlListDeleter> recipients;
    for (const QString &recipient : message.Recipients) {
        const QByteArray address = EnvelopeAddress(recipient, "recipient");
        curl_slist *grown = Curl().slist_append(recipients.get(), address.constData());
        if (!grown)
            throw EIdException(QStringLiteral("Out of memory."));
        recipients.release();
        recipients.reset(grown);
    }
    const QByteArray content = message.Compose(MailAgent);

    Exchange exchange;
    exchange.abort = AbortFlag;
    exchange.guardStartTls = Security == StartTlsWhenOffered && !UsesImplicitTls();
    if (exchange.aborted())
        throw EIdException(QStringLiteral("aborted"));

    const int connectMs = ConnectTimeoutMs > 0 ? ConnectTimeoutMs : kDefaultConnectTimeoutMs;
    const int stallMs = ReadTimeout > 0      ? ReadTimeout
                        : StallTimeoutMs > 0 ? StallTimeoutMs
                                             : kDefaultStallTimeoutMs;
    const long stallSeconds = std::max(1L, long((stallMs + 999) / 1000));
    const long overallMs =
        std::max(kOverallTimeoutFloorMs, long(connectMs) + 4 * stallSeconds * 1000);

    char errorBuffer[CURL_ERROR_SIZE] = {};
    UploadSource upload{&content, 0};
    const QByteArray user = Username.toUtf8();
    const QByteArray password = Password.toUtf8();
    const QByteArray caFile = qgetenv("SSL_CERT_FILE");
    const QByteArray caDir = qgetenv("SSL_CERT_DIR");

    // Declared after everything its callbacks and options point at, so it goes first.
    std::unique_ptr<CURL, CurlEasyDeleter> curl(Curl().easy_init());
    std::unique_ptr<CURLM, CurlMultiDeleter> multi(Curl().multi_init());
    if (!curl || !multi)
        throw EIdException(QStringLiteral("The mail library could not start."));
    CURL *handle = curl.get();

    Curl().easy_setopt(handle, CURLOPT_URL, url.constData());
#if LIBCURL_VERSION_NUM >= 0x075500
    Curl().easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
#endif
    Curl().easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    Curl().easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
    Curl().easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, long(connectMs));
    Curl().easy_setopt(handle, CURLOPT_SERVER_RESPONSE_TIMEOUT, stallSeconds);
    Curl().easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    Curl().easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, stallSeconds);
    Curl().easy_setopt(handle, CURLOPT_TIMEOUT_MS, overallMs);
    // The connection ends with this exchange, so its QUIT is still sent through this handle,
    // where the abort check and the reply recorder see it.
    Curl().easy_setopt(handle, CURLOPT_FORBID_REUSE, 1L);

    switch (Security) {
    case StartTlsRequired:
        Curl().easy_setopt(handle, CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
        break;
    case NoTls:
        Curl().easy_setopt(handle, CURLOPT_USE_SSL, long(CURLUSESSL_NONE));
        break;
    default: // smtps:// is TLS from the start whatever this says
        Curl().easy_setopt(handle, CURLOPT_USE_SSL, long(CURLUSESSL_TRY));
        break;
    }
    Curl().easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    Curl().easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caFile.isEmpty() || !caDir.isEmpty()) {
        // Only the authorities named there: a null value switches libcurl's default off.
        Curl().easy_setopt(handle, CURLOPT_CAINFO, caFile.isEmpty() ? nullptr : caFile.constData());
        Curl().easy_setopt(handle, CURLOPT_CAPATH, caDir.isEmpty() ? nullptr : caDir.constData());
    }

    if (!user.isEmpty()) {
        Curl().easy_setopt(handle, CURLOPT_LOGIN_OPTIONS, "AUTH=LOGIN");
        Curl().easy_setopt(handle, CURLOPT_USERNAME, user.constData());
        Curl().easy_setopt(handle, CURLOPT_PASSWORD, password.constData());
    }
    Curl().easy_setopt(handle, CURLOPT_MAIL_FROM, mailFrom.constData());
    Curl().easy_setopt(handle, CURLOPT_MAIL_RCPT, recipients.get());
    Curl().easy_setopt(handle, CURLOPT_UPLOAD, 1L);
    Curl().easy_setopt(handle, CURLOPT_READFUNCTION, ReadUpload);
    Curl().easy_setopt(handle, CURLOPT_READDATA, &upload);
    Curl().easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, curl_off_t(content.size()));
    Curl().easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, OpenSocket);
    Curl().easy_setopt(handle, CURLOPT_OPENSOCKETDATA, &exchange);
    Curl().easy_setopt(handle, CURLOPT_CLOSESOCKETFUNCTION, CloseSocket);
    Curl().easy_setopt(handle, CURLOPT_CLOSESOCKETDATA, &exchange);
    Curl().easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, ProgressCallback);
    Curl().easy_setopt(handle, CURLOPT_XFERINFODATA, &exchange);
    Curl().easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    // The debug callback only sees traffic while verbose is on; it replaces curl's own
    // printing, so nothing reaches stderr.
    Curl().easy_setopt(handle, CURLOPT_DEBUGFUNCTION, DebugCallback);
    Curl().easy_setopt(handle, CURLOPT_DEBUGDATA, &exchange);
    Curl().easy_setopt(handle, CURLOPT_VERBOSE, 1L);

    // The multi interface instead of curl_easy_perform: its wait is cut into short slices, so
    // an abort is seen within one whatever libcurl is waiting for.
    CURLcode result = CURLE_OK;
    bool aborted = false;
    {
        struct Attached {
            CURLM *multi;
            CURL *easy;
            Exchange &exchange;
            ~Attached() {
                // An exchange left half-way would say QUIT and wait for its reply first.
                if (exchange.aborted())
                    exchange.cutConnections();
                Curl().multi_remove_handle(multi, easy);
            }
        };
        if (Curl().multi_add_handle(multi.get(), handle) != CURLM_OK)
            throw EIdException(QStringLiteral("The mail library could not start."));
        const Attached attached{multi.get(), handle, exchange};
        for (;;) {
            int running = 0;
            const CURLMcode code = Curl().multi_perform(multi.get(), &running);
            if (code != CURLM_OK)
                throw EIdException(QString::fromUtf8(Curl().multi_strerror(code)));
            if (running == 0)
                break;
            if (exchange.aborted()) {
                aborted = true;
                break;
            }
            Curl().multi_poll(multi.get(), nullptr, 0, kAbortCheckMs, nullptr);
            if (exchange.aborted()) {
                aborted = true;
                break;
            }
        }
        int left = 0;
        while (CURLMsg *done = Curl().multi_info_read(multi.get(), &left)) {
            if (done->msg == CURLMSG_DONE && done->easy_handle == handle)
                result = done->data.result;
        }
    }
    if (aborted || result == CURLE_ABORTED_BY_CALLBACK)
        throw EIdException(QStringLiteral("aborted"));
    if (result == CURLE_OK && !exchange.startTlsRefused) {
        LastReply = QString::fromUtf8(exchange.failedReply()); // the reply to the message's end
        return;
    }

    QString text;
    if (exchange.startTlsRefused)
        text = QStringLiteral("The server offers STARTTLS but refused to start TLS; nothing was "
                              "sent unencrypted.");
    else
        text = errorBuffer[0] ? QString::fromUtf8(errorBuffer).trimmed()
                              : QString::fromUtf8(Curl().easy_strerror(result));
    // A certificate or handshake failure is the whole reason: the last reply then is the
    // server's go-ahead for STARTTLS, which would only mislead.
    const bool tlsFailure = result == CURLE_PEER_FAILED_VERIFICATION ||
                            result == CURLE_SSL_CONNECT_ERROR || result == CURLE_SSL_CERTPROBLEM ||
                            result == CURLE_SSL_CACERT_BADFILE || result == CURLE_SSL_CIPHER;
    const QByteArray reply = exchange.failedReply();
    if (!reply.isEmpty() && !tlsFailure)
        text += QLatin1String("\r\n") + QString::fromUtf8(reply);
    throw EIdException(text);
}

void TIdSMTP::Disconnect() {}

void TIdSMTP::ValidateSettings() const { (void)ServerUrl(); }

bool TIdSMTP::UsesImplicitTls() const {
    return Security == ImplicitTls || (Security == StartTlsWhenOffered && Port == 465);
}

QByteArray TIdSMTP::ServerUrl() const {
    if (Security < StartTlsWhenOffered || Security > NoTls)
        throw EIdException(QStringLiteral("Invalid SMTP security setting %1.").arg(Security));
    QString host = Host.trimmed();
    if (host.isEmpty())
        throw EIdException(QStringLiteral("No SMTP server given."));
    if (Port < 1 || Port > 65535)
        throw EIdException(QStringLiteral("Invalid SMTP port %1.").arg(Port));
    // Characters that would end the host part of the address or smuggle in credentials.
    const bool unsafe = std::any_of(host.cbegin(), host.cend(), [](QChar c) {
        return c.unicode() <= 0x20 || c.unicode() == 0x7f || c == QLatin1Char('/') ||
               c == QLatin1Char('?') || c == QLatin1Char('#') || c == QLatin1Char('@') ||
               c == QLatin1Char('\\');
    });
    if (unsafe)
        throw EIdException(QStringLiteral("Invalid SMTP server [%1].").arg(OneLine(host)));
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    QByteArray hostPart = host.toUtf8();
    if (host.contains(QLatin1Char(':'))) // IPv6 literal; a zone index needs its "%" escaped
        hostPart = '[' + hostPart.replace("%", "%25") + ']';
    else if (host.contains(QLatin1Char('[')) || host.contains(QLatin1Char(']')) ||
             host.contains(QLatin1Char('%')))
        throw EIdException(QStringLiteral("Invalid SMTP server [%1].").arg(host));
    // The path is the name this computer gives in its EHLO greeting.
    return (UsesImplicitTls() ? "smtps://" : "smtp://") + hostPart + ':' +
           QByteArray::number(Port) + '/' + LocalDomain();
}
