// The ping engine of the main window against loopback servers and a table resolver: the
// exchange, its log lines and status display, retries, failure alerts, the failure e-mail,
// the error ping and cancelling.

#include "support/EngineProbe.h"
#include "support/TestCertificate.h"
#include "support/TestHelpers.h"
#include "support/TestNginx.h"
#include "support/TestSmtpServer.h"
#include "support/TestTcpServer.h"
#include "support/gui/PingWindowFixture.h"

#include <QAction>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>

namespace {

QString Port(int port) { return QString::number(port); }

QString ErrorLine(const QString &host, int port, const QString &text, int code) {
    return FailureBar + QStringLiteral("\r\n[{STAMP}] Error connecting to [") + host +
           QStringLiteral("] (port ") + Port(port) + QStringLiteral("): ") + text +
           QStringLiteral(" (") + QString::number(code) + QStringLiteral(").\r\n\r\n\r\n");
}

QString HttpsLine(const QString &address, int port) {
    return SuccessBar + QStringLiteral("\r\n[{STAMP}] Connection to [") + address +
           QStringLiteral("] (port ") + Port(port) +
           QStringLiteral(") completed in {SECS} seconds.\r\n\r\n\r\n");
}

QString HttpLine(const QString &address, int port) {
    return SuccessBar + QStringLiteral("\r\n[{STAMP}] Connection to [") + address +
           QStringLiteral("] (port ") + Port(port) +
           QStringLiteral(") completed in {SECS} seconds.\r\n\r\n");
}

} // namespace

class TestPing : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void emptyBoxIsRefused();
    void addressIsNormalisedAndMovedToTop();
    void rejectedSchemeWarnsAfterSettingThePort();

    void httpPing_data();
    void httpPing();
    void resultIsHeldThenIdleReturns();
    void httpsPingOnlyConnects();
    void equalPortsTakeTheConnectOnlyPath();
    void tlsChecksInTheWindow();
    void answerInTwoPartsGivesOneCompletion();
    void notificationSettings();
    void elapsedTimeCoversTheServerDelay();

    void refusedPortRetriesThenAlertsMailsAndPingsErrorAddress();
    void smtpRefusingLogOnGivesOneLogLine();
    void silentSmtpServerEndsWithinBound_data();
    void silentSmtpServerEndsWithinBound();
    void lookupFailureRetriesForReal();
    void retryPausesForRealAndTimeExcludesPause();
    void addressNotAvailableAfterLookupIsNotCounted();
    void emptyHostFailsThroughErrorHandler();
    void failingErrorPingStartsNoSeries();
    void rejectedErrorPingAddressEndsFailureHandling();
    void sendAndReceiveErrorsTakeTheFailurePath();
    void pingStartedBeforeRetryIsNotDoubled();
    void errorPingAfterDisconnectErrorOfOpenConnection();
    void receiveErrorDuringReadIsNoCompletion();
    void recoveryFollowsTheCompletion_data();
    void recoveryFollowsTheCompletion();

    void cancelDuringLookup();
    void cancelDuringSilentServer();
    void cancelDuringThePauseEndsAtOnce();
    void errorAfterCancelLogsNothing();
    void cancelDuringTheMailLeavesAborted();

private:
    void SetMail(const TestSmtpServer &smtp);
    std::unique_ptr<PingWindowFixture> fx;
    TfMain_Vennatro *w = nullptr;
    const MainWindowParts *ui = nullptr;
};

void TestPing::init() {
    fx = std::make_unique<PingWindowFixture>();
    w = fx->w;
    ui = &fx->ui;
}

void TestPing::cleanup() {
    fx.reset();
    w = nullptr;
    ui = nullptr;
}

void TestPing::SetMail(const TestSmtpServer &smtp) {
    Options.SendEmailOnError = true;
    Options.SMTPServer = QStringLiteral("127.0.0.1");
    Options.SMTPPort = smtp.port();
    Options.SMTPUser = QStringLiteral("user");
    Options.SMTPPassword = QStringLiteral("secret");
    Options.FromAddress = QStringLiteral("Vennatro Monitor <monitor@example.test>");
    Options.ErrorEmailAddress = QStringLiteral("Ops <ops@example.test>");
    w->ApplySettings();
}

// ---- address and "Ping now" ----

void TestPing::emptyBoxIsRefused() {
    ui->cmbAddress->setEditText(QString());
    w->ApplySettings();
    ui->actPing->trigger();
    QCOMPARE(fx->messages.size(), 1);
    QCOMPARE(fx->messages[0].text, QStringLiteral("No address specified."));
    QCOMPARE(fx->messages[0].caption, QStringLiteral("Warning"));
    QCOMPARE(fx->messages[0].icon, MessageIcon::Warning);
    QCOMPARE(fx->resolver.requestCount(), 0);
    QVERIFY(!w->Session->Engine()->Busy());
    QCOMPARE(w->StatusImageIndex, 1);
    QCOMPARE(ui->cmbAddress->count(), 0);
    QVERIFY(fx->NewLog().isEmpty());
}

void TestPing::addressIsNormalisedAndMovedToTop() {
    Options.HTTPPort = 8080;
    Options.HTTPSPort = 4443;
    ui->cmbAddress->addItems({QStringLiteral("http://a.test/"), QStringLiteral("HTTPS://WEB.TEST/"),
                              QStringLiteral("http://b.test/")});

    ui->cmbAddress->setEditText(QStringLiteral("\t HTTPS://Web.test \r\n"));
    w->ApplySettings();
    QVERIFY(w->ValidateAddress());
    QCOMPARE(ui->cmbAddress->currentText(), QStringLiteral("HTTPS://Web.test/"));
    QCOMPARE(EngineProbe(w->Session->Engine()).TargetAddress(),
             QStringLiteral("HTTPS://Web.test/"));
    QCOMPARE(EngineProbe(w->Session->Engine()).TargetHost(), QStringLiteral("Web.test"));
    QCOMPARE(EngineProbe(w->Session->Engine()).TargetPath(), QStringLiteral("/"));
    QCOMPARE(EngineProbe(w->Session->Engine()).ClientSocket()->Port(), 4443);
    // The entry that differs only in case is replaced by the box text at the top.
    QCOMPARE(Items(ui->cmbAddress),
             (QStringList{"HTTPS://Web.test/", "http://a.test/", "http://b.test/"}));

    ui->cmbAddress->setEditText(QStringLiteral("  b.test/x/y?q=1 "));
    w->ApplySettings();
    QVERIFY(w->ValidateAddress());
    QCOMPARE(ui->cmbAddress->currentText(), QStringLiteral("http://b.test/x/y?q=1"));
    QCOMPARE(EngineProbe(w->Session->Engine()).TargetHost(), QStringLiteral("b.test"));
    QCOMPARE(EngineProbe(w->Session->Engine()).TargetPath(), QStringLiteral("/x/y?q=1"));
    QCOMPARE(EngineProbe(w->Session->Engine()).ClientSocket()->Port(), 8080);
    QCOMPARE(Items(ui->cmbAddress), (QStringList{"http://b.test/x/y?q=1", "HTTPS://Web.test/",
                                                 "http://a.test/", "http://b.test/"}));
    QVERIFY(fx->messages.isEmpty());
}

void TestPing::rejectedSchemeWarnsAfterSettingThePort() {
    Options.HTTPPort = 8080;
    ui->cmbAddress->setEditText(QStringLiteral("web.test"));
    w->ApplySettings();
    QVERIFY(w->ValidateAddress());
    EngineProbe(w->Session->Engine()).ClientSocket()->SetPort(1);

    ui->cmbAddress->setEditText(QStringLiteral(" ftp://files.test/pub "));
    w->ApplySettings();
    w->actPingExecute();
    QCOMPARE(fx->messages.size(), 1);
    QCOMPARE(fx->messages[0].text, QStringLiteral("Only HTTP and HTTPS protocols are supported."));
    QCOMPARE(fx->messages[0].caption, w->windowTitle());
    QCOMPARE(fx->messages[0].caption, QStringLiteral("Vennatro"));
    QCOMPARE(fx->messages[0].icon, MessageIcon::Warning);
    QCOMPARE(EngineProbe(w->Session->Engine()).ClientSocket()->Port(), 8080);
    QCOMPARE(ui->cmbAddress->currentText(), QStringLiteral("ftp://files.test/pub"));
    QCOMPARE(EngineProbe(w->Session->Engine()).TargetAddress(), QStringLiteral("http://web.test/"));
    QCOMPARE(EngineProbe(w->Session->Engine()).TargetHost(), QStringLiteral("web.test"));
    QCOMPARE(Items(ui->cmbAddress), QStringList{"http://web.test/"});
    QCOMPARE(fx->resolver.requestCount(), 0);
    QVERIFY(!w->Session->Engine()->Busy());
}

// ---- the exchange ----

void TestPing::httpPing_data() {
    QTest::addColumn<bool>("headers");
    QTest::newRow("headers off") << false;
    QTest::newRow("headers on") << true;
}

void TestPing::httpPing() {
    QFETCH(bool, headers);
    TestTcpServer http;
    QVERIFY(http.listen());
    const QByteArray answer = "HTTP/1.0 200 OK\r\nServer: test\r\n\r\n";
    http.setScript(TestTcpServer::Script::answer({answer}));
    Options.HTTPPort = http.port();
    Options.PingAttempts = 3;
    Options.LogHTTPHeaders = headers;

    fx->Ping(QStringLiteral(" web.test/index.html "));

    // Under way: the socket is looking up the host.
    const QString pinging = QStringLiteral("Pinging http://web.test/index.html (1 of 3 attempts)");
    QCOMPARE(ui->cmbAddress->currentText(), QStringLiteral("http://web.test/index.html"));
    QVERIFY(w->Session->Engine()->Busy());
    QCOMPARE(EngineProbe(w->Session->Engine()).PingOutcome(), poPending);
    QCOMPARE(EngineProbe(w->Session->Engine()).AttemptCount(), 1u);
    QCOMPARE(w->StatusImageIndex, 0);
    QCOMPARE(w->StatusHint(), pinging);
    QCOMPARE(w->StatusText(), pinging + QStringLiteral(" ..."));
    QCOMPARE(w->NotifyIcon->ToolTip(), QStringLiteral("Vennatro\r") + pinging + " ...");
    QVERIFY(!ui->actPing->isEnabled());
    QVERIFY(!ui->actAutoPing->isEnabled());
    QVERIFY(ui->actCancel->isEnabled());
    QCOMPARE(EngineProbe(w->Session->Engine()).ClientSocket()->Host(), QStringLiteral("web.test"));
    QVERIFY(fx->pauses.isEmpty());

    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle(), Patience);

    QCOMPARE(http.connectionCount(), 1);
    QVERIFY(w->UserAgent.startsWith(QLatin1String("Vennatro/")));
    QCOMPARE(http.received(0), "HEAD /index.html HTTP/1.0\r\nHost: web.test\r\nConnection: "
                               "close\r\nUser-Agent: " +
                                   w->UserAgent.toUtf8() + "\r\n\r\n");

    const QString expected =
        HttpLine(QStringLiteral("http://web.test/index.html"), http.port()) +
        (headers ? QStringLiteral("Headers received from the server:\r\n\r\n") +
                       QString::fromLatin1(answer) + QStringLiteral("\r\n")
                 : QStringLiteral("\r\n"));
    QVERIFY2(fx->Matches(fx->NewLog(), expected), PingWindowFixture::Visible(fx->NewLog()));
    QCOMPARE(PingWindowFixture::Seconds(fx->NewLog()).size(), 1);
    QVERIFY(PingWindowFixture::Seconds(fx->NewLog())[0] < 10.0);

    const QString completed =
        QStringLiteral("Connection to [http://web.test/index.html] completed.");
    QCOMPARE(EngineProbe(w->Session->Engine()).PingOutcome(), poSucceeded);
    QCOMPARE(w->StatusImageIndex, 2);
    QCOMPARE(w->StatusHint(), completed);
    QCOMPARE(w->StatusText(), completed);
    QVERIFY(w->TimerNotification->isActive());
    QVERIFY(ui->actPing->isEnabled());
    QVERIFY(ui->actAutoPing->isEnabled());
    QVERIFY(!ui->actCancel->isEnabled());

    const auto balloons = fx->shell->Balloons();
    QCOMPARE(balloons.size(), 2);
    QCOMPARE(balloons[0].text, QString());
    QCOMPARE(balloons[0].title, QString());
    QCOMPARE(balloons[0].iconKind, 0);
    QCOMPARE(balloons[1].text, completed + QStringLiteral("\rResponse: HTTP/1.0 200 OK"));
    QCOMPARE(balloons[1].title, QStringLiteral("Ping OK"));
    QCOMPARE(balloons[1].iconKind, 1);
    QCOMPARE(balloons[1].timeoutMs, 0);
}

void TestPing::resultIsHeldThenIdleReturns() {
    TestTcpServer http;
    QVERIFY(http.listen());
    http.setScript(TestTcpServer::Script::answer({"HTTP/1.0 404 Not Found\r\n\r\n"}));
    Options.HTTPPort = http.port();
    fx->Ping(QStringLiteral("web.test"));
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle(), Patience);
    QElapsedTimer held;
    held.start();
    QCOMPARE(w->TimerNotification->interval(), 2500);
    // A 404 is a completed ping like any other answer.
    QCOMPARE(w->StatusText(), QStringLiteral("Connection to [http://web.test/] completed."));
    QCOMPARE(w->NotifyIcon->ToolTip(),
             QStringLiteral("Vennatro\rPinging http://web.test/ (1 of 1 attempts) ..."));

    QTRY_COMPARE_WITH_TIMEOUT(w->StatusHint(), QStringLiteral("Inactive"), Patience);
    QVERIFY2(held.elapsed() >= 2000, QByteArray::number(held.elapsed()));
    QVERIFY(!w->TimerNotification->isActive());
    QCOMPARE(w->StatusImageIndex, 1);
    QCOMPARE(w->StatusText(), QString());
    // The icon's tool-tip keeps the result and its time until the next ping, below its title.
    const QRegularExpression tip(QStringLiteral(
        "^Vennatro\\rhttp://web\\.test/: completed in 0\\.\\d{3} s at \\d\\d:\\d\\d$"));
    QVERIFY2(tip.match(w->NotifyIcon->ShownToolTip()).hasMatch(),
             qPrintable(w->NotifyIcon->ShownToolTip()));
    QCOMPARE(w->NotifyIcon->ToolTip(), QStringLiteral("Vennatro"));
    // The last result stays in sight in the status bar too.
    auto *last = Find<QLabel>(w, "StatusLastPanel");
    QVERIFY(last);
    QVERIFY2(
        QRegularExpression(QStringLiteral("^Last: completed in 0\\.\\d{3} s at \\d\\d:\\d\\d$"))
            .match(last->text())
            .hasMatch(),
        qPrintable(last->text()));
}

void TestPing::httpsPingOnlyConnects() {
    TestTcpServer https;
    QVERIFY(https.listen());
    https.setScript(TestTcpServer::Script::neverAnswer());
    Options.HTTPSPort = https.port();
    Options.PingAttempts = 2;

    fx->Ping(QStringLiteral("https://web.test"));
    QCOMPARE(ui->cmbAddress->currentText(), QStringLiteral("https://web.test/"));
    QCOMPARE(EngineProbe(w->Session->Engine()).ClientSocket()->Port(), int(https.port()));
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle(), Patience);
    QTRY_VERIFY_WITH_TIMEOUT(https.isClientClosed(0), Patience);

    QCOMPARE(https.connectionCount(), 1);
    QCOMPARE(https.received(0), QByteArray());
    QVERIFY2(
        fx->Matches(fx->NewLog(), HttpsLine(QStringLiteral("https://web.test/"), https.port())),
        PingWindowFixture::Visible(fx->NewLog()));
    QCOMPARE(EngineProbe(w->Session->Engine()).PingOutcome(), poSucceeded);
    QCOMPARE(w->StatusImageIndex, 2);
    QCOMPARE(w->StatusText(), QStringLiteral("Connection to [https://web.test/] completed."));
    QCOMPARE(fx->shell->Balloons().size(), 2);
    QCOMPARE(fx->shell->Balloons()[0].text, QString());
    QCOMPARE(fx->Balloons().last(),
             QStringLiteral("Ping OK|1|Connection to [https://web.test/] completed."));
    // The close of the completed connection counts as nothing else.
    QCOMPARE(EngineProbe(w->Session->Engine()).AttemptCount(), 1u);
    QVERIFY(fx->pauses.isEmpty());
}

void TestPing::tlsChecksInTheWindow() {
    if (!TestNginx::available())
        QSKIP("nginx is not installed (Debian: nginx)");
    TestAuthority authority;
    QVERIFY2(authority.isValid(), qPrintable(authority.error()));
    TestAuthority::Request soon;
    soon.dnsNames = QStringList{QStringLiteral("web.test")};
    soon.validToSeconds = 5 * 24 * 3600 + 3600;
    TestAuthority::Request expired = soon;
    expired.validFromSeconds = -10 * 24 * 3600;
    expired.validToSeconds = -3600;
    const TestAuthority::Files soonFiles = authority.issue(QStringLiteral("soon"), soon);
    const TestAuthority::Files oldFiles = authority.issue(QStringLiteral("old"), expired);
    QVERIFY2(!soonFiles.key.isEmpty() && !oldFiles.key.isEmpty(), qPrintable(authority.error()));
    TestNginx nginx;
    const int soonSite = nginx.addTls(soonFiles.certificate, soonFiles.key);
    const int oldSite = nginx.addTls(oldFiles.certificate, oldFiles.key);
    QString error;
    QVERIFY2(nginx.start(&error), qPrintable(error));
    ScopedEnv trust("SSL_CERT_FILE", authority.certificatePath().toUtf8());
    Options.CheckTLS = true;
    Options.PingAttempts = 1;

    // The name of the address is checked against the certificate (web.test, by the table
    // resolver); the warning of its expiry comes after the completion, as a notification.
    const QString soonAddress =
        QStringLiteral("https://web.test:%1/status/200").arg(nginx.port(soonSite));
    fx->Ping(soonAddress);
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle() && w->StatusImageIndex == 2, Patience);
    QVERIFY2(fx->NewLog().contains(QStringLiteral("Certificate of [") + soonAddress +
                                   QStringLiteral("] expires in 5 days (")),
             PingWindowFixture::Visible(fx->NewLog()));
    QVERIFY2(
        fx->Balloons().last().startsWith(QStringLiteral("Certificate expiry|2|Certificate of [") +
                                         soonAddress + QStringLiteral("] expires in 5 days (")),
        qPrintable(fx->Balloons().join('\n')));

    // An expired certificate fails the ping: red, with the reason.
    fx->Mark();
    const QString oldAddress = QStringLiteral("https://web.test:%1/").arg(nginx.port(oldSite));
    fx->Ping(oldAddress);
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle() && w->StatusImageIndex == 3, Patience);
    QVERIFY2(fx->NewLog().contains(QStringLiteral("] Error connecting to [web.test] (port %1): "
                                                  "Certificate has expired (0).")
                                       .arg(nginx.port(oldSite))),
             PingWindowFixture::Visible(fx->NewLog()));
    QCOMPARE(fx->Balloons().last(),
             QStringLiteral("Connection error|3|Connection to [") + oldAddress +
                 QStringLiteral("] failed.\rError: Certificate has expired"));
    Options.CheckTLS = false;
}

void TestPing::equalPortsTakeTheConnectOnlyPath() {
    TestTcpServer server;
    QVERIFY(server.listen());
    server.setScript(TestTcpServer::Script::neverAnswer());
    Options.HTTPPort = server.port();
    Options.HTTPSPort = server.port();

    fx->Ping(QStringLiteral("http://web.test/page"));
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle(), Patience);
    QTRY_VERIFY_WITH_TIMEOUT(server.isClientClosed(0), Patience);
    QCOMPARE(server.received(0), QByteArray());
    QVERIFY2(
        fx->Matches(fx->NewLog(), HttpsLine(QStringLiteral("http://web.test/page"), server.port())),
        PingWindowFixture::Visible(fx->NewLog()));
}

void TestPing::answerInTwoPartsGivesOneCompletion() {
    TestTcpServer http;
    QVERIFY(http.listen());
    TestTcpServer::Script script =
        TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n", "Server: split\r\n\r\n"});
    script.manualChunks = true;
    http.setScript(script);
    Options.HTTPPort = http.port();
    Options.LogHTTPHeaders = true;
    // The second part goes out only once the first has been read, so each is its own read.
    const TSocketNotifyEvent read = EngineProbe(w->Session->Engine()).ClientSocket()->OnRead;
    EngineProbe(w->Session->Engine()).ClientSocket()->OnRead = [&](QObject *sender,
                                                                   TCustomWinSocket *socket) {
        read(sender, socket);
        http.sendNextChunk(0);
    };

    fx->Ping(QStringLiteral("web.test"));
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle(), Patience);

    // The headers are logged once, whole, with the time of the first bytes.
    const QString line = HttpLine(QStringLiteral("http://web.test/"), http.port());
    const QString expected = line + QStringLiteral("Headers received from the server:\r\n\r\n"
                                                   "HTTP/1.0 200 OK\r\nServer: split\r\n\r\n"
                                                   "\r\n");
    QVERIFY2(fx->Matches(fx->NewLog(), expected), PingWindowFixture::Visible(fx->NewLog()));
    QCOMPARE(fx->Balloons(),
             (QStringList{"|0|", "Ping OK|1|Connection to [http://web.test/] completed.\rResponse: "
                                 "HTTP/1.0 200 OK"}));
    QCOMPARE(w->StatusImageIndex, 2);
}

void TestPing::notificationSettings() {
    TestTcpServer http;
    QVERIFY(http.listen());
    http.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"}));
    TestTcpServer silent;
    QVERIFY(silent.listen());
    silent.setScript(TestTcpServer::Script::neverAnswer());
    Options.HTTPPort = http.port();
    Options.HTTPSPort = silent.port();

    // Only error notifications: a success shows nothing, a cancel still shows its balloon.
    Options.ShowOnlyErrorNotifications = true;
    fx->Ping(QStringLiteral("web.test"));
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle(), Patience);
    QCOMPARE(PingWindowFixture::Seconds(fx->NewLog()).size(), 1);
    QVERIFY(fx->shell->Balloons().isEmpty());
    // HTTPS to a server that accepts: cancel while connecting or connected.
    fx->Ping(QStringLiteral("https://web.test/"));
    w->actCancelExecute();
    QCOMPARE(fx->Balloons(), (QStringList{"|0|", "Connection cancelled|2|Connection to "
                                                 "[https://web.test/] aborted."}));

    // Notifications off: neither success nor cancel nor failure shows a balloon.
    fx->Mark();
    Options.ShowNotifications = false;
    Options.ShowOnlyErrorNotifications = false;
    fx->Ping(QStringLiteral("web.test"));
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle(), Patience);
    fx->Ping(QStringLiteral("https://web.test/"));
    w->actCancelExecute();
    w->TimerNotificationTimer(); // the result's hold ends
    QVERIFY2(w->NotifyIcon->ShownToolTip().startsWith(
                 QLatin1String("Vennatro\rhttps://web.test/: cancelled at ")),
             qPrintable(w->NotifyIcon->ShownToolTip()));
    Options.HTTPPort = TestTcpServer::closedPort();
    fx->Ping(QStringLiteral("web.test"));
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle() && w->StatusImageIndex == 3, Patience);
    w->TimerNotificationTimer();
    QVERIFY2(w->NotifyIcon->ShownToolTip().startsWith(
                 QLatin1String("Vennatro\rhttp://web.test/: failed (Connection refused) at ")),
             qPrintable(w->NotifyIcon->ShownToolTip()));
    QVERIFY(fx->shell->Balloons().isEmpty());
    QCOMPARE(PingWindowFixture::Count(fx->NewLog(), QStringLiteral("completed in")), 1);
    QCOMPARE(PingWindowFixture::Count(fx->NewLog(), QStringLiteral("aborted.")), 1);
    QCOMPARE(PingWindowFixture::Count(fx->NewLog(), QStringLiteral("Error connecting")), 1);
}

void TestPing::elapsedTimeCoversTheServerDelay() {
    TestTcpServer http;
    QVERIFY(http.listen());
    TestTcpServer::Script script = TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"});
    script.delayMs = 300;
    http.setScript(script);
    Options.HTTPPort = http.port();
    fx->Ping(QStringLiteral("web.test"));
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle(), Patience);
    const QList<double> seconds = PingWindowFixture::Seconds(fx->NewLog());
    QCOMPARE(seconds.size(), 1);
    QVERIFY2(seconds[0] >= 0.300 && seconds[0] < 5.0, QByteArray::number(seconds[0]));
}

// ---- failures and alerts ----

void TestPing::refusedPortRetriesThenAlertsMailsAndPingsErrorAddress() {
    TestSmtpServer smtp;
    QVERIFY(smtp.isListening());
    TestTcpServer errorServer;
    QVERIFY(errorServer.listen());
    errorServer.setScript(TestTcpServer::Script::neverAnswer());
    const int refused = TestTcpServer::closedPort();
    Options.HTTPPort = refused;
    Options.HTTPSPort = errorServer.port();
    Options.PingAttempts = 3;
    Options.PingOnError = true;
    Options.ErrorPingAddress = QStringLiteral("https://error.test");
    SetMail(smtp);
    QString statusDuringMail;
    bool cursorDuringMail = false;
    QObject::connect(ui->mmLog, &QPlainTextEdit::textChanged, w, [&] {
        if (fx->NewLog().endsWith(QLatin1String("sucessfully.\r\n\r\n"))) {
            statusDuringMail = w->StatusText();
            cursorDuringMail = QGuiApplication::overrideCursor() != nullptr;
        }
    });

    fx->Ping(QStringLiteral("web.test"));
    QTRY_VERIFY_WITH_TIMEOUT(errorServer.connectionCount() == 1 && fx->Idle() &&
                                 EngineProbe(w->Session->Engine()).PingOutcome() == poSucceeded,
                             Patience);

    const QString refusedLine =
        ErrorLine(QStringLiteral("web.test"), refused, QStringLiteral("Connection refused"), 10061);
    const QString expected =
        refusedLine + refusedLine + refusedLine +
        QStringLiteral("Sending email to failure notification address [Ops "
                       "<ops@example.test>]...\r\n"
                       "Notification email sent sucessfully.\r\n\r\n"
                       "Starting ping to failure notification address [https://error.test]...\r\n"
                       "\r\n") +
        HttpsLine(QStringLiteral("https://error.test/"), errorServer.port());
    QVERIFY2(fx->Matches(fx->NewLog(), expected), PingWindowFixture::Visible(fx->NewLog()));

    // The pause comes before the second and third attempts, after the previous error.
    QCOMPARE(fx->pauses.size(), 2);
    QCOMPARE(fx->pauses[0].ms, 1000);
    QCOMPARE(fx->pauses[1].ms, 1000);
    QCOMPARE(fx->pauses[0].statusText,
             QStringLiteral("Pinging http://web.test/ (2 of 3 attempts) ..."));
    QCOMPARE(fx->pauses[1].statusText,
             QStringLiteral("Pinging http://web.test/ (3 of 3 attempts) ..."));
    QCOMPARE(PingWindowFixture::Count(fx->pauses[0].log, QStringLiteral("Error connecting")), 1);
    QCOMPARE(PingWindowFixture::Count(fx->pauses[1].log, QStringLiteral("Error connecting")), 2);

    // One failure balloon, not preceded by a hiding call; the error ping's result neither
    // hides it nor shows over it: it checks another address.
    const auto balloons = fx->shell->Balloons();
    QCOMPARE(balloons.size(), 1);
    QCOMPARE(balloons[0].text,
             QStringLiteral("Connection to [http://web.test/] failed.\rError: Connection refused"));
    QCOMPARE(balloons[0].title, QStringLiteral("Connection error"));
    QCOMPARE(balloons[0].iconKind, 3);
    QCOMPARE(balloons[0].timeoutMs, 0);

    // The failure display was up when the mail began; while it went out, the status said so
    // instead of an hourglass.
    const auto mailEntry =
        std::find_if(fx->snapshots.cbegin(), fx->snapshots.cend(), [](const auto &s) {
            return s.log.endsWith(QLatin1String("address [Ops <ops@example.test>]...\r\n"));
        });
    QVERIFY(mailEntry != fx->snapshots.cend());
    QCOMPARE(mailEntry->image, 3);
    QCOMPARE(mailEntry->statusText, QStringLiteral("Connection to [http://web.test/] failed."));
    QCOMPARE(mailEntry->hint, QStringLiteral("Connection to [http://web.test/] failed."));
    QCOMPARE(mailEntry->outcome, poFailed);
    QCOMPARE(statusDuringMail, QStringLiteral("Sending notification email..."));
    QVERIFY(!cursorDuringMail);
    QVERIFY(!QGuiApplication::overrideCursor());

    // The mail: envelope, log-on, headers and body.
    QCOMPARE(smtp.mailCount(), 1);
    const TestSmtpServer::Mail mail = smtp.mails().constFirst();
    QCOMPARE(mail.mailFrom, QStringLiteral("monitor@example.test"));
    QCOMPARE(mail.recipients, QStringList{"ops@example.test"});
    QVERIFY(mail.authenticated);
    QCOMPARE(mail.authUser, QStringLiteral("user"));
    QCOMPARE(mail.authPassword, QStringLiteral("secret"));
    const QStringList commands = smtp.commands();
    QVERIFY(std::any_of(commands.cbegin(), commands.cend(), [](const QString &c) {
        return c.startsWith(QLatin1String("AUTH LOGIN"));
    }));
    const qsizetype split = mail.data.indexOf("\r\n\r\n");
    QVERIFY(split > 0);
    const QList<QByteArray> headers = mail.data.left(split).split('\n');
    auto header = [&](const QByteArray &name) {
        for (QByteArray h : headers) {
            if (h.startsWith(name + ": "))
                return h.mid(name.size() + 2).chopped(h.endsWith('\r') ? 1 : 0);
        }
        return QByteArray("<none>");
    };
    QCOMPARE(header("Subject"), QByteArray("Vennatro - Ping failure notification"));
    QCOMPARE(header("From"), QByteArray("Vennatro Monitor <monitor@example.test>"));
    QCOMPARE(header("To"), QByteArray("Ops <ops@example.test>"));
    QVERIFY(EngineProbe(w->Session->Engine())
                .IdSMTP()
                .MailAgent.startsWith(QLatin1String("Vennatro ")));
    QCOMPARE(header("X-Mailer"), EngineProbe(w->Session->Engine()).IdSMTP().MailAgent.toUtf8());
    QCOMPARE(header("MIME-Version"), QByteArray("1.0"));
    QCOMPARE(header("Content-Type"), QByteArray("text/plain; charset=UTF-8"));
    QCOMPARE(header("Content-Transfer-Encoding"), QByteArray("8bit"));
    const QString body = QString::fromUtf8(mail.data.mid(split + 4));
    QVERIFY2(
        fx->Matches(body, QStringLiteral("This is an automatic notification from Vennatro at ") +
                              w->ComputerName +
                              QStringLiteral(".\r\n\r\n[{STAMP}] Error connecting to "
                                             "[web.test] (port ") +
                              Port(refused) + QStringLiteral("): Connection refused (10061).\r\n")),
        PingWindowFixture::Visible(body));

    // The error ping went through the recent list; the box shows the user's address again.
    QCOMPARE(ui->cmbAddress->currentText(), QStringLiteral("http://web.test/"));
    QCOMPARE(Items(ui->cmbAddress), (QStringList{"https://error.test/", "http://web.test/"}));
    QCOMPARE(EngineProbe(w->Session->Engine()).TargetAddress(),
             QStringLiteral("https://error.test/"));
    QCOMPARE(EngineProbe(w->Session->Engine()).AttemptCount(), 1u);
    QVERIFY(!EngineProbe(w->Session->Engine()).LastErrorWasLookup());
    // The failure stays on show through the error ping and its completion.
    const QString failed = QStringLiteral("Connection to [http://web.test/] failed.");
    const auto failure = std::find_if(fx->snapshots.cbegin(), fx->snapshots.cend(),
                                      [](const auto &s) { return s.image == 3; });
    QVERIFY(failure != fx->snapshots.cend());
    for (auto s = failure; s != fx->snapshots.cend(); ++s) {
        QCOMPARE(s->image, 3);
        QCOMPARE(s->hint, failed);
        QVERIFY2(s->statusText == failed ||
                     s->statusText == QLatin1String("Sending notification email..."),
                 qPrintable(s->statusText));
    }
    QCOMPARE(w->StatusText(), failed);
    QVERIFY(!ui->actCancel->isEnabled());
}

void TestPing::smtpRefusingLogOnGivesOneLogLine() {
    TestSmtpServer smtp;
    QVERIFY(smtp.isListening());
    smtp.setMode(TestSmtpServer::Mode::RefuseLogOn);
    Options.HTTPPort = TestTcpServer::closedPort();
    SetMail(smtp);

    fx->Ping(QStringLiteral("web.test"));
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle() && fx->NewLog().contains("notification email"), Patience);
    const QString log = fx->NewLog();
    const qsizetype at = log.indexOf(QLatin1String("Error sending notification email: "));
    QVERIFY2(at > 0, PingWindowFixture::Visible(log));
    const QString entry = log.mid(at);
    QVERIFY2(fx->Matches(entry, QStringLiteral("Error sending notification email: {ANY}\r\n\r\n")),
             PingWindowFixture::Visible(entry));
    QVERIFY2(entry.contains(QLatin1String(" - 535-5.7.8 Authentication credentials invalid - 535 "
                                          "5.7.8 Try again later\r\n")),
             PingWindowFixture::Visible(entry));
    QCOMPARE(smtp.mailCount(), 0);
    QVERIFY(!QGuiApplication::overrideCursor());
    // A mail failure changes nothing else.
    QCOMPARE(w->StatusImageIndex, 3);
    QCOMPARE(w->StatusText(), QStringLiteral("Connection to [http://web.test/] failed."));
    QCOMPARE(fx->Balloons().size(), 1);
}

void TestPing::silentSmtpServerEndsWithinBound_data() {
    QTest::addColumn<int>("mode");
    QTest::newRow("never answers") << int(TestSmtpServer::Mode::NeverAnswer);
    QTest::newRow("stalls after greeting") << int(TestSmtpServer::Mode::StallAfterGreeting);
}

void TestPing::silentSmtpServerEndsWithinBound() {
    QFETCH(int, mode);
    TestSmtpServer smtp;
    QVERIFY(smtp.isListening());
    smtp.setMode(TestSmtpServer::Mode(mode));
    Options.HTTPPort = TestTcpServer::closedPort();
    SetMail(smtp);
    EngineProbe(w->Session->Engine()).IdSMTP().ConnectTimeoutMs = 1000;
    EngineProbe(w->Session->Engine()).IdSMTP().StallTimeoutMs = 1000;

    QElapsedTimer clock;
    clock.start();
    fx->Ping(QStringLiteral("web.test"));
    QTRY_VERIFY_WITH_TIMEOUT(fx->NewLog().contains("Error sending notification email: "),
                             Patience * 2);
    QVERIFY2(clock.elapsed() < 10000, QByteArray::number(clock.elapsed()));
    QVERIFY(!QGuiApplication::overrideCursor());
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle(), Patience);
}

void TestPing::lookupFailureRetriesForReal() {
    Options.PingAttempts = 2;
    QList<TPingOutcome> atDisconnect;
    QStringList statusAtDisconnect;
    const TSocketNotifyEvent disconnect =
        EngineProbe(w->Session->Engine()).ClientSocket()->OnDisconnect;
    EngineProbe(w->Session->Engine()).ClientSocket()->OnDisconnect = [&](QObject *sender,
                                                                         TCustomWinSocket *socket) {
        disconnect(sender, socket);
        atDisconnect << EngineProbe(w->Session->Engine()).PingOutcome();
        statusAtDisconnect << w->StatusText();
    };

    fx->Ping(QStringLiteral("nowhere.test"));
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle() && w->StatusImageIndex == 3, Patience);
    QCoreApplication::processEvents();

    // Two real lookups, two error lines, never a completion.
    QCOMPARE(fx->resolver.requestedNames(), (QStringList{"nowhere.test", "nowhere.test"}));
    const QString line = ErrorLine(QStringLiteral("nowhere.test"), 80,
                                   QStringLiteral("Name or service not known"), 11001);
    QVERIFY2(fx->Matches(fx->NewLog(), line + line), PingWindowFixture::Visible(fx->NewLog()));
    QCOMPARE(atDisconnect, (QList<TPingOutcome>{poFailed, poFailed}));
    for (const QString &status : statusAtDisconnect)
        QVERIFY2(!status.contains(QLatin1String("completed")), qPrintable(status));
    for (const auto &s : fx->snapshots)
        QVERIFY(s.outcome != poSucceeded && s.image != 2);
    QCOMPARE(fx->pauses.size(), 1);
    QCOMPARE(fx->pauses[0].statusText,
             QStringLiteral("Pinging http://nowhere.test/ (2 of 2 attempts) ..."));
    QCOMPARE(EngineProbe(w->Session->Engine()).PingOutcome(), poFailed);
    QCOMPARE(w->StatusText(), QStringLiteral("Connection to [http://nowhere.test/] failed."));
    QCOMPARE(fx->Balloons(), QStringList{"Connection error|3|Connection to "
                                         "[http://nowhere.test/] failed.\rError: Name or service "
                                         "not known"});
    QVERIFY(EngineProbe(w->Session->Engine()).LastErrorWasLookup());
    QCOMPARE(fx->resolver.requestCount(), 2);
}

void TestPing::retryPausesForRealAndTimeExcludesPause() {
    TestTcpServer http;
    QVERIFY(http.listen());
    http.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"}));
    Options.HTTPPort = http.port();
    Options.PingAttempts = 2;
    // The name fails once, then resolves.
    fx->resolver.addHostError(QStringLiteral("flaky.test"), 11002);
    connect(&fx->resolver, &TableResolver::requested, this, [this] {
        fx->resolver.addHost(QStringLiteral("flaky.test"), QStringLiteral("127.0.0.1"));
    });

    QElapsedTimer clock;
    qint64 errorAt = -1;
    qint64 completedAt = -1;
    connect(ui->mmLog, &QPlainTextEdit::textChanged, this, [&] {
        if (errorAt < 0 && fx->NewLog().contains(QLatin1String("Error connecting")))
            errorAt = clock.elapsed();
        if (completedAt < 0 && fx->NewLog().contains(QLatin1String("completed in")))
            completedAt = clock.elapsed();
    });

    clock.start();
    fx->Ping(QStringLiteral("flaky.test"));
    QTRY_VERIFY_WITH_TIMEOUT(
        fx->Idle() && EngineProbe(w->Session->Engine()).PingOutcome() == poSucceeded, Patience);

    QVERIFY(errorAt >= 0);
    QVERIFY2(completedAt - errorAt >= 1000, QByteArray::number(completedAt - errorAt));
    const QList<double> seconds = PingWindowFixture::Seconds(fx->NewLog());
    QCOMPARE(seconds.size(), 1);
    QVERIFY2(seconds[0] < 0.9, QByteArray::number(seconds[0]));
    QCOMPARE(fx->resolver.requestCount(), 2);
    QCOMPARE(http.connectionCount(), 1);
    QCOMPARE(EngineProbe(w->Session->Engine()).AttemptCount(), 2u);
    QVERIFY(fx->Matches(
        fx->NewLog(),
        ErrorLine(QStringLiteral("flaky.test"), http.port(), QStringLiteral("{ANY}"), 11002) +
            HttpLine(QStringLiteral("http://flaky.test/"), http.port()) + QStringLiteral("\r\n")));
}

void TestPing::addressNotAvailableAfterLookupIsNotCounted() {
    TestTcpServer http;
    QVERIFY(http.listen());
    http.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"}));
    Options.HTTPPort = http.port();
    Options.PingAttempts = 2;
    ui->cmbAddress->setEditText(QStringLiteral("web.test"));
    w->ApplySettings();
    QVERIFY(w->ValidateAddress());

    // An address-not-available error right after a lookup error: not counted, not shown.
    EngineProbe(w->Session->Engine()).LastErrorWasLookup() = true;
    EngineProbe(w->Session->Engine()).AttemptCount() = 2;
    EngineProbe(w->Session->Engine()).PingOutcome() = poPending;
    int code = 10049;
    EngineProbe(w->Session->Engine())
        .ClientSocketError(EngineProbe(w->Session->Engine()).ClientSocket(),
                           EngineProbe(w->Session->Engine()).ClientSocket()->Connection(),
                           eeConnect, code);
    QCOMPARE(code, 0);
    QCOMPARE(EngineProbe(w->Session->Engine()).AttemptCount(), 1u);
    QVERIFY(!EngineProbe(w->Session->Engine()).LastErrorWasLookup());
    QVERIFY(fx->NewLog().isEmpty());
    QVERIFY(fx->shell->Balloons().isEmpty());
    // The same attempt number is then tried again.
    QTRY_VERIFY_WITH_TIMEOUT(
        fx->Idle() && EngineProbe(w->Session->Engine()).PingOutcome() == poSucceeded, Patience);
    QCOMPARE(fx->pauses.size(), 1);
    QCOMPARE(fx->pauses[0].statusText,
             QStringLiteral("Pinging http://web.test/ (2 of 2 attempts) ..."));
    QCOMPARE(http.connectionCount(), 1);

    // Without a lookup error before it, the same error is an ordinary failure.
    fx->Mark();
    EngineProbe(w->Session->Engine()).AttemptCount() = 2;
    code = 10049;
    EngineProbe(w->Session->Engine())
        .ClientSocketError(EngineProbe(w->Session->Engine()).ClientSocket(),
                           EngineProbe(w->Session->Engine()).ClientSocket()->Connection(),
                           eeDisconnect, code);
    QCOMPARE(code, 0);
    QCOMPARE(EngineProbe(w->Session->Engine()).AttemptCount(), 2u);
    QVERIFY2(fx->Matches(fx->NewLog(), ErrorLine(QStringLiteral("web.test"), http.port(),
                                                 QStringLiteral("{ANY}"), 10049)),
             PingWindowFixture::Visible(fx->NewLog()));
    QCOMPARE(w->StatusImageIndex, 3);
}

void TestPing::emptyHostFailsThroughErrorHandler() {
    Options.PingAttempts = 2;
    fx->Ping(QStringLiteral("http:///"));
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle() && w->StatusImageIndex == 3, Patience);
    QCOMPARE(ui->cmbAddress->currentText(), QStringLiteral("http:///"));
    QCOMPARE(EngineProbe(w->Session->Engine()).TargetHost(), QString());
    const QString line = ErrorLine(QString(), 80, QStringLiteral("No address specified"), 1110);
    QVERIFY2(fx->Matches(fx->NewLog(), line + line), PingWindowFixture::Visible(fx->NewLog()));
    QCOMPARE(fx->resolver.requestCount(), 0);
    QCOMPARE(EngineProbe(w->Session->Engine()).PingOutcome(), poFailed);
    QCOMPARE(w->StatusText(), QStringLiteral("Connection to [http:///] failed."));
    QCOMPARE(fx->Balloons().size(), 1);
    QVERIFY(fx->Balloons()[0].startsWith(
        QLatin1String("Connection error|3|Connection to [http:///] failed.\rError: ")));
}

void TestPing::failingErrorPingStartsNoSeries() {
    Options.HTTPPort = TestTcpServer::closedPort();
    Options.PingOnError = true;
    Options.ErrorPingAddress = QStringLiteral("slowfail.test");
    fx->resolver.addHostError(QStringLiteral("slowfail.test"), 11001);

    fx->Ping(QStringLiteral("web.test"));
    QTRY_COMPARE_WITH_TIMEOUT(fx->resolver.requestCount(), 2, Patience);
    QTRY_VERIFY_WITH_TIMEOUT(
        fx->Idle() && fx->NewLog().contains(QLatin1String("Error connecting to [slowfail.test]")),
        Patience);
    Settle();

    // The error ping's own failure is logged, but starts no second error ping, and the
    // failure shown is still the first address's.
    QCOMPARE(fx->resolver.requestCount(), 2);
    const QString log = fx->NewLog();
    QCOMPARE(PingWindowFixture::Count(log, QStringLiteral("Error connecting to [web.test]")), 1);
    QCOMPARE(PingWindowFixture::Count(log, QStringLiteral("Error connecting to [slowfail.test]")),
             1);
    QCOMPARE(PingWindowFixture::Count(log, QStringLiteral("Starting ping")), 1);
    QCOMPARE(fx->Balloons(),
             QStringList{"Connection error|3|Connection to [http://web.test/] failed.\rError: "
                         "Connection refused"});
    QCOMPARE(w->StatusText(), QStringLiteral("Connection to [http://web.test/] failed."));
    QCOMPARE(w->StatusImageIndex, 3);
}

void TestPing::rejectedErrorPingAddressEndsFailureHandling() {
    const int refused = TestTcpServer::closedPort();
    Options.HTTPPort = refused;
    Options.PingOnError = true;
    Options.ErrorPingAddress = QStringLiteral("ftp://files.test/");

    fx->Ping(QStringLiteral("web.test"));
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle() && w->StatusImageIndex == 3, Patience);
    Settle();
    QCOMPARE(fx->messages.size(), 1);
    QCOMPARE(fx->messages[0].text, QStringLiteral("Only HTTP and HTTPS protocols are supported."));
    QCOMPARE(fx->messages[0].caption, QStringLiteral("Vennatro"));
    QCOMPARE(fx->resolver.requestCount(), 1);
    QVERIFY2(
        fx->Matches(fx->NewLog(), ErrorLine(QStringLiteral("web.test"), refused,
                                            QStringLiteral("Connection refused"), 10061) +
                                      QStringLiteral("Starting ping to failure notification "
                                                     "address [ftp://files.test/]...\r\n\r\n")),
        PingWindowFixture::Visible(fx->NewLog()));
    QCOMPARE(ui->cmbAddress->currentText(), QStringLiteral("http://web.test/"));
    QCOMPARE(EngineProbe(w->Session->Engine()).TargetAddress(), QStringLiteral("http://web.test/"));
    QCOMPARE(w->StatusText(), QStringLiteral("Connection to [http://web.test/] failed."));
}

void TestPing::sendAndReceiveErrorsTakeTheFailurePath() {
    TestTcpServer silent;
    QVERIFY(silent.listen());
    silent.setScript(TestTcpServer::Script::neverAnswer());
    Options.HTTPPort = silent.port();

    fx->Ping(QStringLiteral("web.test"));
    QTRY_VERIFY_WITH_TIMEOUT(silent.requestComplete(0), Patience);
    int code = 10054;
    EngineProbe(w->Session->Engine())
        .ClientSocketError(EngineProbe(w->Session->Engine()).ClientSocket(),
                           EngineProbe(w->Session->Engine()).ClientSocket()->Connection(),
                           eeReceive, code);
    QCOMPARE(code, 0);
    // Logged and alerted like a refused connection; no question to a socket that may be gone.
    QVERIFY(fx->Idle());
    QTRY_VERIFY_WITH_TIMEOUT(silent.isClientClosed(0), Patience);
    QCOMPARE(EngineProbe(w->Session->Engine()).PingOutcome(), poFailed);
    QCOMPARE(w->StatusImageIndex, 3);
    QCOMPARE(fx->Balloons(), QStringList{"Connection error|3|Connection to [http://web.test/] "
                                         "failed.\rError: Connection reset by peer"});
    QVERIFY2(
        fx->Matches(fx->NewLog(), ErrorLine(QStringLiteral("web.test"), silent.port(),
                                            QStringLiteral("Connection reset by peer"), 10054)),
        PingWindowFixture::Visible(fx->NewLog()));

    // The unknown kinds keep their own balloon and log nothing.
    fx->Mark();
    EngineProbe(w->Session->Engine()).AttemptCount() = Options.PingAttempts; // no further attempt
    for (TErrorEvent kind : {eeGeneral, eeAccept}) {
        code = 10061;
        EngineProbe(w->Session->Engine())
            .ClientSocketError(EngineProbe(w->Session->Engine()).ClientSocket(),
                               EngineProbe(w->Session->Engine()).ClientSocket()->Connection(), kind,
                               code);
        QCOMPARE(code, 0);
    }
    Settle();
    QCOMPARE(fx->Balloons(),
             (QStringList{"Connection error|3|Unknown socket error (10061): Connection refused.",
                          "Connection error|3|Unknown socket error (10061): Connection refused."}));
    QVERIFY(fx->NewLog().isEmpty());
    QCOMPARE(silent.connectionCount(), 1);
}

void TestPing::pingStartedBeforeRetryIsNotDoubled() {
    TestTcpServer http;
    QVERIFY(http.listen());
    http.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"}));
    Options.HTTPPort = http.port();
    Options.PingAttempts = 2;
    // The user's "Ping now" of another address is already queued when the error arrives, so
    // it runs before the retry the error handler leaves behind.
    const TSocketErrorEvent error = EngineProbe(w->Session->Engine()).ClientSocket()->OnError;
    EngineProbe(w->Session->Engine()).ClientSocket()->OnError =
        [&](QObject *sender, TCustomWinSocket *socket, TErrorEvent event, int &code) {
            QMetaObject::invokeMethod(
                w,
                [this] {
                    ui->cmbAddress->setEditText(QStringLiteral("web.test"));
                    w->ApplySettings();
                    ui->actPing->trigger();
                },
                Qt::QueuedConnection);
            error(sender, socket, event, code);
        };

    fx->Ping(QStringLiteral("nowhere.test"));
    QTRY_VERIFY_WITH_TIMEOUT(
        fx->Idle() && EngineProbe(w->Session->Engine()).PingOutcome() == poSucceeded, Patience);
    Settle();
    QCOMPARE(fx->resolver.requestedNames(), (QStringList{"nowhere.test", "web.test"}));
    QCOMPARE(http.connectionCount(), 1);
    QVERIFY(fx->pauses.isEmpty());
    QCOMPARE(EngineProbe(w->Session->Engine()).AttemptCount(), 1u);
    QCOMPARE(PingWindowFixture::Count(fx->NewLog(), QStringLiteral("Error connecting")), 1);
    QCOMPARE(PingWindowFixture::Count(fx->NewLog(), QStringLiteral("completed in")), 1);
}

void TestPing::errorPingAfterDisconnectErrorOfOpenConnection() {
    TestTcpServer silent;
    QVERIFY(silent.listen());
    silent.setScript(TestTcpServer::Script::neverAnswer());
    TestTcpServer errorServer;
    QVERIFY(errorServer.listen());
    errorServer.setScript(TestTcpServer::Script::neverAnswer());
    Options.HTTPPort = silent.port();
    Options.HTTPSPort = errorServer.port();
    Options.PingOnError = true;
    Options.ErrorPingAddress = QStringLiteral("https://error.test/");

    fx->Ping(QStringLiteral("web.test"));
    QTRY_VERIFY_WITH_TIMEOUT(silent.requestComplete(0), Patience);
    QVERIFY(EngineProbe(w->Session->Engine()).ClientSocket()->Active());
    // A connection reset reported with the close of an open connection, on the last attempt:
    // the error ping's port can only be set once that connection is closed.
    int code = 10054;
    EngineProbe(w->Session->Engine())
        .ClientSocketError(EngineProbe(w->Session->Engine()).ClientSocket(),
                           EngineProbe(w->Session->Engine()).ClientSocket()->Connection(),
                           eeDisconnect, code);
    QCOMPARE(code, 0);
    QTRY_VERIFY_WITH_TIMEOUT(errorServer.connectionCount() == 1 && fx->Idle() &&
                                 EngineProbe(w->Session->Engine()).PingOutcome() == poSucceeded,
                             Patience);
    QVERIFY2(fx->Matches(fx->NewLog(),
                         ErrorLine(QStringLiteral("web.test"), silent.port(),
                                   QStringLiteral("Connection reset by peer"), 10054) +
                             QStringLiteral("Starting ping to failure notification address "
                                            "[https://error.test/]...\r\n\r\n") +
                             HttpsLine(QStringLiteral("https://error.test/"), errorServer.port())),
             PingWindowFixture::Visible(fx->NewLog()));
}

void TestPing::receiveErrorDuringReadIsNoCompletion() {
    TestTcpServer http;
    QVERIFY(http.listen());
    http.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"}, false));
    Options.HTTPPort = http.port();
    // The receive fails: the component reports the error from inside the read, before the
    // read handler gets its bytes.
    const TSocketNotifyEvent read = EngineProbe(w->Session->Engine()).ClientSocket()->OnRead;
    EngineProbe(w->Session->Engine()).ClientSocket()->OnRead = [&](QObject *sender,
                                                                   TCustomWinSocket *socket) {
        int code = 10054;
        EngineProbe(w->Session->Engine()).ClientSocketError(sender, socket, eeReceive, code);
        read(sender, socket);
    };

    fx->Ping(QStringLiteral("web.test"));
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle() && w->StatusImageIndex == 3, Patience);
    Settle();
    QCOMPARE(EngineProbe(w->Session->Engine()).PingOutcome(), poFailed);
    QCOMPARE(PingWindowFixture::Count(fx->NewLog(), QStringLiteral("completed")), 0);
    QCOMPARE(PingWindowFixture::Count(fx->NewLog(), QStringLiteral("Error connecting")), 1);
}

// An address that answers again: its completion is logged and shown first, then the notice
// of its recovery (never hidden by the completion balloon's hiding call) and the recovery
// e-mail, on both paths.
void TestPing::recoveryFollowsTheCompletion_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("address");
    QTest::newRow("http") << "web.test"
                          << "http://web.test/";
    QTest::newRow("https") << "https://web.test"
                           << "https://web.test/";
}

void TestPing::recoveryFollowsTheCompletion() {
    QFETCH(QString, typed);
    QFETCH(QString, address);
    TestSmtpServer smtp;
    QVERIFY(smtp.isListening());
    TestTcpServer server;
    QVERIFY(server.listen());
    server.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"}));
    const bool https = address.startsWith(QLatin1String("https"));
    qint32 &port = https ? Options.HTTPSPort : Options.HTTPPort;
    port = TestTcpServer::closedPort();
    SetMail(smtp);
    fx->Ping(typed);
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle() && smtp.mailCount() == 1, Patience);
    fx->Mark();

    port = server.port();
    fx->Ping(typed);
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle() && smtp.mailCount() == 2, Patience);
    const QStringList balloons = fx->Balloons();
    QCOMPARE(balloons.size(), 4);
    QCOMPARE(balloons[0], QStringLiteral("|0|"));
    QVERIFY2(balloons[1].startsWith(
                 QStringLiteral("Ping OK|1|Connection to [%1] completed.").arg(address)),
             qPrintable(balloons[1]));
    QCOMPARE(balloons[2], QStringLiteral("|0|"));
    QCOMPARE(balloons[3],
             QStringLiteral("Ping OK|1|Connection to [%1] restored after 0 s.").arg(address));
    const QString log = fx->NewLog();
    const qsizetype completion = log.indexOf(QLatin1String(") completed in "));
    const qsizetype mail = log.indexOf(QLatin1String("Sending email to failure notification"));
    QVERIFY2(completion >= 0 && mail > completion, PingWindowFixture::Visible(log));
}

// ---- cancelling ----

void TestPing::cancelDuringLookup() {
    TestTcpServer http;
    QVERIFY(http.listen());
    Options.HTTPPort = http.port();
    Options.PingAttempts = 3;
    fx->resolver.addHost(QStringLiteral("slow.test"), QStringLiteral("127.0.0.1"),
                         TableResolver::Held);

    fx->Ping(QStringLiteral("slow.test"));
    QCOMPARE(fx->resolver.heldCount(), 1);
    QVERIFY(ui->actCancel->isEnabled());
    ui->actCancel->trigger();

    const QString aborted = QStringLiteral("Connection to [http://slow.test/] aborted.");
    QVERIFY(fx->Idle());
    QCOMPARE(EngineProbe(w->Session->Engine()).PingOutcome(), poCancelled);
    QCOMPARE(EngineProbe(w->Session->Engine()).AttemptCount(), 4u);
    QCOMPARE(w->StatusImageIndex, 1);
    QCOMPARE(w->StatusHint(), aborted);
    QCOMPARE(w->StatusText(), aborted);
    QVERIFY(ui->actPing->isEnabled());
    QVERIFY(ui->actAutoPing->isEnabled());
    QVERIFY(!ui->actCancel->isEnabled());
    QVERIFY2(fx->Matches(fx->NewLog(), FailureBar + QStringLiteral("\r\n[{STAMP}] Ping to "
                                                                   "[http://slow.test/] "
                                                                   "aborted.\r\n\r\n\r\n")),
             PingWindowFixture::Visible(fx->NewLog()));
    const auto balloons = fx->shell->Balloons();
    QCOMPARE(balloons.size(), 2);
    QCOMPARE(balloons[0].text, QString());
    QCOMPARE(balloons[1].text, aborted);
    QCOMPARE(balloons[1].title, QStringLiteral("Connection cancelled"));
    QCOMPARE(balloons[1].iconKind, 2);

    // The late answer of the lookup is ignored: no connection, nothing logged.
    const QString log = fx->NewLog();
    fx->resolver.releaseAll();
    QTRY_COMPARE_WITH_TIMEOUT(fx->resolver.answerCount(), 1, Patience);
    Settle();
    QCOMPARE(http.connectionCount(), 0);
    QCOMPARE(fx->NewLog(), log);
    QCOMPARE(EngineProbe(w->Session->Engine()).PingOutcome(), poCancelled);
    QCOMPARE(fx->resolver.requestCount(), 1);
}

void TestPing::cancelDuringSilentServer() {
    TestTcpServer silent;
    QVERIFY(silent.listen());
    silent.setScript(TestTcpServer::Script::neverAnswer());
    Options.HTTPPort = silent.port();
    Options.PingAttempts = 2;

    fx->Ping(QStringLiteral("web.test"));
    QTRY_VERIFY_WITH_TIMEOUT(silent.requestComplete(0), Patience);
    QVERIFY(w->Session->Engine()->Busy()); // a server that never answers keeps the ping under way
    QVERIFY(EngineProbe(w->Session->Engine()).ClientSocket()->Active());
    w->actCancelExecute();
    QVERIFY(fx->Idle());
    QTRY_VERIFY_WITH_TIMEOUT(silent.isClientClosed(0), Patience);
    Settle();
    QCOMPARE(silent.connectionCount(), 1);
    QCOMPARE(w->StatusText(), QStringLiteral("Connection to [http://web.test/] aborted."));
    QCOMPARE(w->StatusImageIndex, 1);
    QVERIFY2(fx->Matches(fx->NewLog(), FailureBar + QStringLiteral("\r\n[{STAMP}] Ping to "
                                                                   "[http://web.test/] "
                                                                   "aborted.\r\n\r\n\r\n")),
             PingWindowFixture::Visible(fx->NewLog()));
    QVERIFY(fx->pauses.isEmpty());
}

void TestPing::cancelDuringThePauseEndsAtOnce() {
    Options.HTTPPort = TestTcpServer::closedPort();
    Options.PingAttempts = 3;
    fx->Ping(QStringLiteral("web.test"));
    QTRY_COMPARE_WITH_TIMEOUT(fx->pauses.size(), 1, Patience);
    // The window answers during the pause (a timer, not a sleep), and Cancel ends it now.
    QVERIFY(ui->actCancel->isEnabled());
    ui->actCancel->trigger();

    QVERIFY(fx->Idle());
    QCOMPARE(EngineProbe(w->Session->Engine()).PingOutcome(), poCancelled);
    QCOMPARE(w->StatusText(), QStringLiteral("Connection to [http://web.test/] aborted."));
    QCOMPARE(w->StatusImageIndex, 1);
    QVERIFY(ui->actPing->isEnabled());
    QVERIFY(!ui->actCancel->isEnabled());
    Settle();
    QCOMPARE(fx->resolver.requestCount(), 1);
    QCOMPARE(PingWindowFixture::Count(fx->NewLog(), QStringLiteral("Error connecting")), 1);
    QCOMPARE(PingWindowFixture::Count(fx->NewLog(), QStringLiteral("aborted.")), 1);
    QCOMPARE(fx->pauses.size(), 1);
}

void TestPing::errorAfterCancelLogsNothing() {
    TestTcpServer silent;
    QVERIFY(silent.listen());
    silent.setScript(TestTcpServer::Script::neverAnswer());
    Options.HTTPPort = silent.port();
    Options.PingAttempts = 3;
    Options.PingOnError = true;
    Options.ErrorPingAddress = QStringLiteral("error.test");

    fx->Ping(QStringLiteral("web.test"));
    QTRY_VERIFY_WITH_TIMEOUT(silent.requestComplete(0), Patience);
    w->actCancelExecute();
    fx->Mark();

    // A late connection error: swallowed, not logged, no alert, no further attempt.
    int code = 10061;
    EngineProbe(w->Session->Engine())
        .ClientSocketError(EngineProbe(w->Session->Engine()).ClientSocket(),
                           EngineProbe(w->Session->Engine()).ClientSocket()->Connection(),
                           eeConnect, code);
    QCOMPARE(code, 0);
    Settle();
    QVERIFY(fx->NewLog().isEmpty());
    QVERIFY(fx->shell->Balloons().isEmpty());
    QCOMPARE(EngineProbe(w->Session->Engine()).PingOutcome(), poCancelled);
    QCOMPARE(fx->resolver.requestCount(), 1);
    QCOMPARE(silent.connectionCount(), 1);
    QCOMPARE(w->StatusText(), QStringLiteral("Connection to [http://web.test/] aborted."));

    // A receive error after the cancel is as quiet.
    code = 10054;
    EngineProbe(w->Session->Engine())
        .ClientSocketError(EngineProbe(w->Session->Engine()).ClientSocket(),
                           EngineProbe(w->Session->Engine()).ClientSocket()->Connection(),
                           eeReceive, code);
    Settle();
    QVERIFY(fx->Balloons().isEmpty());
    QVERIFY(fx->NewLog().isEmpty());
    QCOMPARE(fx->resolver.requestCount(), 1);
}

void TestPing::cancelDuringTheMailLeavesAborted() {
    TestSmtpServer smtp;
    QVERIFY(smtp.isListening());
    smtp.setMode(TestSmtpServer::Mode::StallAfterGreeting);
    Options.HTTPPort = TestTcpServer::closedPort();
    SetMail(smtp);
    // The send waits in a loop of its own: Cancel is pressed from inside it.
    QString statusAtCancel;
    QObject::connect(w->Session, &PingSession::mailStarted, w, [&] {
        QTimer::singleShot(100, w, [&] {
            statusAtCancel = w->StatusText();
            ui->actCancel->trigger();
        });
    });
    fx->Ping(QStringLiteral("web.test"));
    QTRY_VERIFY_WITH_TIMEOUT(
        fx->Idle() && fx->NewLog().contains(QLatin1String("Error sending notification email")),
        Patience);
    Settle();
    QCOMPARE(statusAtCancel, QStringLiteral("Sending notification email..."));
    // The mail step puts back no "failed.": the cancel's word is the last.
    QCOMPARE(w->StatusText(), QStringLiteral("Connection to [http://web.test/] aborted."));
    QCOMPARE(w->StatusImageIndex, 1);
}

QTEST_MAIN(TestPing)
#include "test_ping.moc"
