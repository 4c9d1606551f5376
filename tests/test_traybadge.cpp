// The tray icon as a status display: a badge of the last outcome, kept until the next ping,
// and the worst state of the watched addresses.

#include "engine/NetworkVerdict.h"
#include "platform/NetworkState.h"
#include "support/EngineProbe.h"
#include "support/TestHelpers.h"
#include "support/TestTcpServer.h"
#include "support/gui/PingWindowFixture.h"
#include "tray/TrayBadge.h"

#include <QImage>
#include <QLineF>
#include <QTest>

namespace {

// The colour of the badge of a 32-pixel rendering, above its mark; nothing for no badge.
QColor BadgePixel(const QIcon &icon) {
    const QImage image = icon.pixmap(32, 32).toImage();
    return image.isNull() ? QColor() : image.pixelColor(24, 19);
}

// The badge's mark at a size as a grey picture: which pixels inside the ring are light.
QList<bool> MarkOf(const QIcon &icon, int side) {
    const QImage image = icon.pixmap(side, side).toImage();
    const qreal d = side * 0.5;
    const QPointF c(side - d / 2, side - d / 2);
    QList<bool> mark;
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            if (QLineF(c, QPointF(x + 0.5, y + 0.5)).length() < d * 0.35)
                mark << (qGray(image.pixel(x, y)) > 200);
    return mark;
}

// The colour beside the centre of the badge: every state's mark crosses its centre.
QColor BadgeSidePixel(const QIcon &icon) { return BadgePixel(icon); }

// The icon handed to the desktop last.
QIcon LastIcon(RecordingTrayShell *shell) {
    for (auto it = shell->Calls.crbegin(); it != shell->Calls.crend(); ++it) {
        if (!it->icon.isNull())
            return it->icon;
    }
    return QIcon();
}

} // namespace

class TestTrayBadge : public QObject {
    Q_OBJECT

private slots:
    void worstStateWins();
    void badgeIsDrawnInItsColour();
    void badgeShapesTellStatesApartWithoutColour();
    void iconFollowsTheMainPing();
    void errorPingLeavesTheFailureOnTheIcon();
};

void TestTrayBadge::worstStateWins() {
    QCOMPARE(WorseBadge(TrayBadge::Completed, TrayBadge::Failed), TrayBadge::Failed);
    QCOMPARE(WorseBadge(TrayBadge::Failed, TrayBadge::UnderWay), TrayBadge::Failed);
    QCOMPARE(WorseBadge(TrayBadge::UnderWay, TrayBadge::Completed), TrayBadge::UnderWay);
    QCOMPARE(WorseBadge(TrayBadge::None, TrayBadge::Completed), TrayBadge::Completed);
    // Slow is up, but worth a look: above completed and under way, below failed.
    QCOMPARE(WorseBadge(TrayBadge::Completed, TrayBadge::Slow), TrayBadge::Slow);
    QCOMPARE(WorseBadge(TrayBadge::Slow, TrayBadge::UnderWay), TrayBadge::Slow);
    QCOMPARE(WorseBadge(TrayBadge::Slow, TrayBadge::Failed), TrayBadge::Failed);
}

void TestTrayBadge::badgeIsDrawnInItsColour() {
    QPixmap plain(32, 32);
    plain.fill(Qt::blue);
    const QIcon base(plain);
    QCOMPARE(BadgePixel(BadgedIcon(base, TrayBadge::None)), QColor(Qt::blue));
    for (TrayBadge badge : {TrayBadge::Completed, TrayBadge::UnderWay, TrayBadge::Slow,
                            TrayBadge::Failed, TrayBadge::NoNetwork}) {
        const QIcon icon = BadgedIcon(base, badge);
        QCOMPARE(BadgeSidePixel(icon), BadgeColor(badge));
        // Grey alone could pass for idle: a white stroke crosses it.
        if (badge == TrayBadge::NoNetwork)
            QCOMPARE(icon.pixmap(32, 32).toImage().pixelColor(24, 24), QColor(Qt::white));
        // The rest of the icon is left as it was.
        QCOMPARE(icon.pixmap(32, 32).toImage().pixelColor(4, 4), QColor(Qt::blue));
    }
    // The three states can be told apart at a glance.
    QVERIFY(BadgeColor(TrayBadge::Completed) != BadgeColor(TrayBadge::Failed));
    QVERIFY(BadgeColor(TrayBadge::UnderWay) != BadgeColor(TrayBadge::Failed));
    QVERIFY(BadgeColor(TrayBadge::NoNetwork) != BadgeColor(TrayBadge::Failed));
    // Snoozed alerts: a grey mark in the opposite corner, the badge kept; a row's icon has the
    // mark alone.
    const QImage muted = BadgedIcon(base, TrayBadge::Failed, true).pixmap(32, 32).toImage();
    QCOMPARE(muted.pixelColor(5, 5), MutedMarkColor());
    QCOMPARE(muted.pixelColor(24, 19), BadgeColor(TrayBadge::Failed)); // above its cross
    const QImage row = MutedIcon(base).pixmap(32, 32).toImage();
    QCOMPARE(row.pixelColor(5, 5), MutedMarkColor());
    QCOMPARE(row.pixelColor(24, 24), QColor(Qt::blue));
}

// Without colour (light pixels only) the four states still differ at every tray size.
void TestTrayBadge::badgeShapesTellStatesApartWithoutColour() {
    QPixmap plain(64, 64);
    plain.fill(Qt::blue);
    for (const int side : {16, 22, 32, 48}) {
        QList<QList<bool>> marks;
        for (TrayBadge state :
             {TrayBadge::Completed, TrayBadge::UnderWay, TrayBadge::Slow, TrayBadge::Failed}) {
            const QList<bool> mark = MarkOf(BadgedIcon(QIcon(plain), state), side);
            QVERIFY2(mark.count(true) > 0 && mark.count(true) < mark.size() / 2,
                     qPrintable(QString::number(side)));
            QVERIFY2(!marks.contains(mark), qPrintable(QString::number(side)));
            marks << mark;
        }
    }
}

void TestTrayBadge::iconFollowsTheMainPing() {
    PingWindowFixture fx;
    QVERIFY(fx.w);
    TfMain_Vennatro *w = fx.w;
    // No badge before the first ping.
    QVERIFY(BadgePixel(w->NotifyIcon->Icon()) != BadgeColor(TrayBadge::Completed));
    QVERIFY(BadgePixel(w->NotifyIcon->Icon()) != BadgeColor(TrayBadge::Failed));

    TestTcpServer http;
    QVERIFY(http.listen());
    http.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"}));
    Options.HTTPPort = http.port();
    // Shown whatever the notification settings say.
    Options.ShowNotifications = false;
    fx.Ping(QStringLiteral("web.test"));
    QCOMPARE(BadgePixel(w->NotifyIcon->Icon()), BadgeColor(TrayBadge::UnderWay));
    QTRY_VERIFY_WITH_TIMEOUT(
        fx.Idle() && EngineProbe(w->Session->Engine()).PingOutcome() == poSucceeded, Patience);
    QCOMPARE(BadgePixel(w->NotifyIcon->Icon()), BadgeColor(TrayBadge::Completed));
    QCOMPARE(BadgePixel(LastIcon(fx.shell)), BadgeColor(TrayBadge::Completed));
    // Kept after the result's hold ends.
    w->TimerNotificationTimer();
    QCOMPARE(BadgePixel(w->NotifyIcon->Icon()), BadgeColor(TrayBadge::Completed));

    // A slow answer: completed, yet amber on the icon and in the status image.
    TestTcpServer late;
    QVERIFY(late.listen());
    TestTcpServer::Script script = TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"});
    script.delayMs = 250;
    late.setScript(script);
    Options.HTTPPort = late.port();
    Options.SlowAbove = 100;
    fx.Ping(QStringLiteral("web.test"));
    QTRY_VERIFY_WITH_TIMEOUT(fx.Idle() && w->StatusImageIndex == 4, Patience);
    QCOMPARE(BadgePixel(w->NotifyIcon->Icon()), BadgeColor(TrayBadge::Slow));
    w->TimerNotificationTimer(); // the tool-tip shows the last result once the hold ends
    QTRY_VERIFY2(w->NotifyIcon->ShownToolTip().contains(QStringLiteral(" s (slow) at ")),
                 qPrintable(w->NotifyIcon->ShownToolTip()));
    Options.SlowAbove = 0;

    Options.HTTPPort = TestTcpServer::closedPort();
    fx.Ping(QStringLiteral("web.test"));
    QTRY_VERIFY_WITH_TIMEOUT(fx.Idle() && w->StatusImageIndex == 3, Patience);
    QCOMPARE(BadgePixel(w->NotifyIcon->Icon()), BadgeColor(TrayBadge::Failed));
    QCOMPARE(BadgePixel(LastIcon(fx.shell)), BadgeColor(TrayBadge::Failed));

    // A failing watched address keeps the icon red after the main ping answers again.
    Options.HTTPPort = http.port();
    QVERIFY(w->Session->Watched()->Add(
        QStringLiteral("http://127.0.0.1:%1/").arg(TestTcpServer::closedPort())));
    w->Session->Watched()->SetIntervalMs(60000);
    w->Session->Watched()->PingNow(0);
    QTRY_COMPARE_WITH_TIMEOUT(w->Session->Watched()->Down(), 1, Patience);
    fx.Ping(QStringLiteral("web.test"));
    QTRY_VERIFY_WITH_TIMEOUT(
        fx.Idle() && EngineProbe(w->Session->Engine()).PingOutcome() == poSucceeded, Patience);
    QCOMPARE(BadgePixel(w->NotifyIcon->Icon()), BadgeColor(TrayBadge::Failed));
    // And green once it is gone.
    w->Session->Watched()->Remove(0);
    QCOMPARE(BadgePixel(w->NotifyIcon->Icon()), BadgeColor(TrayBadge::Completed));

    // This computer has no network: grey, not red, in the tray and the status image, and the
    // tool-tip says so first. The routes alone judge (this machine's backend stays out).
    w->Session->NetworkFacts()->SetSystemBackend(false);
    Options.TellNetworkOutages = true;
    w->ApplySettings();
    NetworkVerdict::Failure failure;
    failure.address = QStringLiteral("http://198.51.100.7/");
    failure.tried = {QHostAddress(QStringLiteral("198.51.100.7"))};
    failure.code = 10051; // Network is unreachable
    QCOMPARE(w->Session->Network()->Judge(failure), NetworkVerdict::Answer::NoNetwork);
    QCOMPARE(BadgeSidePixel(w->NotifyIcon->Icon()), BadgeColor(TrayBadge::NoNetwork));
    QCOMPARE(BadgeSidePixel(LastIcon(fx.shell)), BadgeColor(TrayBadge::NoNetwork));
    w->TimerNotificationTimer(); // the status shows the state once the last result's hold ends
    QCOMPARE(w->StatusImageIndex, 5);
    QVERIFY2(w->NotifyIcon->ToolTip().startsWith(QStringLiteral("No network connection\r")),
             qPrintable(w->NotifyIcon->ToolTip()));
    // Off: every failure is the site's again, and the icon shows the addresses' state.
    Options.TellNetworkOutages = false;
    w->ApplySettings();
    QCOMPARE(BadgePixel(w->NotifyIcon->Icon()), BadgeColor(TrayBadge::Completed));
    QVERIFY(!w->NotifyIcon->ToolTip().startsWith(QStringLiteral("No network connection")));
}

// The error ping checks a second address: its progress and its answer never turn the failed
// address's red badge amber or green, nor reach the tool-tip.
void TestTrayBadge::errorPingLeavesTheFailureOnTheIcon() {
    PingWindowFixture fx;
    QVERIFY(fx.w);
    TestTcpServer https;
    QVERIFY(https.listen());
    Options.HTTPPort = TestTcpServer::closedPort();
    Options.HTTPSPort = https.port();
    Options.PingOnError = true;
    Options.ErrorPingAddress = QStringLiteral("https://error.test");
    fx.Ping(QStringLiteral("web.test"));
    QTRY_VERIFY_WITH_TIMEOUT(fx.Idle() && https.connectionCount() == 1 &&
                                 fx.NewLog().contains(QLatin1String("/error.test/] (port")),
                             Patience);
    QList<QColor> badges;
    for (const auto &call : fx.shell->Calls) {
        if (!call.icon.isNull())
            badges << BadgePixel(call.icon);
        QVERIFY2(!call.toolTip.contains(QLatin1String("error.test")), qPrintable(call.toolTip));
    }
    // Amber while the address is pinged, then red for good: never green, amber only once.
    QCOMPARE(badges.count(BadgeColor(TrayBadge::UnderWay)), 1);
    QCOMPARE(badges.count(BadgeColor(TrayBadge::Completed)), 0);
    QCOMPARE(badges.last(), BadgeColor(TrayBadge::Failed));
    fx.w->TimerNotificationTimer();
    QVERIFY2(fx.w->NotifyIcon->ShownToolTip().startsWith(
                 QLatin1String("Vennatro\rhttp://web.test/: failed (Connection refused) at ")),
             qPrintable(fx.w->NotifyIcon->ShownToolTip()));
}

QTEST_MAIN(TestTrayBadge)
#include "test_traybadge.moc"
