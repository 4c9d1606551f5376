#include "platform/Smtp.h"
#include "support/Exceptions.h"
#include "support/TestSmtpServer.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTimeZone>
#include <QtTest>

#include <functional>

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

} // namespace

class TestSmtp : public QObject {
    Q_OBJECT

private slots:
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
};

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

QTEST_GUILESS_MAIN(TestSmtp)
#include "test_smtp.moc"
