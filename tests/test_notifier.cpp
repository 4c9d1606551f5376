// What the window shows for each event of the session: the balloons (title, kind, text, the
// hiding call first where one is due) and the status display, under each notification setting.
#include "app/PingNotifier.h"
#include "engine/PingSession.h"
#include "engine/PingTarget.h"

#include <QTest>
#include <functional>

class TestNotifier : public QObject {
    Q_OBJECT
private slots:
    void eventsAsBalloonsAndStatus_data();
    void eventsAsBalloonsAndStatus();
};

namespace {
const QString A = QStringLiteral("http://a.test/");
using Emit = std::function<void(PingSession &)>;
} // namespace

void TestNotifier::eventsAsBalloonsAndStatus_data() {
    QTest::addColumn<Emit>("event");
    QTest::addColumn<bool>("notify");
    QTest::addColumn<bool>("errorsOnly");
    QTest::addColumn<QStringList>("balloons"); // "title|kind|text"; hiding is "|0|"
    QTest::addColumn<QStringList>("statuses"); // "image|text"

    const Emit answer = [](PingSession &s) { emit s.answered(A, false, "HTTP/1.0 200 OK"); };
    const QString ok = "Ping OK|1|Connection to [" + A + "] completed.\rResponse: HTTP/1.0 200 OK";
    QTest::newRow("answer") << answer << true << false << QStringList{"|0|", ok} << QStringList{};
    QTest::newRow("answer, errors only")
        << answer << true << true << QStringList{} << QStringList{};
    QTest::newRow("answer, no notices")
        << answer << false << false << QStringList{} << QStringList{};
    QTest::newRow("connect only") << Emit([](PingSession &s) {
        emit s.answered(A, true, QString());
    }) << true << false << QStringList{"|0|", "Ping OK|1|Connection to [" + A + "] completed."}
                                  << QStringList{};

    const Emit failed = [](PingSession &s) { emit s.pingFailed(A, "Connection refused"); };
    const QString error =
        "Connection error|3|Connection to [" + A + "] failed.\rError: Connection refused";
    const QString failedStatus = "3|Connection to [" + A + "] failed.";
    QTest::newRow("failed") << failed << true << true << QStringList{error}
                            << QStringList{failedStatus};
    QTest::newRow("failed, no notices")
        << failed << false << false << QStringList{} << QStringList{failedStatus};
    QTest::newRow("watched down") << Emit([](PingSession &s) {
        emit s.addressDown(A, "Connection refused");
    }) << true << true << QStringList{error}
                                  << QStringList{};
    QTest::newRow("unknown error")
        << Emit([](PingSession &s) { emit s.unknownError(7, "odd"); }) << false << false
        << QStringList{"Connection error|3|Unknown socket error (7): odd."} << QStringList{};

    const Emit cancel = [](PingSession &s) { emit s.cancelled(A); };
    QTest::newRow("cancelled") << cancel << true << true
                               << QStringList{"|0|", "Connection cancelled|2|Connection to [" + A +
                                                         "] aborted."}
                               << QStringList{};
    QTest::newRow("cancelled, no notices")
        << cancel << false << false << QStringList{} << QStringList{};
    QTest::newRow("ended completed")
        << Emit([](PingSession &s) { emit s.connectionEnded(A, PingOutcomeKind::Completed); })
        << true << false << QStringList{} << QStringList{"2|Connection to [" + A + "] completed."};
    QTest::newRow("ended cancelled")
        << Emit([](PingSession &s) { emit s.connectionEnded(A, PingOutcomeKind::Cancelled); })
        << true << false << QStringList{} << QStringList{"1|Connection to [" + A + "] aborted."};
    // The user was alerted of the outage: its end is told whatever the settings say.
    QTest::newRow("recovered, no notices")
        << Emit([](PingSession &s) { emit s.addressRecovered(A, 3900); }) << false << false
        << QStringList{"|0|", "Ping OK|1|Connection to [" + A + "] restored after 1 h 05 min."}
        << QStringList{};
    // Slow: a warning once an episode, and the status says slow rather than OK.
    const QString slowBalloon =
        "Slow connection|2|Connection to [" + A + "] is slow: 2.500 seconds.";
    QTest::newRow("slow episode") << Emit([](PingSession &s) { emit s.addressSlow(A, 2.5); })
                                  << true << true << QStringList{slowBalloon} << QStringList{};
    QTest::newRow("slow episode, no notices")
        << Emit([](PingSession &s) { emit s.addressSlow(A, 2.5); }) << false << false
        << QStringList{} << QStringList{};
    const auto finished = [](bool slow, bool errorPing) {
        return Emit([slow, errorPing](PingSession &s) {
            PingResult result;
            result.address = A;
            result.outcome = PingOutcomeKind::Completed;
            result.slow = slow;
            result.errorPing = errorPing;
            emit s.finished(result);
        });
    };
    QTest::newRow("finished slow") << finished(true, false) << false << false << QStringList{}
                                   << QStringList{"4|Connection to [" + A + "] completed (slow)."};
    QTest::newRow("finished quick")
        << finished(false, false) << true << false << QStringList{} << QStringList{};
    QTest::newRow("error ping slow")
        << finished(true, true) << true << false << QStringList{} << QStringList{};
    const QDateTime expiry(QDate(2030, 1, 2), QTime(3, 4, 5), Qt::UTC);
    const Emit expiring = [expiry](PingSession &s) { emit s.certificateExpiring(A, 6, expiry); };
    QTest::newRow("certificate expiring")
        << expiring << true << true
        << QStringList{"Certificate expiry|2|Certificate of [" + A + "] expires in 6 days (" +
                       TimeStamp(expiry.toLocalTime()) + ")."}
        << QStringList{};
    QTest::newRow("certificate expiring, no notices")
        << expiring << false << false << QStringList{} << QStringList{};
    // This computer's network, not the site: no failure notice a ping, one for the outage
    // (a warning, even with "only errors") and one at its end.
    QTest::newRow("not checked") << Emit([](PingSession &s) {
        emit s.notChecked(A, NotCheckedReason::NoNetwork);
    }) << true << false << QStringList{}
                                 << QStringList{"5|Connection to [" + A + "] not checked."};
    const Emit lost = [](PingSession &s) { emit s.networkLost(2); };
    QTest::newRow("network lost")
        << lost << true << true
        << QStringList{"Network connection lost|2|This computer has no network connection: 2 "
                       "addresses could not be checked."}
        << QStringList{};
    QTest::newRow("network lost, no notices")
        << lost << false << false << QStringList{} << QStringList{};
    QTest::newRow("network back")
        << Emit([](PingSession &s) { emit s.networkBack(125); }) << true << true
        << QStringList{"|0|", "Network connection back|1|Network connection back after 2 min."}
        << QStringList{};
    QTest::newRow("unexpected") << Emit([](PingSession &s) {
        emit s.unexpectedError("Out of memory");
    }) << false << false << QStringList{"Vennatro|3|Out of memory"}
                                << QStringList{};
}

void TestNotifier::eventsAsBalloonsAndStatus() {
    QFETCH(Emit, event);
    QFETCH(bool, notify);
    QFETCH(bool, errorsOnly);
    QFETCH(QStringList, balloons);
    QFETCH(QStringList, statuses);

    PingSession session;
    TOptions options = DefaultOptions();
    options.ShowNotifications = notify;
    options.ShowOnlyErrorNotifications = errorsOnly;
    session.ApplySettings(options, EngineContext{});
    PingNotifier notifier(&session);
    QStringList shown;
    QStringList status;
    connect(&notifier, &PingNotifier::balloon, this,
            [&](const QString &text, const QString &title, int kind) {
                shown << title + '|' + QString::number(kind) + '|' + text;
            });
    connect(&notifier, &PingNotifier::statusChanged, this,
            [&](int image, const QString &text) { status << QString::number(image) + '|' + text; });
    event(session);
    QCOMPARE(shown, balloons);
    QCOMPARE(status, statuses);
}

QTEST_MAIN(TestNotifier)
#include "test_notifier.moc"
