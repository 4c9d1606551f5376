// Alerts follow the state of each address: one e-mail and one error ping an outage, a
// recovery notice when it answers again, nothing from the error ping's own pings.

#include "engine/AlertPolicy.h"
#include "engine/PingEngine.h"
#include "engine/PingSession.h"
#include "engine/PingTarget.h"
#include "support/EngineProbe.h"
#include "support/TestHelpers.h"
#include "support/TestSmtpServer.h"
#include "support/TestTcpServer.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

QDateTime At(int minutes, int seconds = 0) {
    return QDateTime(QDate(2026, 12, 8), QTime(8, 0), Qt::UTC).addSecs(minutes * 60 + seconds);
}
} // namespace

class TestAlerts : public QObject {
    Q_OBJECT

private slots:
    void policyAlertsOncePerOutage();
    void policyRepeatsWhenDue();
    void policyRecoveryNeedsAnAlertedFailure();
    void policySlowEpisodesAndCertificateDays();
    void storedStatusListThatIsNoListIsSaidOnce();
    void engineSendsOneMailPerOutageAndARecovery();
    void errorPingAddressRaisesNoAlerts();
    void cancelledPingChangesNoState();
    void cancelAbortsTheMailAtOnce();

private:
    struct Rig {
        PingEngine engine;
        TestTcpServer http;
        TestSmtpServer smtp;
        QStringList log;
        QStringList failures;                     // addresses whose ping failed
        QList<QPair<QString, qint64>> recoveries; // address, seconds down
        int finished = 0;

        explicit Rig(quint32 repeat = 0) {
            http.listen();
            TOptions o = DefaultOptions();
            o.PingAttempts = 1;
            o.ShowNotifications = true;
            o.SendEmailOnError = true;
            o.ErrorEmailAddress = QStringLiteral("ops@example.test");
            o.FromAddress = QStringLiteral("Vennatro <v@example.test>");
            o.SMTPServer = QStringLiteral("127.0.0.1");
            o.SMTPPort = smtp.port();
            o.SMTPSecurity = 3;
            o.RepeatAlertsEvery = repeat;
            engine.ApplySettings(o, EngineContext{QStringLiteral("Vennatro/1.0"),
                                                  QStringLiteral("host"),
                                                  QStringLiteral("Vennatro 1.0")});
            engine.SetRetryPauseMs(0);
            QObject::connect(&engine, &PingEngine::logText, [this](const QString &t) { log << t; });
            QObject::connect(&engine, &PingEngine::pingFailed,
                             [this](const QString &address) { failures << address; });
            QObject::connect(&engine, &PingEngine::recovered,
                             [this](const QString &address, qint64 seconds) {
                                 recoveries << qMakePair(address, seconds);
                             });
            QObject::connect(&engine, &PingEngine::finished, [this] { ++finished; });
        }
        QString Address() const { return QStringLiteral("http://127.0.0.1:%1/").arg(http.port()); }
        bool Ping(const QString &address) {
            const int before = finished;
            engine.SetTarget(NormaliseAddress(address));
            engine.Ping();
            QElapsedTimer clock;
            clock.start();
            while (finished == before && clock.elapsed() < Patience)
                QTest::qWait(10);
            // The socket's close and the recovery mail follow the result.
            while (engine.Busy() && clock.elapsed() < Patience)
                QTest::qWait(10);
            return finished > before && !engine.Busy();
        }
        int Count(const QString &part) const { return int(log.join(QString()).count(part)); }
    };
};

void TestAlerts::policyAlertsOncePerOutage() {
    AlertPolicy policy;
    const QString a = QStringLiteral("http://a.test/");
    QVERIFY(policy.OnFailure(a, At(0)).alert);
    const AlertPolicy::FailureDecision held = policy.OnFailure(a, At(1));
    QVERIFY(!held.alert);
    QCOMPARE(held.lastAlertAt, At(0));
    // Another address has a state of its own; letter case does not make another address.
    QVERIFY(policy.OnFailure(QStringLiteral("http://b.test/"), At(1)).alert);
    QVERIFY(!policy.OnFailure(QStringLiteral("HTTP://A.test/"), At(2)).alert);
    QVERIFY(!policy.OnFailure(a, At(600)).alert); // 0 minutes: never repeated
    QVERIFY(policy.IsDown(a));
}

void TestAlerts::policyRepeatsWhenDue() {
    AlertPolicy policy;
    policy.SetRepeatMinutes(30);
    const QString a = QStringLiteral("http://a.test/");
    QVERIFY(policy.OnFailure(a, At(0)).alert);
    QVERIFY(!policy.OnFailure(a, At(29, 59)).alert);
    QVERIFY(policy.OnFailure(a, At(30)).alert);
    // The next repeat counts from the repeated alert.
    const AlertPolicy::FailureDecision held = policy.OnFailure(a, At(45));
    QVERIFY(!held.alert);
    QCOMPARE(held.lastAlertAt, At(30));
    QVERIFY(policy.OnFailure(a, At(60)).alert);
}

void TestAlerts::policyRecoveryNeedsAnAlertedFailure() {
    AlertPolicy policy;
    const QString a = QStringLiteral("http://a.test/");
    QVERIFY(!policy.OnSuccess(a, At(0)).recovered); // never down
    QVERIFY(policy.OnFailure(a, At(1)).alert);
    QVERIFY(!policy.OnFailure(a, At(2)).alert);
    const AlertPolicy::SuccessDecision back = policy.OnSuccess(a, At(66, 5));
    QVERIFY(back.recovered);
    QCOMPARE(back.downSeconds, qint64(65 * 60 + 5)); // from the first failure
    QVERIFY(!policy.IsDown(a));
    QVERIFY(!policy.OnSuccess(a, At(67)).recovered);
    // A new outage alerts again.
    QVERIFY(policy.OnFailure(a, At(70)).alert);
}

void TestAlerts::policySlowEpisodesAndCertificateDays() {
    AlertPolicy policy;
    const QString a = QStringLiteral("http://a.test/");
    // An episode begins with the first slow answer and ends with a quick one; a failure
    // neither begins nor ends it.
    QVERIFY(!policy.OnCompleted(a, false));
    QVERIFY(policy.OnCompleted(a, true));
    QVERIFY(!policy.OnCompleted(QStringLiteral("HTTP://A.TEST/"), true));
    policy.OnFailure(a, At(1));
    QVERIFY(!policy.OnCompleted(a, true));
    QVERIFY(policy.OnCompleted(QStringLiteral("http://b.test/"), true));
    QVERIFY(!policy.OnCompleted(a, false));
    QVERIFY(policy.OnCompleted(a, true));
    // A certificate warning once a day, each address on its own.
    QVERIFY(policy.CertificateWarningDue(a, At(0)));
    QVERIFY(!policy.CertificateWarningDue(a, At(24 * 60 - 1, 59)));
    QVERIFY(policy.CertificateWarningDue(QStringLiteral("http://b.test/"), At(5)));
    QVERIFY(policy.CertificateWarningDue(a, At(24 * 60)));
    QVERIFY(!policy.CertificateWarningDue(QStringLiteral("HTTP://a.test/"), At(24 * 60 + 1)));
}

void TestAlerts::storedStatusListThatIsNoListIsSaidOnce() {
    // The session keeps its history in the test's own folder.
    QTemporaryDir data;
    QVERIFY(data.isValid());
    ScopedEnv dataHome("XDG_DATA_HOME", data.path().toUtf8());
    PingSession session(PingSession::Face::Service);
    QStringList log;
    connect(&session, &PingSession::logEntry, this, [&log](const QString &entry) { log << entry; });
    TOptions options = DefaultOptions();
    options.HistoryDays = 0;
    options.AcceptedHTTPStatus = QStringLiteral("2xx\r\nforged");
    const EngineContext context{QStringLiteral("agent"), QStringLiteral("host"),
                                QStringLiteral("mailer")};
    session.ApplySettings(options, context);
    QVERIFY(log.isEmpty()); // said once the session is open, after its start line
    session.Open();
    const QString said = QStringLiteral("The setting \"Accepted HTTP status\" (\"2xxforged\") is "
                                        "not valid and is ignored: every answer completes a "
                                        "ping.\r\n");
    QCOMPARE(log.filter(QStringLiteral("Accepted HTTP status")), QStringList{said});
    // The same value again says nothing; another invalid one is said; a valid one is quiet.
    session.ApplySettings(options, context);
    options.AcceptedHTTPStatus = QStringLiteral("600");
    session.ApplySettings(options, context);
    options.AcceptedHTTPStatus = QStringLiteral("200-299");
    session.ApplySettings(options, context);
    QCOMPARE(log.filter(QStringLiteral("Accepted HTTP status")).size(), 2);
    QVERIFY(log.filter(QStringLiteral("Accepted HTTP status")).last().contains("(\"600\")"));
}

void TestAlerts::engineSendsOneMailPerOutageAndARecovery() {
    Rig rig;
    // Down twice (the server closes without answering), then up.
    rig.http.setScriptFor(0, TestTcpServer::Script::closeOnAccept());
    rig.http.setScriptFor(1, TestTcpServer::Script::closeOnAccept());
    rig.http.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"}));
    const QString address = rig.Address();

    QVERIFY(rig.Ping(address));
    QTRY_COMPARE_WITH_TIMEOUT(rig.smtp.mailCount(), 1, Patience);
    QVERIFY(rig.smtp.mails()[0].data.contains("Subject: Vennatro - Ping failure notification"));

    QVERIFY(rig.Ping(address));
    QCOMPARE(rig.smtp.mailCount(), 1);
    QCOMPARE(rig.Count(QStringLiteral("Alert for [%1] already sent at ").arg(address)), 1);
    QVERIFY(rig.log.last().endsWith(QLatin1String("; not repeated.\r\n")));
    QCOMPARE(rig.failures, (QStringList{address, address}));

    QVERIFY(rig.Ping(address));
    QTRY_VERIFY2_WITH_TIMEOUT(rig.smtp.mailCount() == 2, qPrintable(rig.log.join(QString())),
                              Patience);
    const TestSmtpServer::Mail recovery = rig.smtp.mails()[1];
    QVERIFY(recovery.data.contains("Subject: Vennatro - Ping recovery notification"));
    QVERIFY(recovery.data.contains(
        QStringLiteral("Connection to [%1] restored after ").arg(address).toUtf8()));
    QCOMPARE(recovery.mailFrom, QStringLiteral("v@example.test"));
    QCOMPARE(recovery.recipients, QStringList{QStringLiteral("ops@example.test")});
    QCOMPARE(rig.recoveries.size(), 1);
    QCOMPARE(rig.recoveries[0].first, address);
    QVERIFY(DownTimeText(rig.recoveries[0].second).endsWith(QLatin1String(" s")));
    QCOMPARE(rig.Count(QStringLiteral("Notification email sent sucessfully.")), 2);

    // Up again: no further notice.
    QVERIFY(rig.Ping(address));
    QCOMPARE(rig.smtp.mailCount(), 2);
    QCOMPARE(rig.recoveries.size(), 1);
}

void TestAlerts::errorPingAddressRaisesNoAlerts() {
    Rig rig;
    TOptions o = rig.engine.Settings();
    o.PingOnError = true;
    o.ErrorPingAddress = QStringLiteral("http://127.0.0.1:%1/err").arg(TestTcpServer::closedPort());
    rig.engine.ApplySettings(o, EngineContext{});
    QStringList requested;
    connect(&rig.engine, &PingEngine::errorPingRequested, this, [&](const QString &address) {
        requested << address;
        rig.engine.SetTarget(NormaliseAddress(address));
    });
    rig.http.setScript(TestTcpServer::Script::closeOnAccept());

    QVERIFY(rig.Ping(rig.Address()));
    // The error ping runs and fails; its failure starts nothing more.
    QTRY_VERIFY_WITH_TIMEOUT(rig.finished == 2 && !rig.engine.Busy(), Patience);
    QTest::qWait(50);
    QCOMPARE(requested.size(), 1);
    QCOMPARE(rig.smtp.mailCount(), 1);
    QCOMPARE(rig.Count(QStringLiteral("Starting ping to failure notification address")), 1);
    QCOMPARE(rig.Count(QStringLiteral("already sent")), 0);

    // A second outage ping of the main address is held back: no error ping either.
    QVERIFY(rig.Ping(rig.Address()));
    QTest::qWait(50);
    QCOMPARE(requested.size(), 1);
    QCOMPARE(rig.smtp.mailCount(), 1);
    QCOMPARE(rig.Count(QStringLiteral("already sent")), 1);
}

void TestAlerts::cancelledPingChangesNoState() {
    Rig rig;
    rig.http.setScriptFor(0, TestTcpServer::Script::closeOnAccept());
    rig.http.setScriptFor(1, TestTcpServer::Script::neverAnswer());
    rig.http.setScriptFor(2, TestTcpServer::Script::closeOnAccept());
    const QString address = rig.Address();
    QVERIFY(rig.Ping(address));
    QTRY_COMPARE_WITH_TIMEOUT(rig.smtp.mailCount(), 1, Patience);

    rig.engine.SetTarget(NormaliseAddress(address));
    rig.engine.Ping();
    QTRY_VERIFY_WITH_TIMEOUT(rig.http.requestComplete(1), Patience);
    rig.engine.Cancel();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.engine.Busy(), Patience);
    QCOMPARE(rig.recoveries.size(), 0);

    // Still the same outage: held back, no second mail.
    QVERIFY(rig.Ping(address));
    QCOMPARE(rig.smtp.mailCount(), 1);
    QCOMPARE(rig.Count(QStringLiteral("already sent")), 1);
}

void TestAlerts::cancelAbortsTheMailAtOnce() {
    Rig rig;
    rig.smtp.setMode(TestSmtpServer::Mode::NeverAnswer);
    rig.http.setScript(TestTcpServer::Script::closeOnAccept());
    QSignalSpy started(&rig.engine, &PingEngine::mailStarted);
    QElapsedTimer clock;
    qint64 cancelledAt = -1;
    connect(&rig.engine, &PingEngine::mailStarted, this, [&] {
        // Cancel from the event loop, while the mail is under way on its thread.
        QTimer::singleShot(200, this, [&] {
            cancelledAt = clock.elapsed();
            rig.engine.Cancel();
        });
    });
    clock.start();
    rig.engine.SetTarget(NormaliseAddress(rig.Address()));
    rig.engine.Ping();
    QTRY_VERIFY_WITH_TIMEOUT(rig.Count(QStringLiteral("Error sending notification email: ")) == 1,
                             Patience);
    QVERIFY(cancelledAt >= 0);
    QVERIFY2(clock.elapsed() - cancelledAt < 2500,
             QByteArray::number(clock.elapsed() - cancelledAt));
    QCOMPARE(rig.Count(QStringLiteral("Error sending notification email: aborted\r\n")), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.engine.Busy(), Patience);
    QCOMPARE(EngineProbe(rig.engine).PingOutcome(), poCancelled);
    QCOMPARE(started.size(), 1);
}

QTEST_GUILESS_MAIN(TestAlerts)
#include "test_alerts.moc"
