#include "instance_probe.h"
#include "platform/SingleInstance.h"
#include "support/TestHelpers.h"
#include "support/UsualFunctions.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int WaitMs = 10000;

const QString LockName = QStringLiteral("Vennatro - Lumo.lock");
const QString SocketName = QStringLiteral("Vennatro - Lumo.socket");

// One run of instance_probe with its standard output collected as it comes.
class Probe : public QProcess {
public:
    explicit Probe(const QProcessEnvironment &env) {
        setProcessEnvironment(env);
        setProgram(QStringLiteral(INSTANCE_PROBE));
        connect(this, &QProcess::readyReadStandardOutput, this,
                [this] { output += readAllStandardOutput(); });
        start();
    }
    ~Probe() override {
        if (state() != QProcess::NotRunning) {
            kill();
            waitForFinished(WaitMs);
        }
    }
    int lines(const char *text) const { return int(output.count(QByteArray(text) + '\n')); }

    QByteArray output;
};

mode_t modeOf(const QString &path) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

} // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT

    QProcessEnvironment envWithRuntime(const QString &folder) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), folder);
        return env;
    }

    // Starts a second probe, checks it ends quickly having delivered the activation.
    void secondStartDelivers(const QProcessEnvironment &env) {
        QElapsedTimer clock;
        clock.start();
        Probe second(env);
        QVERIFY(second.waitForFinished(WaitMs));
        const qint64 elapsed = clock.elapsed();
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), int(ProbeDelivered));
        QCOMPARE(second.lines("locked"), 0);
        QVERIFY2(elapsed < 1000, qPrintable(QStringLiteral("took %1 ms").arg(elapsed)));
    }

private slots:
    // --- two real processes ---

    void secondStartWakesTheFirst() {
        QTemporaryDir runtime;
        QVERIFY(runtime.isValid());
        const auto env = envWithRuntime(runtime.path());

        Probe first(env);
        QTRY_COMPARE_WITH_TIMEOUT(first.lines("locked"), 1, WaitMs);
        QVERIFY(QFileInfo::exists(runtime.filePath(LockName)));
        QVERIFY(QFileInfo::exists(runtime.filePath(SocketName)));

        secondStartDelivers(env);
        QTRY_COMPARE_WITH_TIMEOUT(first.lines("activated"), 1, WaitMs);

        // Every further start wakes it again.
        secondStartDelivers(env);
        secondStartDelivers(env);
        QTRY_COMPARE_WITH_TIMEOUT(first.lines("activated"), 3, WaitMs);
        QCOMPARE(first.state(), QProcess::Running);
    }

    void killedHolderNeverBlocks() {
        QTemporaryDir runtime;
        QVERIFY(runtime.isValid());
        const auto env = envWithRuntime(runtime.path());

        {
            Probe first(env);
            QTRY_COMPARE_WITH_TIMEOUT(first.lines("locked"), 1, WaitMs);
            first.kill(); // SIGKILL: no clean-up of any kind
            QVERIFY(first.waitForFinished(WaitMs));
        }
        // The dead holder's files are still there.
        QVERIFY(QFileInfo::exists(runtime.filePath(LockName)));
        QVERIFY(QFileInfo::exists(runtime.filePath(SocketName)));

        Probe next(env);
        QTRY_COMPARE_WITH_TIMEOUT(next.lines("locked"), 1, WaitMs);
        secondStartDelivers(env);
        QTRY_COMPARE_WITH_TIMEOUT(next.lines("activated"), 1, WaitMs);
    }

    void cleanEndRemovesTheSocket() {
        QTemporaryDir runtime;
        QVERIFY(runtime.isValid());
        const auto env = envWithRuntime(runtime.path());

        Probe first(env);
        QTRY_COMPARE_WITH_TIMEOUT(first.lines("locked"), 1, WaitMs);
        first.write("quit\n");
        QVERIFY(first.waitForFinished(WaitMs));
        QCOMPARE(first.exitCode(), int(ProbeEnded));
        QVERIFY(!QFileInfo::exists(runtime.filePath(SocketName)));

        // No holder: a start takes the lock instead of waiting for anyone.
        Probe next(env);
        QTRY_COMPARE_WITH_TIMEOUT(next.lines("locked"), 1, WaitMs);
    }

    void fallbackFolderWithoutRuntimeDir() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        const QString folder = QStringLiteral("/tmp/vennatro-%1").arg(::getuid());

        Probe first(env);
        QTRY_VERIFY_WITH_TIMEOUT(
            first.lines("locked") == 1 || first.state() == QProcess::NotRunning, WaitMs);
        QVERIFY2(first.lines("locked") == 1,
                 "another instance holds the fallback lock, or the folder is unusable");
        QCOMPARE(modeOf(folder), mode_t(0700));
        QVERIFY(QFileInfo::exists(folder + QLatin1Char('/') + LockName));

        secondStartDelivers(env);
        QTRY_COMPARE_WITH_TIMEOUT(first.lines("activated"), 1, WaitMs);
    }

    // --- the folder rules ---

    void privateFolderRules() {
        QTemporaryDir base;
        QVERIFY(base.isValid());
        QString error;

        const QString fresh = base.filePath("fresh");
        QVERIFY(SingleInstance::preparePrivateFolder(fresh, &error));
        QCOMPARE(modeOf(fresh), mode_t(0700));
        QVERIFY(SingleInstance::preparePrivateFolder(fresh, &error)); // already there

        const QString open = base.filePath("open");
        QVERIFY(QDir().mkdir(open));
        QVERIFY(::chmod(QFile::encodeName(open).constData(), 0755) == 0);
        QVERIFY(!SingleInstance::preparePrivateFolder(open, &error));
        QVERIFY2(error.contains(open) && error.contains("755"), qPrintable(error));
        QCOMPARE(modeOf(open), mode_t(0755)); // refused, never changed

        const QString link = base.filePath("link");
        QVERIFY(QFile::link(fresh, link));
        QVERIFY(!SingleInstance::preparePrivateFolder(link, &error));
        QVERIFY2(error.contains("not a folder"), qPrintable(error));

        const QString file = base.filePath("file");
        QFile plain(file);
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        QVERIFY(!SingleInstance::preparePrivateFolder(file, &error));

        QVERIFY(!SingleInstance::preparePrivateFolder(base.filePath("no/such/parent"), &error));
        QVERIFY(!error.isEmpty());

        if (::geteuid() == 0) {
            const QString foreign = base.filePath("foreign");
            QVERIFY(SingleInstance::preparePrivateFolder(foreign, &error));
            QVERIFY(::chown(QFile::encodeName(foreign).constData(), 65534, 65534) == 0);
            QVERIFY(!SingleInstance::preparePrivateFolder(foreign, &error));
            QVERIFY2(error.contains("another user"), qPrintable(error));
        }
    }

    void unusableRuntimeDirIsReported() {
        if (::geteuid() == 0)
            QSKIP("file modes do not stop root");
        QTemporaryDir runtime;
        QVERIFY(runtime.isValid());
        QVERIFY(::chmod(QFile::encodeName(runtime.path()).constData(), 0500) == 0);
        ScopedEnv scope("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        SingleInstance instance(QStringLiteral("Vennatro - Lumo"), QStringLiteral("x"));
        QVERIFY(!instance.tryLock());
        QVERIFY2(instance.errorString().contains(LockName), qPrintable(instance.errorString()));
        ::chmod(QFile::encodeName(runtime.path()).constData(), 0700);
    }

    // --- one process: what the holder accepts ---

    void holderTakesOnlyTheExactText() {
        QTemporaryDir runtime;
        QVERIFY(runtime.isValid());
        ScopedEnv scope("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        const QString message = QString::fromLatin1(ActivationMessageName);

        SingleInstance holder(QString::fromLatin1(SingleInstanceName), message);
        QVERIFY(holder.tryLock());
        QVERIFY(holder.tryLock()); // asking again keeps it
        QSignalSpy spy(&holder, &SingleInstance::activationRequested);

        // The lock is per open file: a second holder in the same process is refused too.
        SingleInstance other(QString::fromLatin1(SingleInstanceName), message);
        QVERIFY(!other.tryLock());
        QVERIFY(other.errorString().isEmpty());

        const QByteArray exact = message.toUtf8();
        for (const QByteArray &wrong :
             {QByteArray("hello"), exact.chopped(1), exact + "!", exact + exact, QByteArray()}) {
            QLocalSocket client;
            client.connectToServer(runtime.filePath(SocketName));
            QVERIFY(client.waitForConnected(WaitMs));
            client.write(wrong);
            QVERIFY(client.bytesToWrite() == 0 || client.waitForBytesWritten(WaitMs));
            client.disconnectFromServer();
            // Then the real text on a new connection: one activation, none for the wrong one.
            QVERIFY(other.activateRunning(WaitMs));
            QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, WaitMs);
            spy.clear();
        }
        QVERIFY(ActivatePreviousInstance(QStringLiteral("TfMain_Vennatro")));
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, WaitMs);
    }

    void activationWithoutHolderFails() {
        QTemporaryDir runtime;
        QVERIFY(runtime.isValid());
        ScopedEnv scope("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        SingleInstance instance(QString::fromLatin1(SingleInstanceName),
                                QString::fromLatin1(ActivationMessageName));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!instance.activateRunning(300));
        QVERIFY(clock.elapsed() < 5000);
        QVERIFY(!instance.errorString().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "test_singleinstance.moc"
