#include "platform/gui/QtTrayShell.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QMutex>
#include <QProcess>
#include <QStandardPaths>
#include <QStyleHints>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

struct Notification {
    QString appName;
    uint replacesId = 0;
    QString icon;
    QString summary;
    QString body;
    QStringList actions;
    QVariantMap hints;
    int timeout = 0;
};
} // namespace

// A notification server on its own thread (the shell waits for its answers on the test's).
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    explicit FakeNotifications(bool bodyMarkup) : m_bodyMarkup(bodyMarkup) {}

    QList<Notification> notifications() const {
        QMutexLocker lock(&m_mutex);
        return m_notifications;
    }
    QList<uint> closed() const {
        QMutexLocker lock(&m_mutex);
        return m_closed;
    }

public slots:
    uint Notify(const QString &appName, uint replacesId, const QString &icon,
                const QString &summary, const QString &body, const QStringList &actions,
                const QVariantMap &hints, int timeout) {
        QMutexLocker lock(&m_mutex);
        m_notifications.append({appName, replacesId, icon, summary, body, actions, hints, timeout});
        return replacesId != 0 ? replacesId : ++m_lastId;
    }
    void CloseNotification(uint id) {
        QMutexLocker lock(&m_mutex);
        m_closed.append(id);
    }
    QStringList GetCapabilities() {
        QStringList caps{QStringLiteral("actions"), QStringLiteral("body")};
        if (m_bodyMarkup)
            caps << QStringLiteral("body-markup");
        return caps;
    }

private:
    const bool m_bodyMarkup;
    mutable QMutex m_mutex;
    QList<Notification> m_notifications;
    QList<uint> m_closed;
    uint m_lastId = 100;
};

class TestTrayShell : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QProcess daemon;
    QString address;
    QThread serverThread;
    std::unique_ptr<FakeNotifications> server;
    std::unique_ptr<QtTrayShell> shell;
    int connectionCount = 0;
    QString shellBusName;
    int markers = 0;

    QDBusConnection serverBus() { return QDBusConnection(QStringLiteral("fake-server")); }

    void startServer(bool bodyMarkup) {
        server = std::make_unique<FakeNotifications>(bodyMarkup);
        server->moveToThread(&serverThread);
        QDBusConnection bus = QDBusConnection::connectToBus(address, QStringLiteral("fake-server"));
        QVERIFY(bus.isConnected());
        QVERIFY(bus.registerObject(kPath, server.get(), QDBusConnection::ExportAllSlots));
        QVERIFY(bus.registerService(kService));
    }

    void stopServer() {
        serverBus().unregisterService(kService);
        serverBus().unregisterObject(kPath);
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-server"));
        server.reset();
    }

    void makeShell() {
        shellBusName = QStringLiteral("shell-%1").arg(++connectionCount);
        QDBusConnection bus = QDBusConnection::connectToBus(address, shellBusName);
        QVERIFY(bus.isConnected());
        shell = std::make_unique<QtTrayShell>(bus, nullptr);
        QVERIFY(bus.connect(QString(), kPath, kInterface, QStringLiteral("Marker"), this,
                            SLOT(onMarker())));
    }

    void dropShell() {
        QDBusConnection(shellBusName)
            .disconnect(QString(), kPath, kInterface, QStringLiteral("Marker"), this,
                        SLOT(onMarker()));
        shell.reset();
        QDBusConnection::disconnectFromBus(shellBusName);
    }

    // Signals reach the shell's connection in the order sent: once a marker sent after them
    // has arrived, the shell has seen them all.
    void waitForSignalsSentSoFar() {
        const int expected = markers + 1;
        sendSignal(QStringLiteral("Marker"), {});
        QTRY_COMPARE_WITH_TIMEOUT(markers, expected, 10000);
    }

    void sendSignal(const QString &name, const QVariantList &args) {
        QDBusMessage signal = QDBusMessage::createSignal(kPath, kInterface, name);
        signal.setArguments(args);
        QVERIFY(serverBus().send(signal));
    }

private slots:
    void onMarker() { ++markers; }

    void initTestCase() {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (program.isEmpty())
            QSKIP("dbus-daemon is not installed");
        QVERIFY(dir.isValid());
        QFile config(dir.filePath(QStringLiteral("bus.conf")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(
            QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                           "Configuration 1.0//EN\" "
                           "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                           "<busconfig><type>session</type><listen>unix:path=%1</listen>"
                           "<auth>EXTERNAL</auth><policy context=\"default\">"
                           "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                           "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n")
                .arg(dir.filePath(QStringLiteral("bus")))
                .toUtf8());
        config.close();
        daemon.start(program, {QStringLiteral("--config-file=") + config.fileName(),
                               QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        QVERIFY(daemon.waitForStarted(10000));
        while (!daemon.canReadLine())
            QVERIFY(daemon.waitForReadyRead(10000));
        address = QString::fromUtf8(daemon.readLine()).trimmed();
        QVERIFY(!address.isEmpty());
        serverThread.start();
        // Two presses of the test come well within any double-click interval.
        QGuiApplication::styleHints()->setMouseDoubleClickInterval(60000);
    }

    void cleanupTestCase() {
        serverThread.quit();
        serverThread.wait();
        if (daemon.state() != QProcess::NotRunning) {
            daemon.terminate();
            daemon.waitForFinished(5000);
        }
    }

    void init() {
        startServer(false);
        makeShell();
    }

    void cleanup() {
        dropShell();
        stopServer();
    }

    void clickMapperCountsTwoReportsAsADoubleClick() {
        using R = TrayClickMapper::Report;
        TrayClickMapper mapper;
        QCOMPARE(mapper.trigger(1000, 400), R::Click);
        QCOMPARE(mapper.trigger(1300, 400), R::DoubleClick);
        // A third press starts over.
        QCOMPARE(mapper.trigger(1350, 400), R::Click);
        QCOMPARE(mapper.trigger(1900, 400), R::Click); // too late: a click of its own
        QCOMPARE(mapper.trigger(2300, 400), R::DoubleClick);
        // A host that names the double click: click, double click, then a fresh click.
        QCOMPARE(mapper.trigger(5000, 400), R::Click);
        QCOMPARE(mapper.doubleClick(), R::DoubleClick);
        QCOMPARE(mapper.trigger(5100, 400), R::Click);
    }

    void activationsBecomeClickReports() {
        QStringList reports;
        connect(shell.get(), &ITrayShell::leftButtonDown, this, [&] { reports << "click"; });
        connect(shell.get(), &ITrayShell::leftDoubleClick, this, [&] { reports << "double"; });
        connect(shell.get(), &ITrayShell::rightButtonUp, this, [&] { reports << "right"; });
        shell->activate(QSystemTrayIcon::Trigger);
        shell->activate(QSystemTrayIcon::Trigger);
        shell->activate(QSystemTrayIcon::Trigger);
        shell->activate(QSystemTrayIcon::DoubleClick);
        shell->activate(QSystemTrayIcon::Context);
        shell->activate(QSystemTrayIcon::MiddleClick);
        QCOMPARE(reports, QStringList({"click", "double", "click", "double", "right"}));
    }

    void noBalloonWithoutTheIcon() {
        QCOMPARE(shell->balloon(QStringLiteral("text"), QStringLiteral("title"), 1, 0), false);
        QVERIFY(server->notifications().isEmpty());
        QVERIFY(shell->add(QIcon(), QStringLiteral("tip")));
        QCOMPARE(shell->add(QIcon(), QStringLiteral("tip")), false); // once only
        QVERIFY(shell->modify(QIcon(), QStringLiteral("tip 2")));
        QVERIFY(shell->remove());
        QCOMPARE(shell->remove(), false);
        QCOMPARE(shell->modify(QIcon(), QStringLiteral("tip 3")), false);
    }

    void balloonIsADesktopNotification() {
        QGuiApplication::setDesktopFileName(QStringLiteral("dev.lumo.Vennatro"));
        QSignalSpy shown(shell.get(), &ITrayShell::balloonShown);
        QVERIFY(shell->add(QIcon(), QStringLiteral("Vennatro")));
        QVERIFY(shell->balloon(QStringLiteral("Connection to [x] completed.\rResponse: 200"),
                               QStringLiteral("Vennatro"), 1, 0));
        QVERIFY(shell->balloon(QStringLiteral("second"), QStringLiteral("Warn"), 2, 5000));
        QVERIFY(shell->balloon(QStringLiteral("third"), QString(), 3, 0));

        const QList<Notification> sent = server->notifications();
        QCOMPARE(sent.size(), 3);
        QCOMPARE(sent[0].appName, QStringLiteral("Vennatro"));
        QCOMPARE(sent[0].replacesId, 0u);
        QCOMPARE(sent[0].summary, QStringLiteral("Vennatro"));
        QCOMPARE(sent[0].body, QStringLiteral("Connection to [x] completed.\nResponse: 200"));
        QCOMPARE(sent[0].icon, QStringLiteral("dialog-information"));
        QVERIFY(sent[0].actions.size() >= 2);
        QCOMPARE(sent[0].actions.at(0), QStringLiteral("default"));
        QCOMPARE(sent[0].timeout, -1);
        // Filed under the program's desktop entry.
        QCOMPARE(sent[0].hints.value(QStringLiteral("desktop-entry")),
                 QVariant(QStringLiteral("dev.lumo.Vennatro")));
        // Each balloon replaces the one before.
        QCOMPARE(sent[1].replacesId, 101u);
        QCOMPARE(sent[1].icon, QStringLiteral("dialog-warning"));
        QCOMPARE(sent[1].timeout, 5000);
        QCOMPARE(sent[2].replacesId, 101u);
        QCOMPARE(sent[2].icon, QStringLiteral("dialog-error"));
        QTRY_COMPARE(shown.size(), 3);

        // A program without a desktop entry names none.
        QGuiApplication::setDesktopFileName(QString());
        QVERIFY(shell->balloon(QStringLiteral("fourth"), QString(), 1, 0));
        QVERIFY(!server->notifications().last().hints.contains(QStringLiteral("desktop-entry")));
    }

    void emptyTextClosesTheNotification() {
        QVERIFY(shell->add(QIcon(), QString()));
        QVERIFY(shell->balloon(QStringLiteral("showing"), QString(), 1, 0));
        QVERIFY(shell->balloon(QString(), QString(), 0, 0));
        QCOMPARE(server->closed(), QList<uint>({101u}));
        // Nothing showing: nothing to close, and no empty notification either.
        QVERIFY(shell->balloon(QString(), QString(), 0, 0));
        QCOMPARE(server->closed().size(), 1);
        QCOMPARE(server->notifications().size(), 1);
        // The next balloon is a new notification.
        QVERIFY(shell->balloon(QStringLiteral("again"), QString(), 1, 0));
        QCOMPARE(server->notifications().last().replacesId, 0u);
    }

    void removingTheIconClosesItsBalloon() {
        QVERIFY(shell->add(QIcon(), QString()));
        QVERIFY(shell->balloon(QStringLiteral("showing"), QString(), 1, 0));
        QVERIFY(shell->remove());
        QCOMPARE(server->closed(), QList<uint>({101u}));
    }

    void clicksAndClosesOfOurNotificationsAreReported() {
        QSignalSpy clicked(shell.get(), &ITrayShell::balloonClicked);
        QSignalSpy timedOut(shell.get(), &ITrayShell::balloonTimedOut);
        QSignalSpy hidden(shell.get(), &ITrayShell::balloonHidden);
        QVERIFY(shell->add(QIcon(), QString()));
        QVERIFY(shell->balloon(QStringLiteral("one"), QString(), 1, 0));

        // Someone else's notification and another action: none of ours.
        sendSignal(QStringLiteral("ActionInvoked"), {7u, QStringLiteral("default")});
        sendSignal(QStringLiteral("NotificationClosed"), {7u, 1u});
        sendSignal(QStringLiteral("ActionInvoked"), {101u, QStringLiteral("other")});
        waitForSignalsSentSoFar();
        QCOMPARE(clicked.size() + timedOut.size() + hidden.size(), 0);

        sendSignal(QStringLiteral("ActionInvoked"), {101u, QStringLiteral("default")});
        // The server closes a clicked notification: part of the click, not a hide.
        sendSignal(QStringLiteral("NotificationClosed"), {101u, 2u});
        waitForSignalsSentSoFar();
        QCOMPARE(clicked.size(), 1);
        QCOMPARE(hidden.size(), 0);

        // Closed means gone: the next balloon is a new notification.
        QVERIFY(shell->balloon(QStringLiteral("two"), QString(), 1, 0));
        QCOMPARE(server->notifications().last().replacesId, 0u);
        sendSignal(QStringLiteral("NotificationClosed"), {102u, 1u});
        waitForSignalsSentSoFar();
        QCOMPARE(timedOut.size(), 1);

        QVERIFY(shell->balloon(QStringLiteral("three"), QString(), 1, 0));
        sendSignal(QStringLiteral("NotificationClosed"), {103u, 3u}); // closed by a call
        waitForSignalsSentSoFar();
        QVERIFY(shell->balloon(QStringLiteral("four"), QString(), 1, 0));
        QCOMPARE(server->notifications().last().replacesId, 0u);
        sendSignal(QStringLiteral("NotificationClosed"), {104u, 2u});
        waitForSignalsSentSoFar();

        QCOMPARE(clicked.size(), 1);
        QCOMPARE(timedOut.size(), 1);
        QCOMPARE(hidden.size(), 1);
    }

    void markupServersGetEscapedBodies() {
        dropShell();
        stopServer();
        startServer(true);
        makeShell();
        QVERIFY(shell->add(QIcon(), QString()));
        QVERIFY(shell->balloon(QStringLiteral("http://a/?x=<1>&y"), QStringLiteral("T<"), 1, 0));
        QCOMPARE(server->notifications().last().body,
                 QStringLiteral("http://a/?x=&lt;1&gt;&amp;y"));
        QCOMPARE(server->notifications().last().summary, QStringLiteral("T<"));
    }

    void withoutTheServiceBalloonsStayOffTheBus() {
        serverBus().unregisterService(kService);
        QVERIFY(shell->add(QIcon(), QString()));
        QCOMPARE(shell->balloon(QStringLiteral("text"), QString(), 1, 0),
                 QSystemTrayIcon::supportsMessages());
        QVERIFY(server->notifications().isEmpty());
    }
};

QTEST_MAIN(TestTrayShell)
#include "test_trayshell.moc"
