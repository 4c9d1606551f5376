// The end of the program when nobody is there to answer: messages after the event loop, and
// the window program ended by a signal while a box is open or while its store cannot be
// written.
#include "platform/gui/MessageBox.h"
#include "support/TestHelpers.h"
#include "support/gui/TestEnvironment.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr int AfterSignalLimitMs = 2000;

// Standard error of this process, sent to a file for as long as the object lives.
class CapturedStderr {
public:
    CapturedStderr() {
        if (!m_file.open())
            return;
        fflush(stderr);
        m_saved = ::dup(STDERR_FILENO);
        ::dup2(m_file.handle(), STDERR_FILENO);
    }
    ~CapturedStderr() { Restore(); }
    CapturedStderr(const CapturedStderr &) = delete;
    CapturedStderr &operator=(const CapturedStderr &) = delete;

    // What was written; standard error goes back to where it was.
    QByteArray Text() {
        Restore();
        m_file.seek(0);
        return m_file.readAll();
    }

private:
    void Restore() {
        if (m_saved < 0)
            return;
        fflush(stderr);
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
        m_saved = -1;
    }

    QTemporaryFile m_file;
    int m_saved = -1;
};

// Every QMessageBox shown meanwhile, closed at once so that a wrong path fails instead of
// waiting for an answer.
class BoxWatcher : public QObject {
public:
    BoxWatcher() { qApp->installEventFilter(this); }
    ~BoxWatcher() override { qApp->removeEventFilter(this); }
    int shown = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::Show) {
            if (auto *box = qobject_cast<QMessageBox *>(watched)) {
                ++shown;
                QTimer::singleShot(0, box, [box] { box->reject(); });
            }
        }
        return false;
    }
};

struct Notification {
    QString appName;
    QString summary;
    QString body;
    int timeout = 0;
    QString icon;
    QVariantMap hints;
};

// The desktop's notification server, on a thread of its own: the program's call blocks the
// thread that makes it.
class NotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QList<Notification> Received() const {
        QMutexLocker lock(&m_mutex);
        return m_received;
    }

public slots:
    uint Notify(const QString &appName, uint replacesId, const QString &appIcon,
                const QString &summary, const QString &body, const QStringList &actions,
                const QVariantMap &hints, int expireTimeout) {
        Q_UNUSED(replacesId);
        Q_UNUSED(actions);
        QMutexLocker lock(&m_mutex);
        m_received << Notification{appName, summary, body, expireTimeout, appIcon, hints};
        return uint(m_received.size());
    }

private:
    mutable QMutex m_mutex;
    QList<Notification> m_received;
};

} // namespace

class TestEndSignals : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void messagesAfterTheLoopGoToStandardError();
    void messagesAfterTheLoopReachTheDesktop();
    void aHookStillGetsMessagesAfterTheLoop();
    void boxesBeforeTheEndAreModal();

    void signalWhileTheStartUpBoxIsOpenEndsTheProgram();
    void signalWithAStoreThatCannotBeWrittenEndsTheProgram();

private:
    QString WindowProgram() const;
    // This process's environment (a TestEnvironment's folders, the private bus), offscreen.
    QProcessEnvironment ChildEnvironment() const;
    void WaitForStderr(QProcess &process, QByteArray &collected, const QByteArray &text);

    QTemporaryDir m_busDir;
    QProcess m_bus;
    bool m_hasBus = false;
    std::unique_ptr<ScopedEnv> m_busAddress;
    QThread m_serverThread;
    NotificationServer *m_server = nullptr;
};

void TestEndSignals::initTestCase() {
    QVERIFY(m_busDir.isValid());
    // A bus of this test's own, never the desktop's; without dbus-daemon, one nobody listens on.
    const QString socket = m_busDir.filePath(QStringLiteral("bus"));
    const QString address = QStringLiteral("unix:path=") + socket;
    m_busAddress = std::make_unique<ScopedEnv>("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (daemon.isEmpty())
        return;
    const QString config = m_busDir.filePath(QStringLiteral("bus.conf"));
    // The session bus's own policy, without its service folders: nothing is started on demand.
    QByteArray busConfig =
        R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>ADDRESS</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
    WriteBytes(config, busConfig.replace("ADDRESS", address.toUtf8()));
    m_bus.start(daemon, {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                         QStringLiteral("--print-address=1")});
    QByteArray printed;
    while (!printed.contains('\n') && m_bus.waitForReadyRead(Patience))
        printed += m_bus.readAllStandardOutput();
    QVERIFY2(printed.contains('\n'), m_bus.readAllStandardError().constData());

    QDBusConnection serverBus =
        QDBusConnection::connectToBus(address, QStringLiteral("notification-server"));
    QVERIFY2(serverBus.isConnected(), qPrintable(serverBus.lastError().message()));
    m_server = new NotificationServer;
    m_server->moveToThread(&m_serverThread);
    connect(&m_serverThread, &QThread::finished, m_server, &QObject::deleteLater);
    m_serverThread.start();
    QVERIFY(serverBus.registerService(QStringLiteral("org.freedesktop.Notifications")));
    QVERIFY(serverBus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), m_server,
                                     QDBusConnection::ExportAllSlots));
    m_hasBus = true;
}

void TestEndSignals::cleanupTestCase() {
    SetMessageBoxesAfterLoop(false);
    QDBusConnection::disconnectFromBus(QStringLiteral("notification-server"));
    m_serverThread.quit();
    m_serverThread.wait();
    if (m_bus.state() != QProcess::NotRunning) {
        m_bus.terminate();
        m_bus.waitForFinished(Patience);
    }
}

void TestEndSignals::messagesAfterTheLoopGoToStandardError() {
    SetMessageBoxesAfterLoop(true);
    BoxWatcher watcher;
    CapturedStderr captured;
    QElapsedTimer elapsed;
    elapsed.start();
    ShowMessageBox(nullptr,
                   QStringLiteral("Error while writing in the settings file.\rCheck that you "
                                  "have the proper rights."),
                   QStringLiteral("Error"), MessageIcon::Error);
    ShowMessageBox(nullptr, QStringLiteral("Second\r\nmessage"), QString(), MessageIcon::None);
    const qint64 took = elapsed.elapsed();
    const QByteArray text = captured.Text();
    Settle();
    SetMessageBoxesAfterLoop(false);

    QCOMPARE(text, QByteArray("Vennatro: Error while writing in the settings file.\n"
                              "Check that you have the proper rights.\n"
                              "Vennatro: Second\nmessage\n"));
    QCOMPARE(watcher.shown, 0);
    QVERIFY2(took < AfterSignalLimitMs, QByteArray::number(took).constData());
}

void TestEndSignals::messagesAfterTheLoopReachTheDesktop() {
    if (!m_hasBus)
        QSKIP("dbus-daemon is not installed: no private bus to receive the notification on");
    const int before = m_server->Received().size();
    const QString entryBefore = QGuiApplication::desktopFileName();
    QGuiApplication::setDesktopFileName(QStringLiteral("dev.lumo.Vennatro"));
    SetMessageBoxesAfterLoop(true);
    {
        CapturedStderr captured; // keeps the test's own output clean
        ShowMessageBox(nullptr, QStringLiteral("Cannot write.\rCheck the rights."),
                       QStringLiteral("Error"), MessageIcon::Error);
        QVERIFY(!captured.Text().isEmpty());
    }
    // The call is synchronous: the server has it by the time ShowMessageBox returns.
    const QList<Notification> received = m_server->Received();
    QCOMPARE(received.size(), before + 1);
    QCOMPARE(received.last().appName, QStringLiteral("Vennatro"));
    QCOMPARE(received.last().summary, QStringLiteral("Error"));
    QCOMPARE(received.last().body, QStringLiteral("Cannot write.\nCheck the rights."));
    QCOMPARE(received.last().timeout, -1);
    // The installed icon's name; the desktop entry the program runs under, when it has one.
    QCOMPARE(received.last().icon, QStringLiteral("dev.lumo.Vennatro"));
    QCOMPARE(received.last().hints.value(QStringLiteral("desktop-entry")),
             QVariant(QStringLiteral("dev.lumo.Vennatro")));
    QGuiApplication::setDesktopFileName(QString());
    {
        CapturedStderr captured;
        ShowMessageBox(nullptr, QStringLiteral("No entry"), QString(), MessageIcon::Error);
    }
    SetMessageBoxesAfterLoop(false);
    QGuiApplication::setDesktopFileName(entryBefore);
    QCOMPARE(m_server->Received().size(), before + 2);
    QCOMPARE(m_server->Received().last().hints, QVariantMap());
}

void TestEndSignals::aHookStillGetsMessagesAfterTheLoop() {
    QList<MessageBoxRequest> recorded;
    SetMessageBoxHook([&recorded](const MessageBoxRequest &request) { recorded << request; });
    SetMessageBoxesAfterLoop(true);
    CapturedStderr captured;
    ShowMessageBox(nullptr, QStringLiteral("Recorded"), QStringLiteral("Warning"),
                   MessageIcon::Warning);
    const QByteArray text = captured.Text();
    SetMessageBoxesAfterLoop(false);
    SetMessageBoxHook(nullptr);

    QCOMPARE(recorded.size(), 1);
    QCOMPARE(recorded[0].text, QStringLiteral("Recorded"));
    QCOMPARE(recorded[0].caption, QStringLiteral("Warning"));
    QCOMPARE(recorded[0].icon, MessageIcon::Warning);
    QCOMPARE(text, QByteArray());
}

void TestEndSignals::boxesBeforeTheEndAreModal() {
    QVERIFY(!MessageBoxesAfterLoop());
    BoxWatcher watcher;
    CapturedStderr captured;
    ShowMessageBox(nullptr, QStringLiteral("Shown"), QStringLiteral("Error"), MessageIcon::Error);
    QCOMPARE(watcher.shown, 1);
    QCOMPARE(captured.Text(), QByteArray());
}

QString TestEndSignals::WindowProgram() const {
    // Built beside the command-line program.
    return QFileInfo(QStringLiteral(VENNATRO_PROGRAM))
        .dir()
        .filePath(QStringLiteral("vennatro-window"));
}

QProcessEnvironment TestEndSignals::ChildEnvironment() const {
    QProcessEnvironment child = QProcessEnvironment::systemEnvironment();
    child.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child.insert(QStringLiteral("VENNATRO_TEST_ANNOUNCE_BOXES"), QStringLiteral("1"));
    return child;
}

void TestEndSignals::WaitForStderr(QProcess &process, QByteArray &collected,
                                   const QByteArray &text) {
    QElapsedTimer waited;
    waited.start();
    while (!collected.contains(text) && process.state() == QProcess::Running &&
           waited.elapsed() < Patience) {
        process.waitForReadyRead(100);
        collected += process.readAllStandardError();
    }
    QVERIFY2(collected.contains(text), collected.constData());
}

// Sends SIGTERM and waits for the end: the milliseconds it took, or -1 when the program went
// on (it is killed then, so that nothing outlives the test).
static qint64 TerminateAndWait(QProcess &window) {
    QElapsedTimer elapsed;
    elapsed.start();
    ::kill(pid_t(window.processId()), SIGTERM);
    if (window.waitForFinished(Patience))
        return elapsed.elapsed();
    window.kill();
    window.waitForFinished(Patience);
    return -1;
}

void TestEndSignals::signalWhileTheStartUpBoxIsOpenEndsTheProgram() {
    QVERIFY2(QFileInfo(WindowProgram()).isExecutable(), qPrintable(WindowProgram()));
    TestEnvironment env;
    QVERIFY(env.IsValid());
    // A number where a path belongs: the load stops there with a box, before the loop runs.
    QVERIFY(env.WriteStore("\"Always on top\"=dword:00000000\r\n"
                           "\"Log file\"=dword:00000001\r\n"));

    QProcess window;
    window.setProcessEnvironment(ChildEnvironment());
    window.start(WindowProgram(), {});
    QVERIFY(window.waitForStarted(Patience));
    QByteArray err;
    WaitForStderr(window, err, "Vennatro: message box open: Invalid data type for 'Log file'\n");
    if (QTest::currentTestFailed()) {
        window.kill();
        window.waitForFinished(Patience);
        return;
    }

    const qint64 took = TerminateAndWait(window);
    QVERIFY2(took >= 0, "the program went on after the signal");
    QCOMPARE(window.exitStatus(), QProcess::NormalExit);
    QCOMPARE(window.exitCode(), 0);
    QVERIFY2(took < 5000, QByteArray::number(took).constData());
    // Only the one box came up; the window saved on its way out (the port was not in the file),
    // keeping the file's value for "Log file".
    err += window.readAllStandardError();
    QCOMPARE(err.count("message box open"), 1);
    const QByteArray store = ReadBytes(env.StorePath());
    QVERIFY2(store.contains("\"HTTP port\"=dword:00000050"), store.constData());
    QVERIFY2(store.contains("\"Log file\"=dword:00000001"), store.constData());
}

void TestEndSignals::signalWithAStoreThatCannotBeWrittenEndsTheProgram() {
    QVERIFY2(QFileInfo(WindowProgram()).isExecutable(), qPrintable(WindowProgram()));
    TestEnvironment env;
    QVERIFY(env.IsValid());
    QVERIFY(env.WriteStore("\"Always on top\"=dword:00000000\r\n"));
    const QByteArray before = ReadBytes(env.StorePath());
    const QString folder = QFileInfo(env.StorePath()).absolutePath();
    QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    struct Writable { // the temporary folder must be removable afterwards
        QString folder;
        ~Writable() {
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
    } writableAgain{folder};
    bool writesAnywhere = false;
    {
        QFile probe(folder + QStringLiteral("/probe"));
        if (probe.open(QIODevice::WriteOnly)) {
            probe.remove();
            writesAnywhere = true;
        }
    }
    const int notificationsBefore = m_hasBus ? m_server->Received().size() : 0;

    QProcess window;
    window.setProcessEnvironment(ChildEnvironment());
    if (writesAnywhere) {
        // This user writes in a read-only folder (root): a file size limit, which binds root
        // too, makes the store's write fail instead.
        window.setChildProcessModifier([] {
            ::signal(SIGXFSZ, SIG_IGN);
            const struct rlimit limit = {256, 256};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        });
    }
    window.start(WindowProgram(), {});
    QVERIFY(window.waitForStarted(Patience));
    // The history opens while the window is built: the signal handling is in place by then.
    const QString history = env.Path(QStringLiteral("data/Lumo Dev/Vennatro/history.sqlite"));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(history) || window.state() != QProcess::Running,
                             Patience);
    QCOMPARE(window.state(), QProcess::Running);

    const qint64 took = TerminateAndWait(window);
    QVERIFY2(took >= 0, "the program went on after the signal");
    QVERIFY2(took < AfterSignalLimitMs, QByteArray::number(took).constData());
    QCOMPARE(window.exitStatus(), QProcess::NormalExit);
    QCOMPARE(window.exitCode(), 0);
    const QByteArray err = window.readAllStandardError();
    QVERIFY2(err.contains("Vennatro: Error while writing in the settings file.\n"
                          "Check that you have the proper rights.\n"),
             err.constData());
    QVERIFY2(!err.contains("message box open"), err.constData());
    QCOMPARE(ReadBytes(env.StorePath()), before);
    if (m_hasBus) {
        const QList<Notification> received = m_server->Received();
        QCOMPARE(received.size(), notificationsBefore + 1);
        QCOMPARE(received.last().summary, QStringLiteral("Error"));
        QCOMPARE(received.last().body, QStringLiteral("Error while writing in the settings "
                                                      "file.\nCheck that you have the proper "
                                                      "rights."));
    }
}

QTEST_MAIN(TestEndSignals)
#include "test_endsignals.moc"
