#include "app/InstanceStart.h"
#include "platform/SingleInstance.h"
#include "probes/instance_probe.h"
#include "support/TestHelpers.h"
#include "support/UsualFunctions.h"
#include "support/gui/TestEnvironment.h"

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
    explicit Probe(const QProcessEnvironment &env, const QStringList &arguments = {}) {
        setProcessEnvironment(env);
        setProgram(QStringLiteral(INSTANCE_PROBE));
        setArguments(arguments);
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

uid_t ownerOf(const QString &path) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return uid_t(-1);
    return st.st_uid;
}

// A user that is not the one running the tests (the tests give it folders with chown).
constexpr uid_t OtherUser = 65534;

bool makeFolder(const QString &path, mode_t mode) {
    return QDir().mkpath(path) && ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

bool giveAway(const QString &path) {
    return ::chown(QFile::encodeName(path).constData(), OtherUser, OtherUser) == 0;
}

// The shared fallback folder's name below a base: "vennatro-<uid>".
QString sharedFolder(const QString &base) {
    return base + QStringLiteral("/vennatro-%1").arg(::getuid());
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
        QTemporaryDir temp; // stands for /tmp, which the tests leave alone
        QVERIFY(temp.isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        const QStringList arguments{QStringLiteral("--temp-base"), temp.path()};
        const QString folder = sharedFolder(temp.path());

        Probe first(env, arguments);
        QTRY_COMPARE_WITH_TIMEOUT(first.lines("locked"), 1, WaitMs);
        QCOMPARE(modeOf(folder), mode_t(0700));
        QVERIFY(QFileInfo::exists(folder + QLatin1Char('/') + LockName));

        Probe second(env, arguments);
        QVERIFY(second.waitForFinished(WaitMs));
        QCOMPARE(second.exitCode(), int(ProbeDelivered));
        QTRY_COMPARE_WITH_TIMEOUT(first.lines("activated"), 1, WaitMs);
    }

    void otherUsersFallbackFolderNeverBlocks() {
        if (::geteuid() != 0)
            QSKIP("giving a folder to another user needs root");
        // Another local user made "vennatro-<uid>" first, and there is no runtime folder: the
        // program goes to the user's cache folder instead of refusing to start.
        QTemporaryDir temp;
        QTemporaryDir cache;
        QVERIFY(temp.isValid() && cache.isValid());
        const QString taken = sharedFolder(temp.path());
        QVERIFY(makeFolder(taken, 0700));
        QVERIFY(giveAway(taken));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        env.insert(QStringLiteral("XDG_CACHE_HOME"), cache.path());
        const QStringList arguments{QStringLiteral("--temp-base"), temp.path()};

        Probe first(env, arguments);
        QTRY_VERIFY_WITH_TIMEOUT(
            first.lines("locked") == 1 || first.state() == QProcess::NotRunning, WaitMs);
        QVERIFY2(first.lines("locked") == 1, first.readAllStandardError().constData());
        const QString folder = cache.filePath(QStringLiteral("vennatro"));
        QCOMPARE(modeOf(folder), mode_t(0700));
        QVERIFY(QFileInfo::exists(folder + QLatin1Char('/') + LockName));
        QVERIFY(QFileInfo::exists(folder + QLatin1Char('/') + SocketName));
        // The other user's folder is left as it was.
        QCOMPARE(ownerOf(taken), OtherUser);
        QVERIFY(QDir(taken).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden |
                                    QDir::System));

        Probe second(env, arguments);
        QVERIFY(second.waitForFinished(WaitMs));
        QCOMPARE(second.exitCode(), int(ProbeDelivered));
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

    // Which folder holds the lock: each place is taken only when it is the user's own and
    // closed to everybody else.
    void folderChoiceFollowsModes() {
        QTemporaryDir base;
        QVERIFY(base.isValid());
        const QString runtime = base.filePath(QStringLiteral("runtime"));
        const QString temp = base.filePath(QStringLiteral("tmp"));
        const QString cacheHome = base.filePath(QStringLiteral("cache/home"));
        QVERIFY(makeFolder(runtime, 0700));
        QVERIFY(makeFolder(temp, 01777));
        const InstanceFolderPlaces places{runtime, temp, cacheHome};
        const QString shared = sharedFolder(temp);
        const QString cached = cacheHome + QStringLiteral("/vennatro");
        QString error;

        // A private runtime folder: nothing is made anywhere else.
        QCOMPARE(SingleInstance::runtimeFolder(places, &error), runtime);
        QVERIFY(!QFileInfo::exists(shared));
        QVERIFY(!QFileInfo::exists(cacheHome));

        // One that others may enter is passed over for the shared fallback, made private.
        QVERIFY(::chmod(QFile::encodeName(runtime).constData(), 0755) == 0);
        QCOMPARE(SingleInstance::runtimeFolder(places, &error), shared);
        QCOMPARE(modeOf(shared), mode_t(0700));
        QCOMPARE(modeOf(runtime), mode_t(0755)); // never changed
        // So is a missing or relative one.
        QCOMPARE(SingleInstance::runtimeFolder({QString(), temp, cacheHome}, &error), shared);
        QCOMPARE(SingleInstance::runtimeFolder({QStringLiteral("run"), temp, cacheHome}, &error),
                 shared);

        // A shared folder that others may enter: the cache folder, made with its parents.
        QVERIFY(::chmod(QFile::encodeName(shared).constData(), 0777) == 0);
        QCOMPARE(SingleInstance::runtimeFolder(places, &error), cached);
        QCOMPARE(modeOf(cached), mode_t(0700));
        QCOMPARE(modeOf(cacheHome), mode_t(0700));
        QCOMPARE(modeOf(shared), mode_t(0777));
        // A shared name taken by a file: the same.
        QVERIFY(QDir(shared).removeRecursively());
        WriteBytes(shared, "in the way");
        QCOMPARE(SingleInstance::runtimeFolder(places, &error), cached);

        // Nowhere to go: nothing, and every place's reason.
        QVERIFY(::chmod(QFile::encodeName(cached).constData(), 0750) == 0);
        QCOMPARE(SingleInstance::runtimeFolder(places, &error), QString());
        const QStringList lines = error.split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines[0], QStringLiteral("No private folder for the single-instance lock:"));
        QCOMPARE(lines[1], QStringLiteral("Cannot use the folder %1: its mode is 755, not 700 "
                                          "(XDG_RUNTIME_DIR)")
                               .arg(runtime));
        QCOMPARE(lines[2],
                 QStringLiteral("Cannot use the folder %1: it is not a folder").arg(shared));
        QCOMPARE(lines[3],
                 QStringLiteral("Cannot use the folder %1: its mode is 750, not 700").arg(cached));
    }

    void otherUsersFoldersArePassedOver() {
        if (::geteuid() != 0)
            QSKIP("giving a folder to another user needs root");
        QTemporaryDir base;
        QVERIFY(base.isValid());
        const QString runtime = base.filePath(QStringLiteral("runtime"));
        const QString temp = base.filePath(QStringLiteral("tmp"));
        const QString cacheHome = base.filePath(QStringLiteral("cache"));
        QVERIFY(makeFolder(runtime, 0700));
        QVERIFY(makeFolder(temp, 01777));
        const InstanceFolderPlaces places{runtime, temp, cacheHome};
        const QString shared = sharedFolder(temp);
        const QString cached = cacheHome + QStringLiteral("/vennatro");
        QString error;

        // XDG_RUNTIME_DIR of another user, mode 0700 or not.
        QVERIFY(giveAway(runtime));
        QCOMPARE(SingleInstance::runtimeFolder(places, &error), shared);

        // Another user holds the shared name (made before this user's first start).
        QVERIFY(giveAway(shared));
        QCOMPARE(SingleInstance::runtimeFolder(places, &error), cached);
        QCOMPARE(ownerOf(cached), ::geteuid());
        QCOMPARE(modeOf(cached), mode_t(0700));
        QCOMPARE(ownerOf(shared), OtherUser);

        // And the lock itself is taken there, the activation delivered there.
        SingleInstance holder(QString::fromLatin1(SingleInstanceName), QStringLiteral("wake"));
        holder.setFolderPlaces(places);
        QVERIFY2(holder.tryLock(), qPrintable(holder.errorString()));
        QVERIFY(QFileInfo::exists(cached + QLatin1Char('/') + LockName));
        QSignalSpy spy(&holder, &SingleInstance::activationRequested);
        SingleInstance second(QString::fromLatin1(SingleInstanceName), QStringLiteral("wake"));
        second.setFolderPlaces(places);
        QVERIFY(!second.tryLock());
        QVERIFY(second.errorString().isEmpty());
        QVERIFY(second.activateRunning(WaitMs));
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, WaitMs);

        // With the cache folder another user's too, no folder is left, and each is named.
        QVERIFY(giveAway(cached));
        SingleInstance third(QString::fromLatin1(SingleInstanceName), QStringLiteral("wake"));
        third.setFolderPlaces(places);
        QVERIFY(!third.tryLock());
        for (const QString &folder : {runtime, shared, cached})
            QVERIFY2(third.errorString().contains(
                         QStringLiteral("Cannot use the folder %1: it belongs to another user")
                             .arg(folder)),
                     qPrintable(third.errorString()));
    }

    // The window program's start: the one instance goes on, a second one wakes it and ends,
    // and a start that cannot take the lock at all says why in a message box.
    void windowStartClaimsTheInstance() {
        TestEnvironment env; // a private runtime folder; message boxes recorded
        QVERIFY(env.IsValid());
        const QString lock = env.RuntimeDir() + QLatin1Char('/') + LockName;
        const QString message = QString::fromLatin1(ActivationMessageName);

        // Something in the lock's way (a folder): the reason, in a box and without a window.
        QVERIFY(QDir().mkpath(lock));
        {
            SingleInstance blocked(QString::fromLatin1(SingleInstanceName), message);
            QCOMPARE(ClaimSingleInstance(blocked).value_or(-1), 1);
        }
        QCOMPARE(env.messages.size(), 1);
        QCOMPARE(env.messages[0].caption, QStringLiteral("Vennatro"));
        QCOMPARE(env.messages[0].icon, MessageIcon::Error);
        QVERIFY(!env.messages[0].owner);
        QVERIFY2(env.messages[0].text.startsWith(
                     QStringLiteral("Vennatro cannot start.\n\nCannot open %1: ").arg(lock)),
                 qPrintable(env.messages[0].text));
        QVERIFY(QDir().rmdir(lock));

        SingleInstance first(QString::fromLatin1(SingleInstanceName), message);
        QVERIFY(!ClaimSingleInstance(first)); // goes on as the one instance
        QSignalSpy spy(&first, &SingleInstance::activationRequested);
        SingleInstance second(QString::fromLatin1(SingleInstanceName), message);
        QCOMPARE(ClaimSingleInstance(second).value_or(-1), 0);
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, WaitMs);
        QCOMPARE(env.messages.size(), 1);
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
