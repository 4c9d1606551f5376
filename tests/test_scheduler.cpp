// Automatic ping: switching on and off, the captured target, the tick rules and the idle
// status display with its countdown.

#include "support/EngineProbe.h"
#include "support/TestHelpers.h"
#include "support/TestTcpServer.h"
#include "support/gui/PingWindowFixture.h"
#include "support/gui/TestEnvironment.h"

#include <QAction>
#include <QComboBox>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

namespace {

constexpr int NoRealTicks = 24 * 3600 * 1000; // keeps the timer on without it ever firing

QString Countdown(const QString &address, int minutes, const QString &next) {
    return QStringLiteral("Enabled automatic ping to [") + address + QStringLiteral("] each ") +
           QString::number(minutes) + QStringLiteral(" minutes (next ping in ") + next +
           QLatin1Char(')');
}

// The icon's tool-tip after a completed ping of address, with the status line under it.
// The tool-tip's lines: the title and the status first, then the last result.
bool TipAfterPing(const QString &tip, const QString &address, const QString &status) {
    const QRegularExpression last(QStringLiteral("^%1: completed in \\d+\\.\\d{3} s at "
                                                 "\\d\\d:\\d\\d$")
                                      .arg(QRegularExpression::escape(address)));
    QStringList lines = tip.split(QLatin1Char('\r'));
    const QString result = lines.isEmpty() ? QString() : lines.takeLast();
    return last.match(result).hasMatch() &&
           lines == (status.isEmpty() ? QStringList{"Vennatro"} : QStringList{"Vennatro", status});
}

} // namespace

class TestScheduler : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void offAtStart();
    void emptyBoxShowsMessageAndMarkEndsOff();
    void rejectedAddressLeavesItOff();
    void switchingOnCapturesTargetAndPingsAtOnce();
    void countdownTexts();
    void scheduledPingStartsOnTheTickAfterZero();
    void dueWhileBusyWaitsForTheSocket();
    void intervalZeroPingsOnEveryFreeTick();
    void manualPingInBetweenKeepsAutomaticTarget();
    void scheduledPingUsesThePortOfItsOwnScheme();
    void switchingOffClearsPanel();
    void periodThatDoesNotFitFallsBackToDefault();
    void realTimerStartsScheduledPing();
    void autoPingAtStart();
    void changedIntervalAppliesToTheRunningPing();
    void countdownIsNeverCutByTheAddedLines();

private:
    // Switches automatic ping on for text and waits until its first ping has ended.
    void SwitchOn(const QString &text);
    std::unique_ptr<PingWindowFixture> fx;
    TfMain_Vennatro *w = nullptr;
    const MainWindowParts *ui = nullptr;
    std::unique_ptr<TestTcpServer> http;
};

void TestScheduler::init() {
    fx = std::make_unique<PingWindowFixture>();
    w = fx->w;
    ui = &fx->ui;
    http = std::make_unique<TestTcpServer>();
    QVERIFY(http->listen());
    http->setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"}));
    Options.HTTPPort = http->port();
    Options.AutoPingInterval = 15;
}

void TestScheduler::cleanup() {
    fx.reset();
    http.reset();
    w = nullptr;
    ui = nullptr;
}

void TestScheduler::SwitchOn(const QString &text) {
    ui->cmbAddress->setEditText(text);
    w->ApplySettings();
    ui->actAutoPing->trigger();
    QVERIFY(w->AutoPingOn());
    w->Session->Scheduler()->Timer()->setInterval(NoRealTicks); // the test ticks by hand
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle(), Patience);
}

void TestScheduler::offAtStart() {
    QVERIFY(!w->AutoPingOn());
    QVERIFY(!w->Session->Scheduler()->Timer()->isActive());
    QCOMPARE(w->Session->Scheduler()->Timer()->interval(), 1000);
    QVERIFY(!ui->actAutoPing->isChecked());
    QCOMPARE(w->StatusHint(), QStringLiteral("Inactive"));
    QCOMPARE(w->StatusImageIndex, 1);
    QCOMPARE(w->StatusText(), QString());
    QCOMPARE(w->NotifyIcon->ToolTip(), QStringLiteral("Vennatro"));
}

void TestScheduler::emptyBoxShowsMessageAndMarkEndsOff() {
    auto *button = qobject_cast<QToolButton *>(ui->ToolBar->widgetForAction(ui->actAutoPing));
    QVERIFY(button);
    QSignalSpy marks(ui->actAutoPing, &QAction::toggled);
    qsizetype marksAtMessage = -1;
    fx->env.onMessage = [&](const MessageBoxRequest &) { marksAtMessage = marks.size(); };
    ui->cmbAddress->setEditText(QString());
    w->ApplySettings();
    ui->actAutoPing->trigger();

    QCOMPARE(fx->messages.size(), 1);
    QCOMPARE(fx->messages[0].text, QStringLiteral("No address specified."));
    QCOMPARE(fx->messages[0].caption, QStringLiteral("Warning"));
    QCOMPARE(fx->messages[0].icon, MessageIcon::Warning);
    QCOMPARE(fx->messages[0].owner, static_cast<QWidget *>(w));
    QVERIFY(!w->AutoPingOn());
    QVERIFY(!ui->actAutoPing->isChecked());
    QVERIFY(!button->isChecked());
    // After the message the mark went on and came off again.
    QVERIFY(marksAtMessage >= 0);
    QCOMPARE(marks.size() - marksAtMessage, 2);
    QCOMPARE(marks.at(marksAtMessage).at(0).toBool(), true);
    QCOMPARE(marks.last().at(0).toBool(), false);
    QCOMPARE(fx->resolver.requestCount(), 0);
}

void TestScheduler::rejectedAddressLeavesItOff() {
    ui->cmbAddress->setEditText(QStringLiteral("ftp://files.test/"));
    w->ApplySettings();
    ui->actAutoPing->trigger();
    QCOMPARE(fx->messages.size(), 1);
    QCOMPARE(fx->messages[0].text, QStringLiteral("Only HTTP and HTTPS protocols are supported."));
    QVERIFY(!w->AutoPingOn());
    QVERIFY(!ui->actAutoPing->isChecked());
    QVERIFY(w->Session->AutoPingAddress().isEmpty());
    QCOMPARE(fx->resolver.requestCount(), 0);
}

void TestScheduler::switchingOnCapturesTargetAndPingsAtOnce() {
    ui->cmbAddress->setEditText(QStringLiteral(" web.test/status "));
    w->ApplySettings();
    ui->actAutoPing->trigger();

    QVERIFY(w->AutoPingOn());
    QVERIFY(ui->actAutoPing->isChecked());
    QCOMPARE(w->Session->AutoPingAddress(), QStringLiteral("http://web.test/status"));
    QCOMPARE(w->Session->AutoPingTarget().host, QStringLiteral("web.test"));
    QCOMPARE(w->Session->AutoPingTarget().path, QStringLiteral("/status"));
    QCOMPARE(w->Session->Scheduler()->AutoPingSeconds(), 900u);
    QCOMPARE(w->Session->Scheduler()->AutoPingElapsed(), 0);
    // The first ping starts at once; the countdown is not shown while it runs.
    QVERIFY(w->Session->Engine()->Busy());
    QCOMPARE(w->StatusText(),
             QStringLiteral("Pinging http://web.test/status (1 of 1 attempts) ..."));
    w->Session->Scheduler()->Timer()->setInterval(NoRealTicks);
    w->TimerTimer();
    QCOMPARE(w->StatusText(),
             QStringLiteral("Pinging http://web.test/status (1 of 1 attempts) ..."));

    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle(), Patience);
    QTRY_COMPARE_WITH_TIMEOUT(http->connectionCount(), 1, Patience);
    QVERIFY(http->received(0).startsWith("HEAD /status HTTP/1.0\r\nHost: web.test\r\n"));
    // ... nor while its result is held.
    w->TimerTimer();
    w->TimerTimer();
    QCOMPARE(w->StatusText(), QStringLiteral("Connection to [http://web.test/status] completed."));
    QCOMPARE(w->StatusImageIndex, 2);
    // Then the full period minus the seconds already counted.
    w->TimerNotificationTimer();
    const QString text = Countdown(QStringLiteral("http://web.test/status"), 15, "14:57");
    QCOMPARE(w->StatusText(), text);
    QVERIFY2(
        TipAfterPing(w->NotifyIcon->ShownToolTip(), QStringLiteral("http://web.test/status"), text),
        qPrintable(w->NotifyIcon->ShownToolTip()));
    QCOMPARE(w->StatusHint(), QStringLiteral("Inactive"));
    QCOMPARE(w->StatusImageIndex, 1);
}

void TestScheduler::countdownTexts() {
    SwitchOn(QStringLiteral("web.test"));
    w->TimerNotificationTimer();
    for (int i = 0; i < 900 - 125; ++i)
        w->TimerTimer();
    QCOMPARE(w->Session->Scheduler()->AutoPingElapsed(), 775);
    const QString text = Countdown(QStringLiteral("http://web.test/"), 15, "02:05");
    QCOMPARE(w->StatusText(), text);
    QVERIFY2(TipAfterPing(w->NotifyIcon->ShownToolTip(), QStringLiteral("http://web.test/"), text),
             qPrintable(w->NotifyIcon->ShownToolTip()));
    for (int i = 0; i < 125; ++i)
        w->TimerTimer();
    QCOMPARE(w->StatusText(), Countdown(QStringLiteral("http://web.test/"), 15, "00:00"));

    // With the hint already "Inactive" the picture is left as it is.
    w->ShowStatusImage(2);
    w->UpdateStatus();
    QCOMPARE(w->StatusImageIndex, 2);

    // A long interval: minutes are not capped at two digits.
    w->ApplySettings();
    w->actAutoPingExecute();
    QVERIFY(!w->AutoPingOn());
    Options.AutoPingInterval = 120;
    SwitchOn(QStringLiteral("web.test"));
    QCOMPARE(w->Session->Scheduler()->AutoPingSeconds(), 7200u);
    w->TimerNotificationTimer();
    QCOMPARE(w->StatusText(), Countdown(QStringLiteral("http://web.test/"), 120, "120:00"));
    w->TimerTimer();
    QCOMPARE(w->StatusText(), Countdown(QStringLiteral("http://web.test/"), 120, "119:59"));
}

void TestScheduler::scheduledPingStartsOnTheTickAfterZero() {
    Options.AutoPingInterval = 1;
    SwitchOn(QStringLiteral("web.test"));
    QCOMPARE(http->connectionCount(), 1);
    w->TimerNotificationTimer();
    for (int i = 0; i < 60; ++i)
        w->TimerTimer();
    QCOMPARE(w->Session->Scheduler()->AutoPingElapsed(), 60);
    QCOMPARE(http->connectionCount(), 1);
    QVERIFY(!w->Session->Engine()->Busy());
    // The 61st tick starts the scheduled ping and restarts the count.
    w->TimerTimer();
    QCOMPARE(w->Session->Scheduler()->AutoPingElapsed(), 0);
    QVERIFY(w->Session->Engine()->Busy());
    QCOMPARE(EngineProbe(w->Session->Engine()).AttemptCount(), 1u);
    QCOMPARE(w->StatusText(), QStringLiteral("Pinging http://web.test/ (1 of 1 attempts) ..."));
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle(), Patience);
    QCOMPARE(http->connectionCount(), 2);
    QCOMPARE(PingWindowFixture::Count(fx->NewLog(), QStringLiteral("completed in")), 2);
}

void TestScheduler::dueWhileBusyWaitsForTheSocket() {
    // Connection 1 is a manual ping the server never answers.
    http->setScriptFor(1, TestTcpServer::Script::neverAnswer());
    Options.AutoPingInterval = 1;
    SwitchOn(QStringLiteral("web.test/auto"));
    w->TimerNotificationTimer();

    ui->cmbAddress->setEditText(QStringLiteral("web.test/manual"));
    w->ApplySettings();
    w->actPingExecute();
    QTRY_VERIFY_WITH_TIMEOUT(http->requestComplete(1), Patience);
    QVERIFY(EngineProbe(w->Session->Engine()).ClientSocket()->Active());
    w->Session->Scheduler()->SetElapsed(60);
    for (int i = 0; i < 3; ++i)
        w->TimerTimer();
    QCOMPARE(w->Session->Scheduler()->AutoPingElapsed(), 60);
    QCOMPARE(http->connectionCount(), 2);
    QCOMPARE(EngineProbe(w->Session->Engine()).TargetAddress(),
             QStringLiteral("http://web.test/manual"));

    // A ping still looking up its host counts as busy too.
    w->actCancelExecute();
    fx->resolver.addHost(QStringLiteral("held.test"), QStringLiteral("127.0.0.1"),
                         TableResolver::Held);
    ui->cmbAddress->setEditText(QStringLiteral("held.test"));
    w->ApplySettings();
    w->actPingExecute();
    QVERIFY(w->Session->Engine()->Busy());
    QVERIFY(!EngineProbe(w->Session->Engine()).ClientSocket()->Active());
    const int requests = fx->resolver.requestCount();
    w->TimerTimer();
    QCOMPARE(w->Session->Scheduler()->AutoPingElapsed(), 60);
    QCOMPARE(fx->resolver.requestCount(), requests);
    QCOMPARE(EngineProbe(w->Session->Engine()).TargetAddress(),
             QStringLiteral("http://held.test/"));

    // The first tick after the connection has ended starts the scheduled ping.
    w->actCancelExecute();
    QVERIFY(!EngineProbe(w->Session->Engine()).ClientSocket()->Active());
    w->TimerTimer();
    QCOMPARE(w->Session->Scheduler()->AutoPingElapsed(), 0);
    QCOMPARE(EngineProbe(w->Session->Engine()).TargetAddress(),
             QStringLiteral("http://web.test/auto"));
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle(), Patience);
    QCOMPARE(http->connectionCount(), 3);
    QVERIFY(http->received(2).startsWith("HEAD /auto HTTP/1.0\r\nHost: web.test\r\n"));
}

void TestScheduler::intervalZeroPingsOnEveryFreeTick() {
    Options.AutoPingInterval = 0;
    SwitchOn(QStringLiteral("web.test"));
    QCOMPARE(w->Session->Scheduler()->AutoPingSeconds(), 0u);
    QCOMPARE(http->connectionCount(), 1);
    w->TimerTimer();
    QVERIFY(w->Session->Engine()->Busy());
    w->TimerTimer(); // busy: nothing new
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle(), Patience);
    QCOMPARE(http->connectionCount(), 2);
    w->TimerTimer();
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle(), Patience);
    QCOMPARE(http->connectionCount(), 3);
    QCOMPARE(fx->resolver.requestCount(), 3);
}

void TestScheduler::manualPingInBetweenKeepsAutomaticTarget() {
    Options.AutoPingInterval = 1;
    SwitchOn(QStringLiteral("web.test/auto"));
    ui->cmbAddress->setEditText(QStringLiteral("error.test/manual"));
    w->ApplySettings();
    w->actPingExecute();
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle(), Patience);
    QCOMPARE(EngineProbe(w->Session->Engine()).TargetAddress(),
             QStringLiteral("http://error.test/manual"));
    QCOMPARE(w->Session->AutoPingAddress(), QStringLiteral("http://web.test/auto"));
    QCOMPARE(w->Session->AutoPingTarget().host, QStringLiteral("web.test"));
    QCOMPARE(w->Session->AutoPingTarget().path, QStringLiteral("/auto"));

    w->Session->Scheduler()->SetElapsed(60);
    w->TimerTimer();
    QCOMPARE(EngineProbe(w->Session->Engine()).TargetAddress(),
             QStringLiteral("http://web.test/auto"));
    QCOMPARE(EngineProbe(w->Session->Engine()).TargetHost(), QStringLiteral("web.test"));
    QCOMPARE(EngineProbe(w->Session->Engine()).TargetPath(), QStringLiteral("/auto"));
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle(), Patience);
    QCOMPARE(http->connectionCount(), 3);
    QVERIFY(http->received(1).startsWith("HEAD /manual HTTP/1.0\r\nHost: error.test\r\n"));
    QVERIFY(http->received(2).startsWith("HEAD /auto HTTP/1.0\r\nHost: web.test\r\n"));
    // The box keeps what the user typed last.
    QCOMPARE(ui->cmbAddress->currentText(), QStringLiteral("http://error.test/manual"));
}

void TestScheduler::scheduledPingUsesThePortOfItsOwnScheme() {
    TestTcpServer https;
    QVERIFY(https.listen());
    https.setScript(TestTcpServer::Script::neverAnswer());
    Options.HTTPSPort = https.port();
    Options.AutoPingInterval = 1;
    SwitchOn(QStringLiteral("https://web.test/"));
    QCOMPARE(https.connectionCount(), 1);

    // A manual HTTP ping leaves the HTTP port on the socket.
    ui->cmbAddress->setEditText(QStringLiteral("web.test"));
    w->ApplySettings();
    w->actPingExecute();
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle(), Patience);
    QCOMPARE(EngineProbe(w->Session->Engine()).ClientSocket()->Port(), int(http->port()));
    fx->Mark();

    w->Session->Scheduler()->SetElapsed(60);
    w->TimerTimer();
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle(), Patience);
    QCOMPARE(https.connectionCount(), 2);
    QCOMPARE(http->connectionCount(), 1);
    QVERIFY2(fx->Matches(fx->NewLog(), SuccessBar +
                                           QStringLiteral("\r\n[{STAMP}] Connection to "
                                                          "[https://web.test/] (port ") +
                                           QString::number(https.port()) +
                                           QStringLiteral(") completed in {SECS} "
                                                          "seconds.\r\n\r\n\r\n")),
             PingWindowFixture::Visible(fx->NewLog()));
}

void TestScheduler::switchingOffClearsPanel() {
    SwitchOn(QStringLiteral("web.test"));
    w->TimerNotificationTimer();
    QVERIFY(w->StatusText().startsWith(QLatin1String("Enabled automatic ping")));

    w->ApplySettings();
    ui->actAutoPing->trigger();
    QVERIFY(!w->AutoPingOn());
    QVERIFY(!ui->actAutoPing->isChecked());
    QCOMPARE(w->StatusText(), QString());
    QVERIFY2(
        TipAfterPing(w->NotifyIcon->ShownToolTip(), QStringLiteral("http://web.test/"), QString()),
        qPrintable(w->NotifyIcon->ShownToolTip()));
    QCOMPARE(w->StatusHint(), QStringLiteral("Inactive"));

    // Switched off while a result is held: the held result stays until the hold ends.
    SwitchOn(QStringLiteral("web.test"));
    QVERIFY(w->TimerNotification->isActive());
    w->ApplySettings();
    ui->actAutoPing->trigger();
    QCOMPARE(w->StatusText(), QStringLiteral("Connection to [http://web.test/] completed."));
    w->TimerNotificationTimer();
    QCOMPARE(w->StatusText(), QString());
    QVERIFY2(
        TipAfterPing(w->NotifyIcon->ShownToolTip(), QStringLiteral("http://web.test/"), QString()),
        qPrintable(w->NotifyIcon->ShownToolTip()));
}

void TestScheduler::periodThatDoesNotFitFallsBackToDefault() {
    const QList<QPair<quint32, quint32>> cases = {
        {0xFFFFFFFFu, 900u},      // -1 as stored
        {0x80000000u, 900u},      // the most negative value
        {40000000u, 900u},        // x 60 does not fit a signed 32-bit count
        {35791394u, 2147483640u}, // the largest period that fits
        {120u, 7200u},
        {0u, 0u},
    };
    for (const auto &[minutes, seconds] : cases) {
        Options.AutoPingInterval = minutes;
        SwitchOn(QStringLiteral("web.test"));
        QCOMPARE(w->Session->Scheduler()->AutoPingSeconds(), seconds);
        w->TimerNotificationTimer();
        QVERIFY2(w->StatusText().contains(QStringLiteral(" each %1 minutes").arg(seconds / 60)),
                 qPrintable(w->StatusText()));
        w->ApplySettings();
        w->actAutoPingExecute();
        QVERIFY(!w->AutoPingOn());
    }
}

void TestScheduler::realTimerStartsScheduledPing() {
    Options.AutoPingInterval = 0;
    ui->cmbAddress->setEditText(QStringLiteral("web.test"));
    w->ApplySettings();
    ui->actAutoPing->trigger();
    QVERIFY(w->Session->Scheduler()->Timer()->isActive());
    QCOMPARE(w->Session->Scheduler()->Timer()->interval(), 1000);
    QTRY_VERIFY_WITH_TIMEOUT(http->connectionCount() >= 2 && fx->Idle(), Patience);
    w->ApplySettings();
    w->actAutoPingExecute();
    QVERIFY(!w->Session->Scheduler()->Timer()->isActive());
}

void TestScheduler::autoPingAtStart() {
    // A window of its own whose store asks for automatic ping at start; its socket uses the
    // system resolver, so the address is a numeric one that needs no lookup.
    fx.reset();
    TestEnvironment env;
    QVERIFY(env.WriteStore("\"Auto-ping at start\"=dword:00000001\r\n"
                           "\"Auto-ping address\"=\"127.0.0.1/start\"\r\n"
                           "\"Auto-ping interval\"=dword:00000005\r\n" +
                           QStringLiteral("\"HTTP port\"=dword:%1\r\n")
                               .arg(http->port(), 8, 16, QLatin1Char('0'))
                               .toUtf8()));
    {
        TfMain_Vennatro window(new PingSession);

        QVERIFY(window.AutoPingOn());
        QVERIFY(Find<QAction>(&window, "actAutoPing")->isChecked());
        QCOMPARE(window.Session->AutoPingAddress(), QStringLiteral("http://127.0.0.1/start"));
        QCOMPARE(window.Session->Scheduler()->AutoPingSeconds(), 300u);
        QTRY_VERIFY_WITH_TIMEOUT(!window.Session->Engine()->Busy() && http->connectionCount() == 1,
                                 Patience);
        QVERIFY(http->received(0).startsWith("HEAD /start HTTP/1.0\r\nHost: 127.0.0.1\r\n"));
        window.actAutoPingExecute();
    }
    QVERIFY(env.messages.isEmpty());
}

// The options dialog's OK hands the session the new interval: the countdown follows it from
// the seconds already counted, and a period already reached pings on the next tick.
void TestScheduler::changedIntervalAppliesToTheRunningPing() {
    SwitchOn(QStringLiteral("web.test"));
    w->TimerNotificationTimer();
    for (int i = 0; i < 100; ++i)
        w->TimerTimer();
    QCOMPARE(w->StatusText(), Countdown(QStringLiteral("http://web.test/"), 15, "13:20"));

    Options.AutoPingInterval = 5;
    w->ApplySettings();
    QCOMPARE(w->Session->Scheduler()->AutoPingSeconds(), 300u);
    w->TimerTimer();
    QCOMPARE(w->StatusText(), Countdown(QStringLiteral("http://web.test/"), 5, "03:19"));

    Options.AutoPingInterval = 1;
    w->ApplySettings();
    QCOMPARE(w->Session->Scheduler()->AutoPingElapsed(), 60);
    w->TimerTimer();
    QTRY_VERIFY_WITH_TIMEOUT(fx->Idle() && http->connectionCount() == 2, Patience);
    QCOMPARE(w->Session->Scheduler()->AutoPingElapsed(), 0);
}

// The status lines come first in the tray's tool-tip: the last result added below them never
// pushes the countdown out (a 127-character host keeps what is left of it).
void TestScheduler::countdownIsNeverCutByTheAddedLines() {
    const QString address = QStringLiteral("http://web.test/") + QString(32, QLatin1Char('p'));
    SwitchOn(address);
    w->TimerNotificationTimer();
    const QString countdown = Countdown(address, 15, "15:00");
    QVERIFY2(TipAfterPing(fx->shell->Calls.constLast().toolTip, address, countdown),
             qPrintable(fx->shell->Calls.constLast().toolTip));
    fx->shell->config.longToolTips = false;
    w->TimerTimer();
    const QString shown = w->NotifyIcon->ShownToolTip();
    QVERIFY2(shown.size() == 127 &&
                 shown.startsWith("Vennatro\r" + Countdown(address, 15, "14:59") + "\rhttp"),
             qPrintable(shown));
}

QTEST_MAIN(TestScheduler)
#include "test_scheduler.moc"
