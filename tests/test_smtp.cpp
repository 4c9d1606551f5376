#include "platform/CurlLibrary.h"
#include "platform/Smtp.h"
#include "support/Exceptions.h"
#include "support/TestCertificate.h"
#include "support/TestHelpers.h"
#include "support/TestSmtpServer.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimeZone>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>

namespace {

// Message text of the EIdException `action` throws; fails the test when it throws nothing
// or something else.
QString MailError(const std::function<void()> &action) {
    try {
        action();
    } catch (const EIdException &e) {
        return e.Message();
    } catch (...) {
        return QStringLiteral("<other exception>");
    }
    return QStringLiteral("<no exception>");
}

QList<QByteArray> HeaderLines(const QByteArray &message) {
    const qsizetype end = message.indexOf("\r\n\r\n");
    return message.left(end).split('\n');
}

QByteArray Body(const QByteArray &message) { return message.mid(message.indexOf("\r\n\r\n") + 4); }

TIdMessage FailureMessage() {
    TIdMessage message;
    message.From = QStringLiteral("Vennatro Alerts <alerts@example.org>");
    message.Recipients = {QStringLiteral("Ops Team <ops@example.org>")};
    message.Body = QStringLiteral(
        "This is an automatic notification from Vennatro at WS-07.\r\n\r\n"
        "[4/3/2025 14:05:09] Error connecting to [www.example.org] (port 80): Connection "
        "refused (10061).\r\n"
        ".A line that starts with a dot\r\n"
        "..and one with two\r\n"
        ".\r\n"
        "lone LF\nlone CR\rno end");
    return message;
}

// A client for `server`, whose accepted credentials become the client's.
TIdSMTP ClientFor(TestSmtpServer &server) {
    TIdSMTP smtp;
    smtp.Host = QStringLiteral("127.0.0.1");
    smtp.Port = server.port();
    smtp.Username = QStringLiteral("alert.sender");
    smtp.Password = QStringLiteral("p\u00e4ss word:1");
    smtp.MailAgent = QStringLiteral("Vennatro 1.0.1 beta");
    server.setCredentials(smtp.Username, smtp.Password);
    return smtp;
}

// A port on 127.0.0.1 that nothing listens on.
quint16 ClosedPort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

// The authorities the client trusts, for the lifetime of the object: exactly those named (an
// empty value counts as unset).
struct TrustedAuthorities {
    ScopedEnv file;
    ScopedEnv folder;
    explicit TrustedAuthorities(const QString &certificateFile, const QString &folderPath = {})
        : file("SSL_CERT_FILE", QFile::encodeName(certificateFile)),
          folder("SSL_CERT_DIR", QFile::encodeName(folderPath)) {}
};

// How many of the lines start with prefix.
int CountStartingWith(const QStringList &lines, const QString &prefix) {
    return int(std::count_if(lines.cbegin(), lines.cend(),
                             [&](const QString &line) { return line.startsWith(prefix); }));
}

// The lines that start with one of the verbs (any case), in their order.
QStringList CommandsOf(const QStringList &lines, const QStringList &verbs) {
    QStringList found;
    for (const QString &line : lines) {
        for (const QString &verb : verbs) {
            if (line.startsWith(verb, Qt::CaseInsensitive))
                found << line;
        }
    }
    return found;
}

// A listener on 127.0.0.1 whose queue is full, so a further connect to it never completes:
// the kernel drops its handshake packets and the client waits.
class FullListener {
public:
    FullListener() {
        m_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (m_socket < 0 || ::bind(m_socket, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
            ::listen(m_socket, 0) != 0 ||
            ::getsockname(m_socket, reinterpret_cast<sockaddr *>(&address), &size) != 0)
            return;
        m_port = ntohs(address.sin_port);
        // A backlog of 0 holds one connection that nobody accepts.
        m_filler.connectToHost(QHostAddress::LocalHost, m_port);
        if (!m_filler.waitForConnected(10000))
            m_port = 0;
    }
    ~FullListener() {
        m_filler.abort();
        if (m_socket >= 0)
            ::close(m_socket);
    }
    FullListener(const FullListener &) = delete;
    FullListener &operator=(const FullListener &) = delete;

    quint16 port() const { return m_port; }

private:
    int m_socket = -1;
    quint16 m_port = 0;
    QTcpSocket m_filler;
};

// Whether a connection to 127.0.0.1:port is waiting for its handshake (state SYN_SENT).
bool ConnectPending(quint16 port) {
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray remote =
        "0100007F:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    const QList<QByteArray> lines = table.readAll().split('\n');
    return std::any_of(lines.cbegin(), lines.cend(), [&](const QByteArray &line) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        return fields.size() > 3 && fields[2] == remote && fields[3] == "02";
    });
}

} // namespace

// Skips the test when Qt here cannot speak TLS; fails when the certificates could not be made.
#define REQUIRE_TLS()                                                                              \
    do {                                                                                           \
        if (!QSslSocket::supportsSsl())                                                            \
            QSKIP("Qt has no TLS backend here (QSslSocket::supportsSsl() is false)");              \
        QVERIFY2(m_trusted && m_trusted->isValid(),                                                \
                 qPrintable(m_trusted ? m_trusted->error() : QStringLiteral("not made")));         \
    } while (false)

class TestSmtp : public QObject {
    Q_OBJECT

private:
    // Gives `server` the trusted certificate and the kind of TLS; false when it cannot.
    bool SetUpTlsServer(TestSmtpServer &server, TestSmtpServer::Tls tls);

    std::unique_ptr<TestCertificate> m_trusted;   // the server's, trusted in most tests
    std::unique_ptr<TestCertificate> m_stranger;  // an authority the server does not use
    std::unique_ptr<TestCertificate> m_wrongName; // names only a host that is not this one

private slots:
    void initTestCase();
    void cleanupTestCase();
    void bareAddress_data();
    void bareAddress();
    void deliversEnvelopeHeadersAndBody();
    void composeEncodesNonAsciiNamesAndStopsHeaderInjection();
    void dateText_data();
    void dateText();
    void composeDateAndMessageId();
    void composeRejectsUnknownTransferEncoding();
    void sendsWithoutLogOnWhenUserNameEmpty();
    void refusedLogOnCarriesServerReply_data();
    void refusedLogOnCarriesServerReply();
    void wrongPasswordIsRefused();
    void silentServerEndsWithinBound_data();
    void silentServerEndsWithinBound();
    void droppedConnectionFails();
    void badSettingsFailBeforeConnecting_data();
    void badSettingsFailBeforeConnecting();
    void badAddressesFailBeforeConnecting_data();
    void badAddressesFailBeforeConnecting();
    void refusedConnectionFails_data();
    void refusedConnectionFails();
    void refusedRecipientCarriesItsReply_data();
    void refusedRecipientCarriesItsReply();
    void serverUrlFollowsSecurityAndPort_data();
    void serverUrlFollowsSecurityAndPort();
    void invalidSecurityFailsBeforeConnecting();
    void startTlsProtectsLogOnAndMail_data();
    void startTlsProtectsLogOnAndMail();
    void sendsInClearWithoutStartTls_data();
    void sendsInClearWithoutStartTls();
    void startTlsRequiredButNotOffered();
    void refusedStartTlsNeverGoesOnInClear_data();
    void refusedStartTlsNeverGoesOnInClear();
    void implicitTlsFromFirstByte();
    void implicitTlsAgainstPlainServerFails();
    void unverifiedServerNeverSeesPassword_data();
    void unverifiedServerNeverSeesPassword();
    void droppedTlsHandshakeFails_data();
    void droppedTlsHandshakeFails();
    void abortFromAnotherThread_data();
    void abortFromAnotherThread();
    void abortWhileConnecting();
    void abortBeforeSendConnectsNothing();
};

// Whether a library whose file name holds name is mapped into this process.
static bool Mapped(const char *name) {
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains(name);
}

void TestSmtp::initTestCase() {
    // Nothing has sent mail yet: libcurl is not in the process, so a program that never sends
    // mail never pays for loading it.
    QVERIFY(!CurlLibrary::Loaded());
    QVERIFY(!Mapped("libcurl"));
    if (!QSslSocket::supportsSsl())
        return; // the TLS tests skip themselves
    m_trusted = std::make_unique<TestCertificate>();
    m_stranger = std::make_unique<TestCertificate>();
    m_wrongName = std::make_unique<TestCertificate>(QStringLiteral("DNS:mail.example.org"));
}

void TestSmtp::cleanupTestCase() {
    // The exchanges above loaded it.
    QVERIFY(CurlLibrary::Loaded());
    QVERIFY(Mapped("libcurl"));
}

bool TestSmtp::SetUpTlsServer(TestSmtpServer &server, TestSmtpServer::Tls tls) {
    if (!server.isListening() ||
        !server.setCertificateFiles(m_trusted->certificatePath(), m_trusted->keyPath()))
        return false;
    server.setTls(tls);
    return true;
}

void TestSmtp::bareAddress_data() {
    QTest::addColumn<QString>("mailbox");
    QTest::addColumn<QString>("bare");
    QTest::newRow("display name") << "Ann Smith <ann@example.org>"
                                  << "ann@example.org";
    QTest::newRow("plain, blanks around") << "  ann@example.org  "
                                          << "ann@example.org";
    QTest::newRow("brackets only") << "<ann@example.org>"
                                   << "ann@example.org";
    QTest::newRow("blanks inside brackets") << "Ann < ann@example.org >"
                                            << "ann@example.org";
    QTest::newRow("quoted name with brackets") << "\"Ann <boss>\" <ann@example.org>"
                                               << "ann@example.org";
    QTest::newRow("unclosed bracket") << "Ann <ann@example.org"
                                      << "Ann <ann@example.org";
    QTest::newRow("empty") << ""
                           << "";
}

void TestSmtp::bareAddress() {
    QFETCH(QString, mailbox);
    QFETCH(QString, bare);
    QCOMPARE(TIdMessage::BareAddress(mailbox), bare);
}

void TestSmtp::deliversEnvelopeHeadersAndBody() {
    TestSmtpServer server;
    QVERIFY(server.isListening());
    QSignalSpy received(&server, &TestSmtpServer::mailReceived);

    TIdSMTP smtp = ClientFor(server);
    smtp.Connect();
    smtp.Send(FailureMessage());
    smtp.Disconnect();

    QCOMPARE(server.mailCount(), 1);
    QVERIFY(received.count() == 1 || received.wait(10000));
    const TestSmtpServer::Mail mail = server.mails().first();

    // Envelope: bare addresses; log-on: LOGIN with the configured credentials.
    QCOMPARE(mail.mailFrom, QStringLiteral("alerts@example.org"));
    QCOMPARE(mail.recipients, QStringList{QStringLiteral("ops@example.org")});
    QVERIFY(mail.authenticated);
    QCOMPARE(mail.authUser, QStringLiteral("alert.sender"));
    QCOMPARE(mail.authPassword, QStringLiteral("p\u00e4ss word:1"));
    const QStringList commands = server.commands();
    QVERIFY2(commands.contains(QStringLiteral("AUTH LOGIN")), qPrintable(commands.join('|')));
    QVERIFY(commands.contains(QStringLiteral("MAIL FROM:<alerts@example.org>")));
    QVERIFY(commands.contains(QStringLiteral("RCPT TO:<ops@example.org>")));
    QTRY_VERIFY_WITH_TIMEOUT(server.commands().endsWith(QStringLiteral("QUIT")), 10000);

    // Headers in their order, each ended by CR LF.
    const QList<QByteArray> headers = HeaderLines(mail.data);
    QCOMPARE(headers.size(), 9);
    for (const QByteArray &line : headers.mid(0, headers.size() - 1))
        QVERIFY2(line.endsWith('\r'), line.constData());
    QCOMPARE(headers[0], QByteArray("From: Vennatro Alerts <alerts@example.org>\r"));
    QCOMPARE(headers[1], QByteArray("To: Ops Team <ops@example.org>\r"));
    QCOMPARE(headers[2], QByteArray("Subject: Vennatro - Ping failure notification\r"));
    QVERIFY2(headers[3].startsWith("Date: "), headers[3].constData());
    QVERIFY2(headers[4].startsWith("Message-ID: <"), headers[4].constData());
    QCOMPARE(headers[5], QByteArray("X-Mailer: Vennatro 1.0.1 beta\r"));
    QCOMPARE(headers[6], QByteArray("MIME-Version: 1.0\r"));
    QCOMPARE(headers[7], QByteArray("Content-Type: text/plain; charset=UTF-8\r"));
    QCOMPARE(headers[8], QByteArray("Content-Transfer-Encoding: 8bit"));

    // Body: every line break CR LF, dot lines arrive as written (stuffed on the wire).
    QCOMPARE(Body(mail.data),
             QByteArray("This is an automatic notification from Vennatro at WS-07.\r\n\r\n"
                        "[4/3/2025 14:05:09] Error connecting to [www.example.org] (port 80): "
                        "Connection refused (10061).\r\n"
                        ".A line that starts with a dot\r\n"
                        "..and one with two\r\n"
                        ".\r\n"
                        "lone LF\r\nlone CR\r\nno end\r\n"));
    QVERIFY(mail.wireData.contains("\r\n..A line that starts with a dot\r\n"));
    QVERIFY(mail.wireData.contains("\r\n...and one with two\r\n"));
    QVERIFY(mail.wireData.contains("\r\n..\r\n"));
    QCOMPARE(mail.data.count('\n'), mail.data.count("\r\n"));
    QCOMPARE(mail.data.count('\r'), mail.data.count("\r\n"));
}

void TestSmtp::composeEncodesNonAsciiNamesAndStopsHeaderInjection() {
    TIdMessage message;
    message.From = QStringLiteral("J\u00fcrgen \u00c4rger <juergen@example.org>");
    message.Recipients = {QStringLiteral("\"M\u00fcller, Ann\" <ann@example.org>"),
                          QStringLiteral("plain@example.org")};
    message.Subject = QStringLiteral("Alert\r\nBcc: victim@example.org");
    message.Body = QStringLiteral("Gr\u00fc\u00dfe\n");
    const QByteArray text = message.Compose(QStringLiteral("Vennatro 1.0.1"));
    const QList<QByteArray> headers = HeaderLines(text);

    QCOMPARE(headers[0], "From: =?UTF-8?B?" +
                             QStringLiteral("J\u00fcrgen \u00c4rger").toUtf8().toBase64() +
                             "?= <juergen@example.org>\r");
    QCOMPARE(headers[1], "To: =?UTF-8?B?" + QStringLiteral("M\u00fcller, Ann").toUtf8().toBase64() +
                             "?= <ann@example.org>, plain@example.org\r");
    QCOMPARE(headers[2], QByteArray("Subject: Alert  Bcc: victim@example.org\r"));
    QVERIFY(!text.contains("\nBcc:"));
    QCOMPARE(Body(text), QStringLiteral("Gr\u00fc\u00dfe\r\n").toUtf8());

    // A long non-ASCII subject: several encoded words of at most 75 characters on folded
    // lines, which decode back to the whole subject.
    QString subject;
    for (int i = 0; i < 30; ++i)
        subject += QStringLiteral("\u00c4rger \U0001F600 ");
    message.Subject = subject;
    const QByteArray folded = message.Compose(QString());
    const qsizetype start = folded.indexOf("\r\nSubject: ") + 11;
    const qsizetype end = folded.indexOf("\r\nDate: ");
    const QList<QByteArray> words = folded.mid(start, end - start).split('\n');
    QVERIFY(words.size() > 1);
    QByteArray decoded;
    for (QByteArray word : words) {
        word = word.trimmed();
        QVERIFY2(word.size() <= 75, word.constData());
        QVERIFY(word.startsWith("=?UTF-8?B?") && word.endsWith("?="));
        const QByteArray part = QByteArray::fromBase64(word.mid(10, word.size() - 12));
        QVERIFY2(QString::fromUtf8(part).toUtf8() == part, "a word splits a character");
        decoded += part;
    }
    QCOMPARE(QString::fromUtf8(decoded), subject);
    QVERIFY(!folded.contains("X-Mailer:")); // no mail agent, no header
}

void TestSmtp::dateText_data() {
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("UTC, single-digit day")
        << QDateTime(QDate(2025, 3, 4), QTime(14, 5, 9), QTimeZone::utc())
        << QByteArray("Tue, 04 Mar 2025 14:05:09 +0000");
    QTest::newRow("east, half hours")
        << QDateTime(QDate(2024, 12, 29), QTime(23, 59, 59), QTimeZone(19800))
        << QByteArray("Sun, 29 Dec 2024 23:59:59 +0530");
    QTest::newRow("west, odd minutes")
        << QDateTime(QDate(2026, 7, 1), QTime(0, 0, 0), QTimeZone(-12600))
        << QByteArray("Wed, 01 Jul 2026 00:00:00 -0330");
    QTest::newRow("Monday, November")
        << QDateTime(QDate(2025, 11, 10), QTime(8, 30, 0), QTimeZone::utc())
        << QByteArray("Mon, 10 Nov 2025 08:30:00 +0000");
}

void TestSmtp::dateText() {
    QFETCH(QDateTime, when);
    QFETCH(QByteArray, text);
    QCOMPARE(TIdMessage::DateText(when), text);
}

void TestSmtp::composeDateAndMessageId() {
    TIdMessage message;
    message.From = QStringLiteral("a@example.org");
    message.Recipients = {QStringLiteral("b@example.org")};
    const QDateTime before = QDateTime::currentDateTime().addSecs(-2);
    const QByteArray first = message.Compose(QStringLiteral("agent"));
    const QDateTime after = QDateTime::currentDateTime().addSecs(2);
    const QByteArray second = message.Compose(QStringLiteral("agent"));

    const QRegularExpression dateLine(QStringLiteral(
        R"(\r\nDate: ((Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|)"
        R"(Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d [+-]\d{4})\r\n)"));
    const QRegularExpressionMatch date = dateLine.match(QString::fromLatin1(first));
    QVERIFY2(date.hasMatch(), first.constData());
    const QDateTime sent = QDateTime::fromString(date.captured(1), Qt::RFC2822Date);
    QVERIFY(sent.isValid());
    QVERIFY2(sent >= before && sent <= after, qPrintable(date.captured(1)));
    QCOMPARE(sent.offsetFromUtc(), before.offsetFromUtc());

    const QRegularExpression idLine(
        QStringLiteral(R"(\r\nMessage-ID: (<[0-9a-f]{32}@[A-Za-z0-9.-]+>)\r\n)"));
    const QRegularExpressionMatch id1 = idLine.match(QString::fromLatin1(first));
    const QRegularExpressionMatch id2 = idLine.match(QString::fromLatin1(second));
    QVERIFY2(id1.hasMatch(), first.constData());
    QVERIFY(id2.hasMatch());
    QVERIFY(id1.captured(1) != id2.captured(1));
}

void TestSmtp::composeRejectsUnknownTransferEncoding() {
    TIdMessage message;
    message.ContentTransferEncoding = QStringLiteral("base64");
    QCOMPARE(MailError([&] { message.Compose(QString()); }),
             QStringLiteral("Unsupported transfer encoding [base64]."));
}

void TestSmtp::sendsWithoutLogOnWhenUserNameEmpty() {
    TestSmtpServer server;
    QVERIFY(server.isListening());
    TIdSMTP smtp = ClientFor(server);
    smtp.Username.clear();
    smtp.Send(FailureMessage());

    QCOMPARE(server.mailCount(), 1);
    QVERIFY(!server.mails().first().authenticated);
    for (const QString &command : server.commands())
        QVERIFY2(!command.startsWith(QLatin1String("AUTH")), qPrintable(command));
}

void TestSmtp::refusedLogOnCarriesServerReply_data() {
    QTest::addColumn<QByteArray>("refusal");
    QTest::addColumn<QString>("replyText");
    QTest::newRow("two lines") << QByteArray("535-5.7.8 Authentication credentials invalid\r\n"
                                             "535 5.7.8 Try again later\r\n")
                               << QStringLiteral("535-5.7.8 Authentication credentials "
                                                 "invalid\r\n535 5.7.8 Try again later");
    QTest::newRow("one line") << QByteArray("535 Authentication unsuccessful\r\n")
                              << QStringLiteral("535 Authentication unsuccessful");
}

void TestSmtp::refusedLogOnCarriesServerReply() {
    QFETCH(QByteArray, refusal);
    QFETCH(QString, replyText);
    TestSmtpServer server;
    QVERIFY(server.isListening());
    server.setMode(TestSmtpServer::Mode::RefuseLogOn);
    server.setRefusalReply(refusal);

    TIdSMTP smtp = ClientFor(server);
    smtp.Connect();
    const QString error = MailError([&] { smtp.Send(FailureMessage()); });
    smtp.Disconnect();

    QVERIFY2(error.endsWith(QLatin1String("\r\n") + replyText), qPrintable(error));
    const QString curlText = error.left(error.size() - replyText.size() - 2);
    QVERIFY2(!curlText.isEmpty() && !curlText.contains(QLatin1Char('\n')), qPrintable(error));
    QVERIFY(!error.contains(smtp.Password));
    QCOMPARE(server.lastAuthUser(), QStringLiteral("alert.sender"));
    QCOMPARE(server.lastAuthPassword(), smtp.Password);
    QCOMPARE(server.mailCount(), 0);
}

void TestSmtp::wrongPasswordIsRefused() {
    TestSmtpServer server;
    QVERIFY(server.isListening());
    TIdSMTP smtp = ClientFor(server);
    server.setCredentials(QStringLiteral("alert.sender"), QStringLiteral("right"));
    smtp.Password = QStringLiteral("wrong");
    const QString error = MailError([&] { smtp.Send(FailureMessage()); });
    QVERIFY2(error.contains(QLatin1String("535 5.7.8 Try again later")), qPrintable(error));
    QCOMPARE(server.lastAuthPassword(), QStringLiteral("wrong"));
    QCOMPARE(server.mailCount(), 0);
}

void TestSmtp::silentServerEndsWithinBound_data() {
    QTest::addColumn<TestSmtpServer::Mode>("mode");
    QTest::newRow("never answers") << TestSmtpServer::Mode::NeverAnswer;
    QTest::newRow("stalls after greeting") << TestSmtpServer::Mode::StallAfterGreeting;
}

void TestSmtp::silentServerEndsWithinBound() {
    QFETCH(TestSmtpServer::Mode, mode);
    TestSmtpServer server;
    QVERIFY(server.isListening());
    server.setMode(mode);
    TIdSMTP smtp = ClientFor(server);
    smtp.ConnectTimeoutMs = 1000;
    smtp.StallTimeoutMs = 1000;

    QElapsedTimer clock;
    clock.start();
    const QString error = MailError([&] { smtp.Send(FailureMessage()); });
    // Generous: it only has to end on its own, well before the default bounds would.
    QVERIFY2(clock.elapsed() < 25000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(!error.startsWith(QLatin1Char('<')), qPrintable(error));
    QCOMPARE(server.connectionCount(), 1);
    QCOMPARE(server.mailCount(), 0);
    if (mode == TestSmtpServer::Mode::StallAfterGreeting)
        QVERIFY2(error.contains(QLatin1String("220 127.0.0.1 ESMTP")), qPrintable(error));
}

void TestSmtp::droppedConnectionFails() {
    TestSmtpServer server;
    QVERIFY(server.isListening());
    server.setMode(TestSmtpServer::Mode::DropDuringData);
    QSignalSpy closed(&server, &TestSmtpServer::connectionClosed);
    TIdSMTP smtp = ClientFor(server);
    const QString error = MailError([&] { smtp.Send(FailureMessage()); });
    QVERIFY2(!error.startsWith(QLatin1Char('<')), qPrintable(error));
    QVERIFY(server.commands().contains(QStringLiteral("DATA")));
    QCOMPARE(server.mailCount(), 0);
    QVERIFY(closed.count() == 1 || closed.wait(10000));
}

void TestSmtp::badSettingsFailBeforeConnecting_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("message");
    QTest::newRow("empty host") << "" << 25 << "No SMTP server given.";
    QTest::newRow("blank host") << "   " << 25 << "No SMTP server given.";
    QTest::newRow("port 0") << "127.0.0.1" << 0 << "Invalid SMTP port 0.";
    QTest::newRow("port too high") << "127.0.0.1" << 65536 << "Invalid SMTP port 65536.";
    QTest::newRow("path in host") << "127.0.0.1/x" << 25 << "Invalid SMTP server [127.0.0.1/x].";
    QTest::newRow("user in host") << "me@127.0.0.1" << 25 << "Invalid SMTP server [me@127.0.0.1].";
    QTest::newRow("line break in host")
        << "127.0.0.1\r\nQUIT" << 25 << "Invalid SMTP server [127.0.0.1  QUIT].";
}

void TestSmtp::badSettingsFailBeforeConnecting() {
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, message);
    TIdSMTP smtp;
    smtp.Host = host;
    smtp.Port = port;
    QCOMPARE(MailError([&] { smtp.Connect(); }), message);
    QCOMPARE(MailError([&] { smtp.Send(FailureMessage()); }), message);
    smtp.Disconnect(); // harmless after a failed connect
}

void TestSmtp::badAddressesFailBeforeConnecting_data() {
    QTest::addColumn<QString>("from");
    QTest::addColumn<QStringList>("recipients");
    QTest::addColumn<QString>("message");
    const QString from = QStringLiteral("Me <me@example.org>");
    QTest::newRow("no recipient") << from << QStringList() << "No recipient address given.";
    QTest::newRow("empty recipient")
        << from << QStringList{QString()} << "No recipient address given.";
    QTest::newRow("empty sender") << "" << QStringList{"a@example.org"}
                                  << "No sender address given.";
    QTest::newRow("command in recipient")
        << from << QStringList{"a@example.org>\r\nRCPT TO:<b@example.org"}
        << "Invalid recipient address [a@example.org>  RCPT TO:<b@example.org].";
    QTest::newRow("blank in sender") << "me @example.org" << QStringList{"a@example.org"}
                                     << "Invalid sender address [me @example.org].";
}

void TestSmtp::badAddressesFailBeforeConnecting() {
    QFETCH(QString, from);
    QFETCH(QStringList, recipients);
    QFETCH(QString, message);
    TestSmtpServer server;
    QVERIFY(server.isListening());
    TIdSMTP smtp = ClientFor(server);
    TIdMessage mail = FailureMessage();
    mail.From = from;
    mail.Recipients = recipients;
    QCOMPARE(MailError([&] { smtp.Send(mail); }), message);
    QCOMPARE(server.connectionCount(), 0);
}

void TestSmtp::refusedConnectionFails_data() {
    QTest::addColumn<QString>("host");
    QTest::newRow("IPv4") << "127.0.0.1";
    QTest::newRow("IPv6 literal") << "::1";
    QTest::newRow("IPv6 literal in brackets") << "[::1]";
}

void TestSmtp::refusedConnectionFails() {
    QFETCH(QString, host);
    const quint16 port = ClosedPort();
    QVERIFY(port != 0);
    TIdSMTP smtp;
    smtp.Host = host;
    smtp.Port = port;
    smtp.ConnectTimeoutMs = 5000;
    smtp.StallTimeoutMs = 5000;
    smtp.Connect();
    const QString error = MailError([&] { smtp.Send(FailureMessage()); });
    smtp.Disconnect();
    QVERIFY2(!error.startsWith(QLatin1Char('<')), qPrintable(error));
    // The address must have been understood: the failure is the connection's, not the URL's.
    QVERIFY2(!error.contains(QLatin1String("URL")), qPrintable(error));
    QVERIFY2(error.contains(QLatin1String("connect"), Qt::CaseInsensitive), qPrintable(error));
}

void TestSmtp::refusedRecipientCarriesItsReply_data() {
    QTest::addColumn<QByteArray>("refusal");
    QTest::addColumn<QString>("replyText");
    QTest::newRow("one line") << QByteArray("550 5.1.1 no such mailbox here\r\n")
                              << QStringLiteral("550 5.1.1 no such mailbox here");
    QTest::newRow("two lines") << QByteArray("550-5.1.1 no such mailbox here\r\n"
                                             "550 5.1.1 check the address\r\n")
                               << QStringLiteral("550-5.1.1 no such mailbox here\r\n"
                                                 "550 5.1.1 check the address");
}

void TestSmtp::refusedRecipientCarriesItsReply() {
    QFETCH(QByteArray, refusal);
    QFETCH(QString, replyText);
    TestSmtpServer server;
    QVERIFY(server.isListening());
    server.setRecipientRefusal(refusal);
    TIdSMTP smtp = ClientFor(server);
    const QString error = MailError([&] { smtp.Send(FailureMessage()); });

    // The reply that refused RCPT, not the one to the QUIT that followed it.
    QVERIFY2(error.endsWith(QLatin1String("\r\n") + replyText), qPrintable(error));
    const QString curlText = error.left(error.size() - replyText.size() - 2);
    QVERIFY2(!curlText.isEmpty() && !curlText.contains(QLatin1Char('\n')), qPrintable(error));
    QVERIFY2(!error.contains(QLatin1String("221")), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(server.commands().endsWith(QStringLiteral("QUIT")), 10000);
    QVERIFY(server.commands().contains(QStringLiteral("RCPT TO:<ops@example.org>")));
    QVERIFY(!server.commands().contains(QStringLiteral("DATA")));
    QCOMPARE(server.mailCount(), 0);
}

void TestSmtp::serverUrlFollowsSecurityAndPort_data() {
    QTest::addColumn<int>("security");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("start");
    QTest::newRow("when offered, 25")
        << 0 << "127.0.0.1" << 25 << QByteArray("smtp://127.0.0.1:25/");
    QTest::newRow("when offered, 587")
        << 0 << "mail.example.org" << 587 << QByteArray("smtp://mail.example.org:587/");
    QTest::newRow("when offered, 465 is SSL/TLS")
        << 0 << "mail.example.org" << 465 << QByteArray("smtps://mail.example.org:465/");
    QTest::newRow("required, 587")
        << 1 << "127.0.0.1" << 587 << QByteArray("smtp://127.0.0.1:587/");
    QTest::newRow("required, 465 stays STARTTLS")
        << 1 << "127.0.0.1" << 465 << QByteArray("smtp://127.0.0.1:465/");
    QTest::newRow("SSL/TLS, 465") << 2 << "127.0.0.1" << 465
                                  << QByteArray("smtps://127.0.0.1:465/");
    QTest::newRow("SSL/TLS, any port") << 2 << "[::1]" << 2525 << QByteArray("smtps://[::1]:2525/");
    QTest::newRow("none, 465 stays plain") << 3 << "::1" << 465 << QByteArray("smtp://[::1]:465/");
    QTest::newRow("none, 25") << 3 << "127.0.0.1" << 25 << QByteArray("smtp://127.0.0.1:25/");
}

void TestSmtp::serverUrlFollowsSecurityAndPort() {
    QFETCH(int, security);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QByteArray, start);
    TIdSMTP smtp;
    smtp.Host = host;
    smtp.Port = port;
    smtp.Security = security;
    const QByteArray url = smtp.ServerUrl();
    QVERIFY2(url.startsWith(start), url.constData());
    // The rest is the EHLO name: one plain host name.
    const QByteArray ehloName = url.mid(start.size());
    QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z0-9.-]+$"))
                 .match(QString::fromLatin1(ehloName))
                 .hasMatch(),
             url.constData());
}

void TestSmtp::invalidSecurityFailsBeforeConnecting() {
    TestSmtpServer server;
    QVERIFY(server.isListening());
    TIdSMTP smtp = ClientFor(server);
    for (const int security : {-1, 4}) {
        smtp.Security = security;
        const QString message = QStringLiteral("Invalid SMTP security setting %1.").arg(security);
        QCOMPARE(MailError([&] { smtp.Connect(); }), message);
        QCOMPARE(MailError([&] { smtp.Send(FailureMessage()); }), message);
    }
    QCOMPARE(server.connectionCount(), 0);
}

void TestSmtp::startTlsProtectsLogOnAndMail_data() {
    QTest::addColumn<int>("security");
    QTest::addColumn<bool>("throughFolder");
    QTest::newRow("when offered, SSL_CERT_FILE") << int(TIdSMTP::StartTlsWhenOffered) << false;
    QTest::newRow("required, SSL_CERT_FILE") << int(TIdSMTP::StartTlsRequired) << false;
    QTest::newRow("when offered, SSL_CERT_DIR") << int(TIdSMTP::StartTlsWhenOffered) << true;
}

void TestSmtp::startTlsProtectsLogOnAndMail() {
    QFETCH(int, security);
    QFETCH(bool, throughFolder);
    REQUIRE_TLS();
    TestSmtpServer server;
    QVERIFY(SetUpTlsServer(server, TestSmtpServer::Tls::StartTls));
    const QString folder = throughFolder ? m_trusted->authorityFolder() : QString();
    QVERIFY(!throughFolder || !folder.isEmpty());
    const TrustedAuthorities trust(throughFolder ? QString() : m_trusted->certificatePath(),
                                   folder);

    TIdSMTP smtp = ClientFor(server);
    smtp.Security = security;
    smtp.AbortFlag = std::make_shared<std::atomic_bool>(false); // present, never set
    QCOMPARE(MailError([&] { smtp.Send(FailureMessage()); }), QStringLiteral("<no exception>"));

    QCOMPARE(server.tlsHandshakes(), 1);
    const QStringList commands = server.commands();
    const QStringList encrypted = server.encryptedCommands();
    // In clear: the greeting's EHLO and STARTTLS, nothing else; then EHLO again over TLS.
    QVERIFY2(commands.size() > 2, qPrintable(commands.join('|')));
    QVERIFY2(commands[0].startsWith(QLatin1String("EHLO ")), qPrintable(commands.join('|')));
    QCOMPARE(commands[1], QStringLiteral("STARTTLS"));
    QCOMPARE(encrypted, commands.mid(2));
    QCOMPARE(encrypted.first(), commands[0]);
    QCOMPARE(
        CommandsOf(encrypted, {QStringLiteral("AUTH"), QStringLiteral("MAIL"),
                               QStringLiteral("RCPT"), QStringLiteral("DATA")}),
        (QStringList{QStringLiteral("AUTH LOGIN"), QStringLiteral("MAIL FROM:<alerts@example.org>"),
                     QStringLiteral("RCPT TO:<ops@example.org>"), QStringLiteral("DATA")}));

    QCOMPARE(server.mailCount(), 1);
    const TestSmtpServer::Mail mail = server.mails().first();
    QVERIFY(mail.encrypted);
    QVERIFY(mail.authenticated);
    QCOMPARE(mail.authUser, smtp.Username);
    QCOMPARE(mail.authPassword, smtp.Password);
    QCOMPARE(mail.mailFrom, QStringLiteral("alerts@example.org"));
    QCOMPARE(mail.recipients, QStringList{QStringLiteral("ops@example.org")});
    QVERIFY(mail.data.endsWith("lone LF\r\nlone CR\r\nno end\r\n"));
    QVERIFY(mail.wireData.contains("\r\n..A line that starts with a dot\r\n"));
}

void TestSmtp::sendsInClearWithoutStartTls_data() {
    QTest::addColumn<int>("security");
    QTest::addColumn<TestSmtpServer::Tls>("serverTls");
    QTest::newRow("when offered, not offered")
        << int(TIdSMTP::StartTlsWhenOffered) << TestSmtpServer::Tls::None;
    QTest::newRow("none, offered") << int(TIdSMTP::NoTls) << TestSmtpServer::Tls::StartTls;
}

void TestSmtp::sendsInClearWithoutStartTls() {
    QFETCH(int, security);
    QFETCH(TestSmtpServer::Tls, serverTls);
    if (serverTls != TestSmtpServer::Tls::None)
        REQUIRE_TLS();
    TestSmtpServer server;
    QVERIFY(server.isListening());
    if (serverTls != TestSmtpServer::Tls::None)
        QVERIFY(SetUpTlsServer(server, serverTls));
    TIdSMTP smtp = ClientFor(server);
    smtp.Security = security;
    QCOMPARE(MailError([&] { smtp.Send(FailureMessage()); }), QStringLiteral("<no exception>"));

    QCOMPARE(server.mailCount(), 1);
    const TestSmtpServer::Mail mail = server.mails().first();
    QVERIFY(!mail.encrypted);
    QVERIFY(mail.authenticated);
    QCOMPARE(mail.authPassword, smtp.Password);
    QCOMPARE(mail.mailFrom, QStringLiteral("alerts@example.org"));
    QCOMPARE(mail.recipients, QStringList{QStringLiteral("ops@example.org")});
    QCOMPARE(server.tlsHandshakes(), 0);
    QVERIFY(server.encryptedCommands().isEmpty());
    QVERIFY2(!server.commands().contains(QStringLiteral("STARTTLS")),
             qPrintable(server.commands().join('|')));
    QCOMPARE(CountStartingWith(server.commands(), QStringLiteral("EHLO ")), 1);
}

void TestSmtp::startTlsRequiredButNotOffered() {
    TestSmtpServer server;
    QVERIFY(server.isListening());
    TIdSMTP smtp = ClientFor(server);
    smtp.Security = TIdSMTP::StartTlsRequired;
    const QString error = MailError([&] { smtp.Send(FailureMessage()); });
    QVERIFY2(error.startsWith(QLatin1String("STARTTLS not supported")), qPrintable(error));
    const QStringList commands = server.commands();
    QCOMPARE(CommandsOf(commands, {QStringLiteral("AUTH"), QStringLiteral("MAIL"),
                                   QStringLiteral("RCPT"), QStringLiteral("STARTTLS")}),
             QStringList());
    QVERIFY(server.lastAuthPassword().isEmpty());
    QCOMPARE(server.mailCount(), 0);
}

void TestSmtp::refusedStartTlsNeverGoesOnInClear_data() {
    QTest::addColumn<int>("security");
    QTest::addColumn<QString>("start");
    QTest::newRow("when offered")
        << int(TIdSMTP::StartTlsWhenOffered)
        << "The server offers STARTTLS but refused to start TLS; nothing was sent unencrypted.";
    QTest::newRow("required") << int(TIdSMTP::StartTlsRequired) << "STARTTLS denied, code 454";
}

void TestSmtp::refusedStartTlsNeverGoesOnInClear() {
    QFETCH(int, security);
    QFETCH(QString, start);
    REQUIRE_TLS();
    TestSmtpServer server;
    QVERIFY(SetUpTlsServer(server, TestSmtpServer::Tls::StartTls));
    server.setMode(TestSmtpServer::Mode::RefuseStartTls);
    QSignalSpy closed(&server, &TestSmtpServer::connectionClosed);
    TIdSMTP smtp = ClientFor(server);
    smtp.Security = security;
    const QString error = MailError([&] { smtp.Send(FailureMessage()); });

    QCOMPARE(error, start + QStringLiteral("\r\n454 4.7.0 TLS not available"));
    QVERIFY(closed.count() == 1 || closed.wait(10000));
    // Nothing after the refusal: neither the log-on nor the envelope.
    const QStringList commands = server.commands();
    QCOMPARE(CommandsOf(commands, {QStringLiteral("AUTH"), QStringLiteral("MAIL"),
                                   QStringLiteral("RCPT"), QStringLiteral("DATA")}),
             QStringList());
    QCOMPARE(commands.mid(1, 1), QStringList{QStringLiteral("STARTTLS")});
    QVERIFY(server.lastAuthUser().isEmpty());
    QVERIFY(server.lastAuthPassword().isEmpty());
    QCOMPARE(server.mailCount(), 0);
}

void TestSmtp::implicitTlsFromFirstByte() {
    REQUIRE_TLS();
    TestSmtpServer server;
    QVERIFY(SetUpTlsServer(server, TestSmtpServer::Tls::Implicit));
    const TrustedAuthorities trust(m_trusted->certificatePath());
    TIdSMTP smtp = ClientFor(server);
    smtp.Security = TIdSMTP::ImplicitTls;
    QCOMPARE(MailError([&] { smtp.Send(FailureMessage()); }), QStringLiteral("<no exception>"));

    QCOMPARE(server.tlsHandshakes(), 1);
    QCOMPARE(server.mailCount(), 1);
    const TestSmtpServer::Mail mail = server.mails().first();
    QVERIFY(mail.encrypted);
    QCOMPARE(mail.authPassword, smtp.Password);
    QCOMPARE(mail.mailFrom, QStringLiteral("alerts@example.org"));
    QCOMPARE(mail.recipients, QStringList{QStringLiteral("ops@example.org")});
    QTRY_VERIFY_WITH_TIMEOUT(server.commands().endsWith(QStringLiteral("QUIT")), 10000);
    // Every command went over TLS, and STARTTLS was not offered nor asked for.
    QCOMPARE(server.encryptedCommands(), server.commands());
    QVERIFY(!server.commands().contains(QStringLiteral("STARTTLS")));
}

void TestSmtp::implicitTlsAgainstPlainServerFails() {
    TestSmtpServer server;
    QVERIFY(server.isListening());
    const TrustedAuthorities trust(m_trusted ? m_trusted->certificatePath() : QString());
    TIdSMTP smtp = ClientFor(server);
    smtp.Security = TIdSMTP::ImplicitTls;
    smtp.ConnectTimeoutMs = 5000;
    const QString error = MailError([&] { smtp.Send(FailureMessage()); });
    QVERIFY2(!error.startsWith(QLatin1Char('<')) && !error.isEmpty(), qPrintable(error));
    QCOMPARE(server.connectionCount(), 1);
    QVERIFY(server.lastAuthPassword().isEmpty());
    QCOMPARE(server.mailCount(), 0);
}

void TestSmtp::unverifiedServerNeverSeesPassword_data() {
    QTest::addColumn<int>("security");
    QTest::addColumn<TestSmtpServer::Tls>("serverTls");
    // "stranger": only another authority trusted; "system": the system's authorities;
    // "wrong name": a trusted certificate for another host.
    QTest::addColumn<QString>("authority");
    QTest::addColumn<QString>("problem");
    for (const QString &authority : {QStringLiteral("stranger"), QStringLiteral("system")}) {
        // Without the system's bundle installed, curl names the missing file instead.
        const QString problem = authority == QLatin1String("stranger")
                                    ? QStringLiteral("SSL certificate problem")
                                    : QStringLiteral("certificate");
        QTest::addRow("when offered, %s", qPrintable(authority))
            << int(TIdSMTP::StartTlsWhenOffered) << TestSmtpServer::Tls::StartTls << authority
            << problem;
        QTest::addRow("required, %s", qPrintable(authority))
            << int(TIdSMTP::StartTlsRequired) << TestSmtpServer::Tls::StartTls << authority
            << problem;
        QTest::addRow("SSL/TLS, %s", qPrintable(authority))
            << int(TIdSMTP::ImplicitTls) << TestSmtpServer::Tls::Implicit << authority << problem;
    }
    QTest::newRow("when offered, name not the host's")
        << int(TIdSMTP::StartTlsWhenOffered) << TestSmtpServer::Tls::StartTls << "wrong name"
        << "127.0.0.1";
    QTest::newRow("SSL/TLS, name not the host's")
        << int(TIdSMTP::ImplicitTls) << TestSmtpServer::Tls::Implicit << "wrong name"
        << "127.0.0.1";
}

void TestSmtp::unverifiedServerNeverSeesPassword() {
    QFETCH(int, security);
    QFETCH(TestSmtpServer::Tls, serverTls);
    QFETCH(QString, authority);
    QFETCH(QString, problem);
    REQUIRE_TLS();
    QVERIFY2(m_stranger->isValid() && m_wrongName->isValid(), "certificates not made");
    TestSmtpServer server;
    QVERIFY(SetUpTlsServer(server, serverTls));
    std::unique_ptr<TrustedAuthorities> trust;
    if (authority == QLatin1String("stranger")) {
        trust = std::make_unique<TrustedAuthorities>(m_stranger->certificatePath());
    } else if (authority == QLatin1String("wrong name")) {
        // A trusted certificate that names another host.
        QVERIFY(server.setCertificateFiles(m_wrongName->certificatePath(), m_wrongName->keyPath()));
        trust = std::make_unique<TrustedAuthorities>(m_wrongName->certificatePath());
    } else {
        trust = std::make_unique<TrustedAuthorities>(QString()); // the system's authorities
    }
    TIdSMTP smtp = ClientFor(server);
    smtp.Security = security;
    const QString error = MailError([&] { smtp.Send(FailureMessage()); });

    QVERIFY2(error.contains(problem), qPrintable(error));
    // The reason is the certificate's; the server's go-ahead for STARTTLS is no reason.
    QVERIFY2(!error.contains(QLatin1String("\r\n220")), qPrintable(error));
    if (authority == QLatin1String("wrong name"))
        QVERIFY2(error.contains(QLatin1String("name")), qPrintable(error));
    // One connection, given up at the handshake (the name is checked just after it): no second
    // try in clear, no log-on at all.
    QCOMPARE(server.connectionCount(), 1);
    if (authority != QLatin1String("wrong name"))
        QCOMPARE(server.tlsHandshakes(), 0);
    QVERIFY(server.encryptedCommands().isEmpty());
    QCOMPARE(CommandsOf(server.commands(), {QStringLiteral("AUTH"), QStringLiteral("MAIL")}),
             QStringList());
    QVERIFY(server.lastAuthPassword().isEmpty());
    QCOMPARE(server.mailCount(), 0);
}

void TestSmtp::droppedTlsHandshakeFails_data() {
    QTest::addColumn<int>("security");
    QTest::addColumn<TestSmtpServer::Tls>("serverTls");
    QTest::newRow("STARTTLS when offered")
        << int(TIdSMTP::StartTlsWhenOffered) << TestSmtpServer::Tls::StartTls;
    QTest::newRow("STARTTLS required")
        << int(TIdSMTP::StartTlsRequired) << TestSmtpServer::Tls::StartTls;
    QTest::newRow("SSL/TLS") << int(TIdSMTP::ImplicitTls) << TestSmtpServer::Tls::Implicit;
}

void TestSmtp::droppedTlsHandshakeFails() {
    QFETCH(int, security);
    QFETCH(TestSmtpServer::Tls, serverTls);
    REQUIRE_TLS();
    TestSmtpServer server;
    QVERIFY(SetUpTlsServer(server, serverTls));
    server.setMode(TestSmtpServer::Mode::DropDuringTlsHandshake);
    const TrustedAuthorities trust(m_trusted->certificatePath());
    TIdSMTP smtp = ClientFor(server);
    smtp.Security = security;
    QElapsedTimer clock;
    clock.start();
    const QString error = MailError([&] { smtp.Send(FailureMessage()); });

    QVERIFY2(error.contains(QLatin1String("SSL"), Qt::CaseInsensitive) ||
                 error.contains(QLatin1String("TLS")),
             qPrintable(error));
    QVERIFY2(!error.startsWith(QLatin1Char('<')), qPrintable(error));
    // Over at once: the failure is not waited out on a time-out.
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(server.connectionCount(), 1);
    QCOMPARE(server.tlsHandshakes(), 0);
    QVERIFY(server.lastAuthPassword().isEmpty());
    QCOMPARE(CommandsOf(server.commands(), {QStringLiteral("AUTH"), QStringLiteral("MAIL")}),
             QStringList());
    QCOMPARE(server.mailCount(), 0);
}

void TestSmtp::abortFromAnotherThread_data() {
    QTest::addColumn<TestSmtpServer::Mode>("mode");
    QTest::addColumn<TestSmtpServer::Tls>("serverTls");
    QTest::newRow("never answers")
        << TestSmtpServer::Mode::NeverAnswer << TestSmtpServer::Tls::None;
    QTest::newRow("stalls after greeting")
        << TestSmtpServer::Mode::StallAfterGreeting << TestSmtpServer::Tls::None;
    QTest::newRow("stalls after greeting over TLS")
        << TestSmtpServer::Mode::StallAfterGreeting << TestSmtpServer::Tls::Implicit;
}

void TestSmtp::abortFromAnotherThread() {
    QFETCH(TestSmtpServer::Mode, mode);
    QFETCH(TestSmtpServer::Tls, serverTls);
    if (serverTls != TestSmtpServer::Tls::None)
        REQUIRE_TLS();
    TestSmtpServer server;
    QVERIFY(server.isListening());
    if (serverTls != TestSmtpServer::Tls::None)
        QVERIFY(SetUpTlsServer(server, serverTls));
    server.setMode(mode);
    const TrustedAuthorities trust(m_trusted ? m_trusted->certificatePath() : QString());
    QSignalSpy accepted(&server, &TestSmtpServer::connectionAccepted);
    QSignalSpy closed(&server, &TestSmtpServer::connectionClosed);

    TIdSMTP smtp = ClientFor(server);
    smtp.Security = serverTls == TestSmtpServer::Tls::None ? int(TIdSMTP::StartTlsWhenOffered)
                                                           : int(TIdSMTP::ImplicitTls);
    // Bounds far beyond the test's: only the abort can end the exchange in time.
    smtp.ConnectTimeoutMs = 60000;
    smtp.StallTimeoutMs = 60000;
    const auto abort = std::make_shared<std::atomic_bool>(false);
    smtp.AbortFlag = abort;
    QString error = QStringLiteral("<not finished>");
    std::unique_ptr<QThread> worker(
        QThread::create([&] { error = MailError([&] { smtp.Send(FailureMessage()); }); }));
    QSignalSpy finished(worker.get(), &QThread::finished);
    worker->start();

    QVERIFY(accepted.count() == 1 || accepted.wait(10000));
    if (serverTls != TestSmtpServer::Tls::None)
        QTRY_COMPARE_WITH_TIMEOUT(server.tlsHandshakes(), 1, 10000);
    QVERIFY(worker->isRunning()); // the server is silent: nothing has ended it yet
    QElapsedTimer clock;
    clock.start();
    abort->store(true);
    QVERIFY(finished.count() == 1 || finished.wait(10000));
    const qint64 elapsed = clock.elapsed();
    QVERIFY(worker->wait(10000));

    QCOMPARE(error, QStringLiteral("aborted"));
    QVERIFY2(elapsed < 2500, qPrintable(QString::number(elapsed)));
    QVERIFY(closed.count() == 1 || closed.wait(10000));
    QCOMPARE(server.connectionCount(), 1);
    QCOMPARE(server.mailCount(), 0);
}

void TestSmtp::abortWhileConnecting() {
    FullListener listener;
    QVERIFY(listener.port() != 0);
    TIdSMTP smtp;
    smtp.Host = QStringLiteral("127.0.0.1");
    smtp.Port = listener.port();
    smtp.ConnectTimeoutMs = 60000;
    const auto abort = std::make_shared<std::atomic_bool>(false);
    smtp.AbortFlag = abort;
    QString error = QStringLiteral("<not finished>");
    std::unique_ptr<QThread> worker(
        QThread::create([&] { error = MailError([&] { smtp.Send(FailureMessage()); }); }));
    QSignalSpy finished(worker.get(), &QThread::finished);
    worker->start();

    QTRY_VERIFY_WITH_TIMEOUT(ConnectPending(listener.port()), 10000);
    QVERIFY(worker->isRunning());
    QElapsedTimer clock;
    clock.start();
    abort->store(true);
    QVERIFY(finished.count() == 1 || finished.wait(10000));
    const qint64 elapsed = clock.elapsed();
    QVERIFY(worker->wait(10000));
    QCOMPARE(error, QStringLiteral("aborted"));
    QVERIFY2(elapsed < 2500, qPrintable(QString::number(elapsed)));
    QVERIFY(!ConnectPending(listener.port()));
}

void TestSmtp::abortBeforeSendConnectsNothing() {
    TestSmtpServer server;
    QVERIFY(server.isListening());
    TIdSMTP smtp = ClientFor(server);
    smtp.AbortFlag = std::make_shared<std::atomic_bool>(true);
    QCOMPARE(MailError([&] { smtp.Send(FailureMessage()); }), QStringLiteral("aborted"));
    // The same client with its flag cleared sends as usual.
    smtp.AbortFlag->store(false);
    smtp.Send(FailureMessage());
    QCOMPARE(server.connectionCount(), 1);
    QCOMPARE(server.mailCount(), 1);
}

QTEST_GUILESS_MAIN(TestSmtp)
#include "test_smtp.moc"
