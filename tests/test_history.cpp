#include "engine/HistoryRollup.h"
#include "engine/HistoryStore.h"
#include "store/SettingsTable.h"
#include "support/PingResults.h"
#include "support/TestHelpers.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <algorithm>
#include <cmath>
#include <limits>
#include <linux/capability.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

const QDateTime T0 = QDateTime(QDate(2024, 3, 10), QTime(12, 0), Qt::UTC);

// Reads a file's database through a connection of its own, apart from the store under test.
class RawDb {
public:
    explicit RawDb(const QString &path)
        : m_name(QStringLiteral("raw_") + QUuid::createUuid().toString(QUuid::Id128)) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        db.open();
    }
    ~RawDb() {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    // The values of one column of a query's rows.
    QStringList Column(const QString &sql, int column = 0) const {
        QSqlQuery q(QSqlDatabase::database(m_name, false));
        QStringList values;
        if (!q.exec(sql))
            return {QStringLiteral("<error>")};
        while (q.next())
            values << q.value(column).toString();
        return values;
    }

private:
    QString m_name;
};

// Permission bits bind root only without the capability to override them: dropped for the
// calling thread (SQLite runs on it) and given back at the end of the scope.
class ScopedNoPermissionOverride {
public:
    ScopedNoPermissionOverride() {
        if (::syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct lowered[2] = {m_saved[0], m_saved[1]};
        lowered[0].effective &=
            ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER));
        m_active = ::syscall(SYS_capset, &m_header, lowered) == 0;
    }
    ~ScopedNoPermissionOverride() {
        if (m_active)
            ::syscall(SYS_capset, &m_header, m_saved);
    }

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
    bool m_active = false;
};

// Whether this process can write the file now (false is what the read-only cases need).
bool CanWrite(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadWrite);
}

// Files larger than limit cannot be written (EFBIG), as on a full disk; the signal that would
// end the process is ignored for the scope.
class ScopedFileSizeLimit {
public:
    explicit ScopedFileSizeLimit(rlim_t limit) {
        m_oldHandler = ::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit lowered = m_old;
        lowered.rlim_cur = limit;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~ScopedFileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        ::signal(SIGXFSZ, m_oldHandler);
    }

private:
    rlimit m_old{};
    sighandler_t m_oldHandler = SIG_DFL;
};

QString ProbePath() { return QStringLiteral(HISTORY_PROBE); }

// Writes count pings in one statement. columns: the SQL of address_id, at, outcome, us and
// error_text, in terms of x, the ping's number from 0.
bool ManyPings(const QString &path, int count, const QString &columns) {
    RawDb raw(path);
    return raw
        .Column(QStringLiteral("INSERT INTO pings (address_id, at, outcome, us, error_text, n,"
                               " http_status, error_code, attempts, error_ping)"
                               " WITH RECURSIVE i(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM i"
                               " WHERE x < %1) SELECT %2, 0, 0, 0, 1, 0 FROM i")
                    .arg(count - 1)
                    .arg(columns))
        .isEmpty();
}

// Runs an upkeep pass and waits for its end; a pass that does not end fails the test.
HistoryTrimReport TrimAndWait(HistoryStore &store, int days) {
    QSignalSpy trimmed(&store, &HistoryStore::trimmed);
    store.Trim(days);
    if (!trimmed.wait(Patience)) {
        QTest::qFail("the upkeep pass did not end", __FILE__, __LINE__);
        return {};
    }
    return trimmed.at(0).at(0).value<HistoryTrimReport>();
}

// The last number a probe printed on a line of its own; -1 when none.
int LastCount(const QByteArray &output) {
    int last = -1;
    for (const QByteArray &line : output.split('\n')) {
        bool ok = false;
        const int n = line.trimmed().toInt(&ok);
        if (ok)
            last = n;
    }
    return last;
}

bool WaitForLine(QProcess &process, const QByteArray &line, QByteArray *seen) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < Patience) {
        if (seen->contains(line + '\n'))
            return true;
        if (process.state() == QProcess::NotRunning && !process.waitForReadyRead(0))
            return seen->contains(line + '\n');
        process.waitForReadyRead(100);
        *seen += process.readAllStandardOutput();
    }
    return false;
}

} // namespace

class TestHistory : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString File(const QString &name = QStringLiteral("history.sqlite")) const {
        return m_dir.path() + QLatin1Char('/') + name;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        qRegisterMetaType<HistoryTrimReport>();
    }

    void cleanup() {
        // Each case starts from an empty folder.
        QDir dir(m_dir.path());
        for (const QString &name : dir.entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile::setPermissions(dir.filePath(name),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            QFileInfo(dir.filePath(name)).isDir() ? QDir(dir.filePath(name)).removeRecursively()
                                                  : QFile::remove(dir.filePath(name));
        }
    }

    void defaultPathFollowsXdgDataHome() {
        {
            ScopedEnv data("XDG_DATA_HOME", QFile::encodeName(m_dir.path() + "/data"));
            QCOMPARE(HistoryStore::DefaultPath(),
                     m_dir.path() + "/data/Lumo Dev/Vennatro/history.sqlite");
            // Nothing is created before the store opens; then the folders are made.
            HistoryStore store;
            QVERIFY(!QFile::exists(HistoryStore::DefaultPath()));
            QVERIFY(store.Open());
            QVERIFY(QFile::exists(m_dir.path() + "/data/Lumo Dev/Vennatro/history.sqlite"));
        }
        {
            ScopedEnv data("XDG_DATA_HOME", QByteArray());
            QCOMPARE(HistoryStore::DefaultPath(),
                     QDir::homePath() + "/.local/share/Lumo Dev/Vennatro/history.sqlite");
        }
    }

    void schemaWalModeAndKey() {
        const QString path = m_dir.path() + "/made/history.sqlite";
        HistoryStore store(path);
        QVERIFY(store.Open());
        QVERIFY(store.Record(TestPing("http://a/", T0, PingOutcomeKind::Completed, 0.01)));
        RawDb raw(path);
        QCOMPARE(raw.Column("PRAGMA journal_mode"), QStringList{"wal"});
        QCOMPARE(raw.Column("PRAGMA user_version"), QStringList{"4"});
        QCOMPARE(raw.Column("PRAGMA auto_vacuum"), QStringList{"2"}); // incremental
        QVERIFY(QFile::exists(path + "-wal"));
        // The user's alone: a folder it made 0700, the file and its log 0600 (the bits of the
        // owner, the group and others).
        const auto mode = [](const QString &p) { return int(QFile::permissions(p)) & 0x7077; };
        QCOMPARE(mode(m_dir.path() + "/made"), 0x7000);
        QCOMPARE(mode(path), 0x6000);
        QCOMPARE(mode(path + "-wal"), 0x6000);
        // The rows of an address in a time range are found by the key, in its order.
        const QString plan =
            raw.Column("EXPLAIN QUERY PLAN SELECT at, outcome, us FROM pings WHERE address_id = 1"
                       " AND at BETWEEN 1 AND 2 ORDER BY at",
                       3)
                .join('\n');
        QVERIFY2(plan.contains("SEARCH pings USING PRIMARY KEY (address_id=? AND at>? AND at<?)"),
                 qPrintable(plan));
        QVERIFY2(!plan.contains("TEMP B-TREE"), qPrintable(plan));
    }

    void olderFilesBecomePrivate() {
        // A history made before, readable by all: its folder (the program's own) and its
        // files lose the group's and others' bits.
        ScopedEnv data("XDG_DATA_HOME", QFile::encodeName(m_dir.path() + "/data"));
        const QString path = HistoryStore::DefaultPath();
        const QString folder = QFileInfo(path).absolutePath();
        {
            HistoryStore store;
            QVERIFY(store.Record(TestPing("http://a/", T0, PingOutcomeKind::Completed, 0.01)));
        }
        const QFile::Permissions open =
            QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
        QVERIFY(QFile::setPermissions(path, open));
        QVERIFY(QFile::setPermissions(folder,
                                      open | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther));
        HistoryStore store;
        QVERIFY(store.Open());
        QCOMPARE(int(QFile::permissions(path)) & 0x7077, 0x6000);
        QCOMPARE(int(QFile::permissions(folder)) & 0x7077, 0x7000);
        QCOMPARE(store.Rows("http://a/", T0, T0).size(), 1);
    }

    void recordedPingReadsBackFieldForField() {
        HistoryStore store(File());
        QSignalSpy recorded(&store, &HistoryStore::recorded);
        QSignalSpy problems(&store, &HistoryStore::problem);

        PingResult ok = TestPing("http://example.test:8080/path?q=1", T0.addMSecs(123),
                                 PingOutcomeKind::Completed, 0.0421);
        ok.lookupSeconds = 0.0012;
        ok.connectSeconds = 0.0103;
        ok.firstByteSeconds = 0.0421;
        ok.tlsSeconds = 0.0311;
        ok.httpStatus = 204;
        ok.attempts = 2;
        PingResult failed = TestPing("http://example.test:8080/path?q=1", T0.addSecs(1),
                                     PingOutcomeKind::Failed, -1);
        failed.lookupSeconds = 0.002;
        failed.errorCode = 10061;
        failed.errorText = QString::fromUtf8("Connection refused, \"quoted\" \xc3\xa9");
        failed.attempts = 3;
        failed.errorPing = true;
        PingResult cancelled = TestPing("http://example.test:8080/path?q=1", T0.addSecs(2),
                                        PingOutcomeKind::Cancelled, -1);
        cancelled.attempts = 1;

        QVERIFY(store.Record(ok));
        QVERIFY(store.Record(failed));
        QVERIFY(store.Record(cancelled));
        QCOMPARE(recorded.size(), 3);
        QCOMPARE(recorded.at(1).at(0).value<PingResult>().errorText, failed.errorText);
        QCOMPARE(problems.size(), 0);

        // Read back by a second store, as another process would.
        HistoryStore reader(File());
        const QList<HistoryRow> rows = reader.Rows(ok.address, T0, T0.addSecs(2),
                                                   HistoryStore::RowDetail::All); // ends included
        QCOMPARE(rows.size(), 3);
        const HistoryRow &a = rows.at(0);
        QCOMPARE(a.At(), ok.finishedAt);
        QCOMPARE(a.atMs, T0.toMSecsSinceEpoch() + 123);
        QCOMPARE(a.outcome, PingOutcomeKind::Completed);
        QCOMPARE(a.ms, 0.0421 * 1000.0);
        QCOMPARE(a.lookupMs, 0.0012 * 1000.0);
        QCOMPARE(a.connectMs, 0.0103 * 1000.0);
        QCOMPARE(a.firstByteMs, 0.0421 * 1000.0);
        QCOMPARE(a.tlsMs, 0.0311 * 1000.0);
        QCOMPARE(a.httpStatus, 204);
        QCOMPARE(a.errorCode, 0);
        QCOMPARE(a.errorText, QString());
        QCOMPARE(a.attempts, 2);
        QCOMPARE(a.errorPing, false);

        const HistoryRow &b = rows.at(1);
        QCOMPARE(b.At(), failed.finishedAt);
        QCOMPARE(b.outcome, PingOutcomeKind::Failed);
        QCOMPARE(b.ms, -1.0); // not measured stays not measured
        QCOMPARE(b.lookupMs, 2.0);
        QCOMPARE(b.connectMs, -1.0);
        QCOMPARE(b.firstByteMs, -1.0);
        QCOMPARE(b.tlsMs, -1.0);
        QCOMPARE(b.httpStatus, 0);
        QCOMPARE(b.errorCode, 10061);
        QCOMPARE(b.errorText, failed.errorText);
        QCOMPARE(b.attempts, 3);
        QCOMPARE(b.errorPing, true);

        QCOMPARE(rows.at(2).outcome, PingOutcomeKind::Cancelled);
        QCOMPARE(rows.at(2).At(), cancelled.finishedAt);

        // By default only what a chart needs is read.
        const QList<HistoryRow> times = reader.Rows(ok.address, T0, T0.addSecs(2));
        QCOMPARE(times.size(), 3);
        QCOMPARE(times.at(0).atMs, a.atMs);
        QCOMPARE(times.at(0).ms, a.ms);
        QCOMPARE(times.at(1).outcome, PingOutcomeKind::Failed);
        QCOMPARE(times.at(2).outcome, PingOutcomeKind::Cancelled);
        QCOMPARE(times.at(0).httpStatus, 0);
        QCOMPARE(times.at(1).errorText, QString());

        // The address is stored once; rows name it by its id, outcomes and times as integers.
        RawDb raw(File());
        QCOMPARE(raw.Column("SELECT id || ' ' || address FROM addresses"),
                 QStringList{"1 http://example.test:8080/path?q=1"});
        QCOMPARE(
            raw.Column("SELECT address_id || ' ' || outcome || ' ' || at || ' ' ||"
                       " quote(us) || ' ' || quote(lookup_us) FROM pings ORDER BY at"),
            (QStringList{QStringLiteral("1 0 %1 42100 1200").arg(T0.toMSecsSinceEpoch() + 123),
                         QStringLiteral("1 1 %1 NULL 2000").arg(T0.toMSecsSinceEpoch() + 1000),
                         QStringLiteral("1 2 %1 NULL NULL").arg(T0.toMSecsSinceEpoch() + 2000)}));
        QCOMPARE(reader.Addresses(), QStringList{ok.address});
        QVERIFY(reader.Rows(ok.address, T0.addSecs(3), T0.addSecs(9)).isEmpty());
        QVERIFY(reader.Rows("http://other/", T0, T0.addSecs(9)).isEmpty());
    }

    void rowsAreOrderedAndAddressesListed() {
        HistoryStore store(File());
        // Recorded out of order: read back by time.
        QVERIFY(
            store.Record(TestPing("http://b/", T0.addSecs(30), PingOutcomeKind::Completed, 0.3)));
        QVERIFY(
            store.Record(TestPing("http://b/", T0.addSecs(10), PingOutcomeKind::Completed, 0.1)));
        QVERIFY(
            store.Record(TestPing("http://a/", T0.addSecs(20), PingOutcomeKind::Completed, 0.2)));
        QVERIFY(store.Record(TestPing("http://c/", T0.addSecs(20), PingOutcomeKind::Failed, -1)));
        // A password never reaches the file; the address is found with it or without.
        QVERIFY(store.Record(TestPing("http://ann:pw@d/", T0, PingOutcomeKind::Completed, 0.1)));
        QCOMPARE(store.Addresses(),
                 (QStringList{"http://a/", "http://ann@d/", "http://b/", "http://c/"}));
        QCOMPARE(store.Rows("http://ann:pw@d/", T0, T0.addSecs(60)).size(), 1);
        QVERIFY(!(ReadBytes(File()) + ReadBytes(File() + "-wal")).contains(":pw@"));
        QVERIFY(!HistoryCsv("http://ann:pw@d/", {}).contains(":pw@"));
        const QList<HistoryRow> rows = store.Rows("http://b/", T0, T0.addSecs(60));
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows.at(0).ms, 100.0);
        QCOMPARE(rows.at(1).ms, 300.0);
    }

    void twoStoresInOneProcess() {
        auto first = std::make_unique<HistoryStore>(File());
        HistoryStore second(File());
        HistoryStore other(File("other.sqlite"));
        QVERIFY(first->Record(TestPing("http://a/", T0, PingOutcomeKind::Completed, 0.1)));
        QVERIFY(
            second.Record(TestPing("http://a/", T0.addSecs(1), PingOutcomeKind::Completed, 0.2)));
        QVERIFY(other.Record(TestPing("http://z/", T0, PingOutcomeKind::Completed, 0.3)));
        first.reset(); // closing one leaves the others working
        QVERIFY(
            second.Record(TestPing("http://a/", T0.addSecs(2), PingOutcomeKind::Completed, 0.4)));
        QCOMPARE(second.Rows("http://a/", T0, T0.addSecs(9)).size(), 3);
        QCOMPARE(other.Addresses(), QStringList{"http://z/"});
    }

    void retentionTrimsExactlyTheOldRows() {
        HistoryStore store(File());
        store.SetClock([] { return T0; });
        const QDateTime cutoff = T0.addDays(-90);
        for (const QString &address : {QStringLiteral("http://a/"), QStringLiteral("http://b/")}) {
            for (const QDateTime &at : {T0.addDays(-400), cutoff.addMSecs(-1), cutoff,
                                        cutoff.addMSecs(1), T0.addSecs(-5)})
                QVERIFY(store.Record(TestPing(address, at, PingOutcomeKind::Completed, 0.01)));
        }
        store.SetRawDays(0);                              // every ping stays a row of its own
        HistoryTrimReport report = TrimAndWait(store, 0); // keeps all
        QVERIFY(report.complete);
        QCOMPARE(report.removedPings + report.folded, 0);
        QCOMPARE(store.Rows("http://a/", T0.addDays(-500), T0).size(), 5);

        report = TrimAndWait(store, 90);
        QVERIFY(report.complete);
        QVERIFY(!report.clockAhead);
        QCOMPARE(report.referenceMs, T0.toMSecsSinceEpoch());
        QCOMPARE(report.removedPings, 4);
        for (const QString &address : {QStringLiteral("http://a/"), QStringLiteral("http://b/")}) {
            QList<qint64> left;
            for (const HistoryRow &row : store.Rows(address, T0.addDays(-500), T0))
                left << row.atMs;
            QCOMPARE(left,
                     (QList<qint64>{cutoff.toMSecsSinceEpoch(), cutoff.toMSecsSinceEpoch() + 1,
                                    T0.addSecs(-5).toMSecsSinceEpoch()}));
        }
        QCOMPARE(TrimAndWait(store, 90).removedPings, 0);
    }

    void retentionDeletesInBatches() {
        HistoryStore store(File());
        store.SetClock([] { return T0; });
        // More than two batches of old rows, one new row.
        const int old = 12003;
        for (int i = 0; i < old; ++i)
            QVERIFY(store.Record(TestPing("http://a/", T0.addDays(-100).addSecs(i),
                                          PingOutcomeKind::Completed, 0.01)));
        QVERIFY(store.Record(TestPing("http://a/", T0, PingOutcomeKind::Completed, 0.02)));
        const HistoryTrimReport report = TrimAndWait(store, 30);
        QCOMPARE(report.removedPings, old);
        QVERIFY2(report.transactions > 2, qPrintable(QString::number(report.transactions)));
        const QList<HistoryRow> rows = store.Rows("http://a/", T0.addDays(-500), T0);
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.at(0).ms, 20.0);
    }

    void sessionsRecordWhenTheProgramRan() {
        QDateTime now = T0;
        HistoryStore store(File());
        store.SetClock([&now] { return now; });
        store.BeginSession();
        QList<HistorySession> sessions = store.Sessions(T0.addDays(-1), T0.addDays(1));
        QCOMPARE(sessions.size(), 1);
        QCOMPARE(sessions.at(0).startMs, T0.toMSecsSinceEpoch());
        QCOMPARE(sessions.at(0).lastSeenMs, T0.toMSecsSinceEpoch());

        // Renewed with a ping at most once a minute.
        now = T0.addSecs(30);
        QVERIFY(store.Record(TestPing("http://a/", now, PingOutcomeKind::Completed, 0.01)));
        QCOMPARE(store.Sessions(T0, now).at(0).lastSeenMs, T0.toMSecsSinceEpoch());
        now = T0.addSecs(61);
        QVERIFY(store.Record(TestPing("http://a/", now, PingOutcomeKind::Completed, 0.01)));
        QCOMPARE(store.Sessions(T0, now).at(0).lastSeenMs, now.toMSecsSinceEpoch());

        now = T0.addSecs(100);
        store.EndSession();
        QCOMPARE(store.Sessions(T0, now).at(0).lastSeenMs, now.toMSecsSinceEpoch());

        // A second run; the query returns the runs that overlap the range.
        now = T0.addSecs(3600);
        store.BeginSession();
        now = T0.addSecs(3700);
        store.EndSession();
        sessions = store.Sessions(T0, T0.addDays(1));
        QCOMPARE(sessions.size(), 2);
        QCOMPARE(sessions.at(1).startMs, T0.addSecs(3600).toMSecsSinceEpoch());
        QCOMPARE(sessions.at(1).lastSeenMs, T0.addSecs(3700).toMSecsSinceEpoch());
        QCOMPARE(store.Sessions(T0.addSecs(3000), T0.addDays(1)).size(), 1);
        QCOMPARE(store.Sessions(T0.addDays(-2), T0.addSecs(-1)).size(), 0);

        // A store that goes away ends its run.
        {
            HistoryStore run(File());
            run.SetClock([] { return T0.addSecs(7200); });
            run.BeginSession();
            run.SetClock([] { return T0.addSecs(7260); });
        }
        sessions = store.Sessions(T0.addSecs(7000), T0.addDays(1));
        QCOMPARE(sessions.size(), 1);
        QCOMPARE(sessions.at(0).lastSeenMs, T0.addSecs(7260).toMSecsSinceEpoch());
    }

    void percentileAndUptimeOnKnownData() {
        QVERIFY(std::isnan(NearestRankPercentile({}, 95)));
        QCOMPARE(NearestRankPercentile({7}, 95), 7.0);
        QList<double> oneToTwenty;
        for (int i = 20; i >= 1; --i) // unsorted on purpose
            oneToTwenty << i;
        QCOMPARE(NearestRankPercentile(oneToTwenty, 95), 19.0);
        QCOMPARE(NearestRankPercentile(oneToTwenty, 50), 10.0);
        QCOMPARE(NearestRankPercentile(oneToTwenty, 100), 20.0);
        QCOMPARE(NearestRankPercentile(oneToTwenty, 0), 1.0);

        const HistoryStats none = ComputeStats({});
        QCOMPARE(none.count, 0);
        QVERIFY(std::isnan(none.minMs) && std::isnan(none.averageMs) && std::isnan(none.p95Ms) &&
                std::isnan(none.maxMs));
        const HistoryStats stats = ComputeStats({4, 1, 10, 5});
        QCOMPARE(stats.count, 4);
        QCOMPARE(stats.minMs, 1.0);
        QCOMPARE(stats.averageMs, 5.0);
        QCOMPARE(stats.p95Ms, 10.0);
        QCOMPARE(stats.maxMs, 10.0);

        QVERIFY(std::isnan(UptimeRatio(0, 0)));
        QCOMPARE(UptimeRatio(3, 1), 0.75);
        QCOMPARE(UptimeRatio(0, 5), 0.0);
        QCOMPARE(UptimeRatio(5, 0), 1.0);
    }

    void statisticsOfTheStore() {
        HistoryStore store(File());
        const QString a = "http://a/";
        // 100 completed pings of 1..100 ms, shuffled in time.
        for (int i = 0; i < 100; ++i) {
            const int ms = (i * 37) % 100 + 1;
            QVERIFY(
                store.Record(TestPing(a, T0.addSecs(i), PingOutcomeKind::Completed, ms / 1000.0)));
        }
        // 25 failures and 10 cancels whose times must not count; other addresses and other
        // times neither.
        for (int i = 0; i < 25; ++i)
            QVERIFY(store.Record(TestPing(a, T0.addSecs(200 + i), PingOutcomeKind::Failed, 5.0)));
        for (int i = 0; i < 10; ++i)
            QVERIFY(
                store.Record(TestPing(a, T0.addSecs(300 + i), PingOutcomeKind::Cancelled, 9.0)));
        QVERIFY(
            store.Record(TestPing("http://b/", T0.addSecs(5), PingOutcomeKind::Completed, 7.0)));
        QVERIFY(store.Record(TestPing(a, T0.addSecs(-1), PingOutcomeKind::Completed, 7.0)));
        QVERIFY(store.Record(TestPing(a, T0.addSecs(-2), PingOutcomeKind::Failed, -1)));

        const HistoryStats stats = store.Statistics(a, T0, T0.addSecs(400));
        QCOMPARE(stats.count, 100);
        QCOMPARE(stats.minMs, 1.0);
        QCOMPARE(stats.averageMs, 50.5);
        QCOMPARE(stats.p95Ms, 95.0);
        QCOMPARE(stats.maxMs, 100.0);

        QCOMPARE(store.Uptime(a, T0, T0.addSecs(400)), 0.8); // 100 of 125; the cancels left out
        QCOMPARE(store.Uptime(a, T0.addSecs(-10), T0.addSecs(400)), 101.0 / 127.0);
        QVERIFY(std::isnan(store.Uptime(a, T0.addSecs(300), T0.addSecs(400)))); // only cancels
        QVERIFY(std::isnan(store.Uptime("http://none/", T0, T0.addSecs(400))));
        QCOMPARE(store.Statistics("http://none/", T0, T0.addSecs(400)).count, 0);
    }

    void histogramBucketsAndTheirBytes() {
        // Bucket edges: below 16 us one bucket, then four a doubling; the last open upwards.
        const struct {
            qint64 us;
            int bucket;
        } edges[] = {{0, 0},
                     {15, 0},
                     {16, 1},
                     {19, 1},
                     {20, 2},
                     {23, 2},
                     {24, 3},
                     {27, 3},
                     {28, 4},
                     {31, 4},
                     {32, 5},
                     {40, 6},
                     {1000, 24},
                     {qint64(1) << 36, 128},
                     {std::numeric_limits<qint64>::max(), 128}};
        for (const auto &e : edges)
            QCOMPARE(HistoryHistogram::BucketOf(e.us), e.bucket);
        // Every time lies in its bucket, and a bucket is at most a quarter of its lower edge.
        QRandomGenerator random(7);
        for (int i = 0; i < 20000; ++i) {
            const qint64 us = qint64(random.bounded(quint64(1) << (4 + i % 32)));
            const int b = HistoryHistogram::BucketOf(us);
            QVERIFY(HistoryHistogram::LowerUs(b) <= us && us < HistoryHistogram::UpperUs(b));
            if (b > 0 && b < HistoryHistogram::Buckets - 1)
                QVERIFY(HistoryHistogram::UpperUs(b) - HistoryHistogram::LowerUs(b) <=
                        HistoryHistogram::LowerUs(b) / 4);
        }

        HistoryHistogram h;
        h.Add(10, 300);
        h.Add(1000, qint64(1) << 40);
        h.Add(5000);
        const QByteArray bytes = h.Encode();
        QCOMPARE(bytes.toHex(), QByteArray("00ac02"
                                           "18808080808020"
                                           "2101"));
        const HistoryHistogram back = HistoryHistogram::Decode(bytes);
        for (int b = 0; b < HistoryHistogram::Buckets; ++b)
            QCOMPARE(back.Count(b), h.Count(b));
        // A blob that does not decode is empty, never half read.
        for (const QByteArray &bad :
             {QByteArray::fromHex("8101"), QByteArray::fromHex("0080"), QByteArray::fromHex("00")})
            QVERIFY(HistoryHistogram::Decode(bad).IsEmpty());
        QCOMPARE(HistoryHistogram().Encode(), QByteArray());

        // The nearest rank's bucket: 19 of 20 below 1000 us, one far above.
        HistoryHistogram twenty;
        twenty.Add(100, 18);
        twenty.Add(900);
        twenty.Add(90000);
        QCOMPARE(twenty.PercentileBucket(95), HistoryHistogram::BucketOf(900));
        QCOMPARE(twenty.PercentileBucket(100), HistoryHistogram::BucketOf(90000));
        QCOMPARE(HistoryHistogram().PercentileBucket(95), -1);
    }

    void rollupEqualsTheSinglePings() {
        HistoryStore store(File());
        store.SetClock([] { return T0; });
        const QString a = "http://a/";
        const QDateTime first = T0.addDays(-10); // an hour's start: T0 is one
        // Six hours of 60 pings, times spread over two orders of magnitude, failures and
        // cancels among them, one completed ping without a time.
        for (int i = 0; i < 360; ++i) {
            const PingOutcomeKind outcome = i % 13 == 0   ? PingOutcomeKind::Failed
                                            : i % 29 == 0 ? PingOutcomeKind::Cancelled
                                                          : PingOutcomeKind::Completed;
            const double seconds = i == 100 ? -1 : (1000 + (i * 7919) % 90000) / 1e6;
            QVERIFY(store.Record(TestPing(a, first.addSecs(60LL * i), outcome, seconds)));
        }
        QVERIFY(store.Record(TestPing(a, T0.addDays(-1), PingOutcomeKind::Completed, 0.005)));
        const QDateTime from = first.addSecs(-1);
        const QDateTime to = first.addSecs(6 * 3600);

        // What the single pings say, hour by hour and in all.
        const QList<HistoryRow> rows = store.Rows(a, from, to);
        QCOMPARE(rows.size(), 360);
        const QList<HistoryHour> single = store.Hours(a, from, to);
        QCOMPARE(single.size(), 6);
        QList<QList<double>> timesByHour(6);
        for (const HistoryRow &row : rows) {
            if (row.outcome == PingOutcomeKind::Completed && row.ms >= 0)
                timesByHour[int((row.atMs - first.toMSecsSinceEpoch()) / 3600000)] << row.ms;
        }
        for (int h = 0; h < 6; ++h) {
            const HistoryStats exact = ComputeStats(timesByHour.at(h));
            QCOMPARE(single.at(h).completed - (h == 1 ? 1 : 0), exact.count); // one untimed
            QCOMPARE(single.at(h).minMs, exact.minMs);
            QCOMPARE(single.at(h).maxMs, exact.maxMs);
            QCOMPARE(single.at(h).averageMs, exact.averageMs);
            QVERIFY(std::isnan(single.at(h).p95Ms)); // not folded: read the rows for it
            QVERIFY(!single.at(h).folded);
        }
        const HistoryStats before = store.Statistics(a, from, to);
        const double uptimeBefore = store.Uptime(a, from, to);
        QVERIFY(!before.estimated);

        const HistoryTrimReport report = TrimAndWait(store, 90);
        QVERIFY(report.complete);
        QCOMPARE(report.folded, 360);
        QCOMPARE(report.removedPings, 0);
        QVERIFY(store.Rows(a, from, to).isEmpty());
        QCOMPARE(store.Rows(a, T0.addDays(-2), T0).size(), 1); // within the raw days

        const QList<HistoryHour> folded = store.FoldedHours(a, from, to);
        QCOMPARE(folded.size(), 6);
        for (int h = 0; h < 6; ++h) {
            const HistoryHour &f = folded.at(h);
            const HistoryHour &s = single.at(h);
            QCOMPARE(f.hour, HistoryHourOf(first.toMSecsSinceEpoch()) + h);
            QVERIFY(f.folded);
            QCOMPARE(f.completed, s.completed);
            QCOMPARE(f.failed, s.failed);
            QCOMPARE(f.cancelled, s.cancelled);
            QCOMPARE(f.minMs, s.minMs);
            QCOMPARE(f.maxMs, s.maxMs);
            QCOMPARE(f.averageMs, s.averageMs);
            const double p95 = NearestRankPercentile(timesByHour.at(h), 95);
            QCOMPARE(HistoryHistogram::BucketOf(qRound64(f.p95Ms * 1000)),
                     HistoryHistogram::BucketOf(qRound64(p95 * 1000)));
        }
        // The figures of the range: exact but the percentile, which is within its bucket.
        const HistoryStats after = store.Statistics(a, from, to);
        QVERIFY(after.estimated);
        QCOMPARE(after.count, before.count);
        QCOMPARE(after.minMs, before.minMs);
        QCOMPARE(after.maxMs, before.maxMs);
        QVERIFY(qAbs(after.averageMs - before.averageMs) < 1e-9);
        QCOMPARE(HistoryHistogram::BucketOf(qRound64(after.p95Ms * 1000)),
                 HistoryHistogram::BucketOf(qRound64(before.p95Ms * 1000)));
        QCOMPARE(store.Uptime(a, from, to), uptimeBefore);

        // A ping that comes late for a folded hour joins it at the next pass, once.
        QVERIFY(store.Record(TestPing(a, first.addSecs(90), PingOutcomeKind::Failed, -1)));
        const QList<HistoryHour> mixed = store.Hours(a, from, to);
        QCOMPARE(mixed.at(0).failed, single.at(0).failed + 1);
        QVERIFY(mixed.at(0).folded && std::isnan(mixed.at(0).p95Ms));
        QCOMPARE(TrimAndWait(store, 90).folded, 1);
        QCOMPARE(TrimAndWait(store, 90).folded, 0);
        QCOMPARE(store.FoldedHours(a, from, to).at(0).failed, single.at(0).failed + 1);
        QCOMPARE(store.FoldedHours(a, from, to).at(0).completed, single.at(0).completed);
    }

    void landedFileMovesInPlace() {
        const QString landed = QFINDTESTDATA("data/history-landed.sqlite");
        QVERIFY(!landed.isEmpty());
        const QDateTime sampleEnd(QDate(2024, 3, 10), QTime(12, 0), Qt::UTC);
        // The same pings written by this program, for comparison.
        QProcess sample;
        sample.start(ProbePath(), {"sample", File("sample.sqlite")});
        QVERIFY(sample.waitForFinished(Patience));
        QCOMPARE(sample.exitCode(), 0);

        // Every row kept as it was: every column read back as this program wrote it.
        QVERIFY(QFile::copy(landed, File()));
        QFile::setPermissions(File(), QFile::ReadOwner | QFile::WriteOwner);
        {
            HistoryStore moved(File());
            HistoryStore fresh(File("sample.sqlite"));
            for (HistoryStore *s : {&moved, &fresh}) {
                s->SetClock([sampleEnd] { return sampleEnd; });
                s->SetRawDays(0);
            }
            QSignalSpy problems(&moved, &HistoryStore::problem);
            QVERIFY(moved.Open());
            {
                RawDb raw(File());
                QCOMPARE(raw.Column("PRAGMA user_version"), QStringList{"4"});
                QCOMPARE(raw.Column("SELECT COUNT(*) FROM pings_v1"), QStringList{"411"});
            }
            // Listed at once, while the rows move on the history's thread.
            const QStringList addresses = fresh.Addresses();
            QCOMPARE(addresses.size(), 3);
            QCOMPARE(moved.Addresses(), addresses);
            const HistoryTrimReport report = TrimAndWait(moved, 0);
            QVERIFY(report.complete);
            QCOMPARE(report.migrated, 411);
            QCOMPARE(problems.size(), 0);
            const QDateTime all(QDate(1969, 1, 1), QTime(0, 0), Qt::UTC);
            for (const QString &address : addresses) {
                const QList<HistoryRow> got =
                    moved.Rows(address, all, sampleEnd, HistoryStore::RowDetail::All);
                const QList<HistoryRow> want =
                    fresh.Rows(address, all, sampleEnd, HistoryStore::RowDetail::All);
                QCOMPARE(got.size(), want.size());
                for (qsizetype i = 0; i < got.size(); ++i) {
                    const HistoryRow &g = got.at(i);
                    const HistoryRow &w = want.at(i);
                    QCOMPARE(g.atMs, w.atMs);
                    QCOMPARE(g.outcome, w.outcome);
                    QCOMPARE(g.ms, w.ms);
                    QCOMPARE(g.lookupMs, w.lookupMs);
                    QCOMPARE(g.connectMs, w.connectMs);
                    QCOMPARE(g.firstByteMs, w.firstByteMs);
                    QCOMPARE(g.httpStatus, w.httpStatus);
                    QCOMPARE(g.errorCode, w.errorCode);
                    QCOMPARE(g.errorText, w.errorText);
                    QCOMPARE(g.attempts, w.attempts);
                    QCOMPARE(g.errorPing, w.errorPing);
                }
            }
            const auto sessions = [&](HistoryStore &s) {
                QStringList list;
                for (const HistorySession &run : s.Sessions(all, sampleEnd))
                    list << QStringLiteral("%1-%2").arg(run.startMs).arg(run.lastSeenMs);
                return list;
            };
            QCOMPARE(sessions(moved), sessions(fresh));
            QCOMPARE(sessions(moved).size(), 2);
        }
        {
            // The first layout's table is gone, and the file gives its pages back from now on.
            RawDb raw(File());
            QCOMPARE(raw.Column("SELECT COUNT(*) FROM sqlite_master WHERE name = 'pings_v1'"),
                     QStringList{"0"});
            QCOMPARE(raw.Column("PRAGMA auto_vacuum"), QStringList{"2"});
            QCOMPARE(raw.Column("PRAGMA quick_check"), QStringList{"ok"});
        }

        // Moved with the default raw days and 30 days kept: the same as this program's own
        // file after the same upkeep; what is older than 30 days is gone.
        QFile::remove(File());
        QVERIFY(QFile::copy(landed, File()));
        QFile::setPermissions(File(), QFile::ReadOwner | QFile::WriteOwner);
        HistoryStore moved(File());
        HistoryStore fresh(File("sample.sqlite"));
        for (HistoryStore *s : {&moved, &fresh})
            s->SetClock([sampleEnd] { return sampleEnd; });
        const HistoryTrimReport movedReport = TrimAndWait(moved, 30);
        const HistoryTrimReport freshReport = TrimAndWait(fresh, 30);
        QCOMPARE(movedReport.migrated, 411);
        QCOMPARE(movedReport.removedPings, 81); // 80 of A, C's ping of 1969
        QCOMPARE(movedReport.folded, freshReport.folded);
        QCOMPARE(movedReport.removedPings, freshReport.removedPings);
        const QDateTime from = sampleEnd.addDays(-31);
        int pings = 0;
        for (const QString &address : fresh.Addresses()) {
            const QList<HistoryHour> got = moved.Hours(address, from, sampleEnd);
            const QList<HistoryHour> want = fresh.Hours(address, from, sampleEnd);
            QCOMPARE(got.size(), want.size());
            for (qsizetype i = 0; i < got.size(); ++i) {
                QCOMPARE(got.at(i).hour, want.at(i).hour);
                QCOMPARE(got.at(i).folded, want.at(i).folded);
                QCOMPARE(got.at(i).completed, want.at(i).completed);
                QCOMPARE(got.at(i).failed, want.at(i).failed);
                QCOMPARE(got.at(i).cancelled, want.at(i).cancelled);
                QCOMPARE(got.at(i).minMs, want.at(i).minMs);
                QCOMPARE(got.at(i).maxMs, want.at(i).maxMs);
                QVERIFY(got.at(i).p95Ms == want.at(i).p95Ms ||
                        (std::isnan(got.at(i).p95Ms) && std::isnan(want.at(i).p95Ms)));
                pings += got.at(i).completed + got.at(i).failed + got.at(i).cancelled;
            }
            QCOMPARE(moved.Rows(address, from, sampleEnd).size(),
                     fresh.Rows(address, from, sampleEnd).size());
        }
        QCOMPARE(pings, 411 - 81);
    }

    void wrongClockKeepsTheHistory() {
        const QString a = "http://a/";
        QDateTime now = T0.addDays(400); // a machine starting with its clock far ahead
        HistoryStore store(File());
        store.SetClock([&now] { return now; });
        store.SetRawDays(0);
        // A ping a day for 100 days, each with a long error text, and 20,000 more pings of
        // 120 to 200 days before: enough to see the file shrink.
        for (int k = 0; k < 100; ++k) {
            PingResult r = TestPing(a, T0.addDays(-k).addSecs(-3600), PingOutcomeKind::Failed, -1);
            r.errorText = QString(200, QLatin1Char('x'));
            QVERIFY(store.Record(r));
        }
        // The many written at once, in this program's layout (ids, outcome codes, us).
        QVERIFY(
            store.Record(TestPing("http://old/", T0.addDays(-120), PingOutcomeKind::Failed, -1)));
        QVERIFY(ManyPings(File(), 19999,
                          QStringLiteral("(SELECT id FROM addresses WHERE address = 'http://old/'),"
                                         " %1 - 600000 * (x + 1), 1, NULL, printf('%.100c', 'y')")
                              .arg(T0.addDays(-120).toMSecsSinceEpoch())));
        QSignalSpy problems(&store, &HistoryStore::problem);
        const qint64 sizeBefore = QFileInfo(File()).size() + QFileInfo(File() + "-wal").size();

        HistoryTrimReport report = TrimAndWait(store, 90);
        QVERIFY(report.complete);
        QVERIFY(report.clockAhead);
        const qint64 newest = T0.addSecs(-3600).toMSecsSinceEpoch();
        QCOMPARE(report.newestMs, newest);
        QCOMPARE(report.referenceMs, newest);
        // 90 days back from the newest ping: the daily pings of 91 to 99 days and the old ones.
        QCOMPARE(report.removedPings, 9 + 20000);
        QCOMPARE(store.Rows(a, T0.addDays(-200), T0).size(), 91);
        QCOMPARE(problems.size(), 1);
        QCOMPARE(problems.at(0).at(0).toString(),
                 QStringLiteral("The clock (%1) is more than a day past the newest ping in the "
                                "history (%2): the days kept count back from that ping.")
                     .arg(now.toString(Qt::ISODate),
                          QDateTime::fromMSecsSinceEpoch(newest, Qt::UTC).toString(Qt::ISODate)));
        // The pages of the rows gone are given back.
        QVERIFY(report.freedPages > 0);
        {
            RawDb raw(File());
            QCOMPARE(raw.Column("PRAGMA freelist_count"), QStringList{"0"});
        }
        const qint64 sizeAfter = QFileInfo(File()).size();
        QVERIFY2(sizeAfter < sizeBefore / 4,
                 qPrintable(QStringLiteral("%1 -> %2").arg(sizeBefore).arg(sizeAfter)));
        // Said once.
        QCOMPARE(TrimAndWait(store, 90).removedPings, 0);
        QCOMPARE(problems.size(), 1);

        // A clock before 1970: hours below zero, rounded down; nothing beyond the array or
        // the days asked for goes.
        HistoryStore early(File("early.sqlite"));
        now = QDateTime::fromMSecsSinceEpoch(-24 * 3600000LL, Qt::UTC); // 1969-12-31 00:00
        early.SetClock([&now] { return now; });
        early.SetRawDays(1);
        for (const QDateTime &at :
             {now.addSecs(-600), now.addDays(-2).addSecs(-600), now.addDays(-200)})
            QVERIFY(early.Record(TestPing(a, at, PingOutcomeKind::Completed, 0.002)));
        QSignalSpy earlyProblems(&early, &HistoryStore::problem);
        report = TrimAndWait(early, 90);
        QVERIFY(report.complete);
        QVERIFY(!report.clockAhead);
        QCOMPARE(report.removedPings, 1);
        QCOMPARE(report.folded, 1);
        const QList<HistoryHour> folded = early.FoldedHours(a, now.addDays(-3), now);
        QCOMPARE(folded.size(), 1);
        QCOMPARE(folded.at(0).hour, -73); // 72 h 10 min before 1970
        QCOMPARE(folded.at(0).completed, 1);
        const QList<HistoryHour> hours = early.Hours(a, now.addDays(-1), now);
        QCOMPARE(hours.size(), 1);
        QCOMPARE(hours.at(0).hour, -25);
        QVERIFY(!hours.at(0).folded);
        QCOMPARE(earlyProblems.size(), 0);
    }

    void alertStatesOutliveTheStoreAndLayoutThreeGainsTheirTable() {
        {
            // A file of the third layout, as the program before the alert state left it.
            HistoryStore store(File());
            QVERIFY(store.Record(TestPing("http://a/", T0, PingOutcomeKind::Failed, -1)));
        }
        {
            RawDb raw(File());
            raw.Column("DROP TABLE alerts");
            raw.Column("PRAGMA user_version = 3");
        }
        const AlertRecord down{"http://a/", 1000, 2000, 3000, false};
        const AlertRecord other{"http://b/", 4000, 0, 5000, false};
        {
            HistoryStore store(File());
            QVERIFY(store.Open());
            QCOMPARE(store.AlertRecords(), QList<AlertRecord>{});
            store.SaveAlert(down);
            store.SaveAlert(other);
            store.SaveAlert(AlertRecord{"http://b/", 0, 0, 0, true}); // b came back
            // Written on the history's thread; its end waits for them.
        }
        RawDb raw(File());
        QCOMPARE(raw.Column("PRAGMA user_version"), QStringList{"4"});
        QCOMPARE(raw.Column("SELECT COUNT(*) FROM pings"), QStringList{"1"});
        HistoryStore again(File());
        QCOMPARE(again.AlertRecords(), QList<AlertRecord>{down});
    }

    void secondLayoutGainsTheTlsPhase() {
        // A file of the second layout: its pings keep every value and gain an empty TLS time.
        {
            HistoryStore store(File());
            QVERIFY(store.Record(TestPing("http://a/", T0, PingOutcomeKind::Completed, 0.01)));
        }
        {
            RawDb raw(File());
            QCOMPARE(raw.Column("ALTER TABLE pings DROP COLUMN tls_us"), QStringList{});
            raw.Column("DROP TABLE alerts");
            raw.Column("PRAGMA user_version = 2");
            QCOMPARE(raw.Column("PRAGMA user_version"), QStringList{"2"});
        }
        HistoryStore store(File());
        QSignalSpy problems(&store, &HistoryStore::problem);
        QVERIFY(store.Open());
        QVERIFY(!store.IsReadOnly());
        PingResult tls = TestPing("http://a/", T0.addSecs(1), PingOutcomeKind::Completed, 0.02);
        tls.tlsSeconds = 0.015;
        QVERIFY(store.Record(tls));
        const QList<HistoryRow> rows =
            store.Rows("http://a/", T0, T0.addSecs(1), HistoryStore::RowDetail::All);
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows.at(0).ms, 10.0);
        QCOMPARE(rows.at(0).tlsMs, -1.0);
        QCOMPARE(rows.at(1).tlsMs, 15.0);
        QCOMPARE(problems.size(), 0);
        QCOMPARE(store.AlertRecords(), QList<AlertRecord>{}); // and the alerts' table
        RawDb raw(File());
        QCOMPARE(raw.Column("PRAGMA user_version"), QStringList{"4"});
    }

    void newerLayoutIsReadOnly() {
        {
            HistoryStore store(File());
            QVERIFY(store.Record(TestPing("http://a/", T0, PingOutcomeKind::Completed, 0.01)));
            QVERIFY(
                store.Record(TestPing("http://a/", T0.addSecs(1), PingOutcomeKind::Failed, -1)));
        }
        {
            RawDb raw(File());
            raw.Column("PRAGMA user_version = 5");
        }
        QVERIFY(!QFile::exists(File() + "-wal"));
        const QByteArray bytes = ReadBytes(File());

        {
            HistoryStore store(File());
            QSignalSpy problems(&store, &HistoryStore::problem);
            QSignalSpy checked(&store, &HistoryStore::checked);
            QVERIFY(store.Open());
            QVERIFY(store.IsReadOnly());
            QCOMPARE(problems.size(), 1);
            QCOMPARE(problems.at(0).at(0).toString(),
                     QStringLiteral("The history file \"%1\" has layout version 5, newer than "
                                    "this program's 4: it is read, and nothing is written to it.")
                         .arg(File()));
            // Read as far as this program can; never written, never set aside.
            QCOMPARE(store.Rows("http://a/", T0, T0.addSecs(9)).size(), 2);
            QCOMPARE(store.Uptime("http://a/", T0, T0.addSecs(9)), 0.5);
            QVERIFY(
                !store.Record(TestPing("http://a/", T0.addSecs(2), PingOutcomeKind::Failed, -1)));
            store.BeginSession();
            QVERIFY(TrimAndWait(store, 1).complete);
            QVERIFY(!checked.wait(200));
            QCOMPARE(problems.size(), 1);
        }
        QCOMPARE(ReadBytes(File()), bytes);
        QVERIFY(!QFile::exists(File() + ".bad"));
    }

    void killedRollupIsFinishedByTheNextStart() {
        // 4 addresses, 15,000 pings each over the 30 days before T0.
        constexpr int Each = 15000;
        {
            HistoryStore store(File());
            QVERIFY(store.Open());
        }
        {
            RawDb raw(File());
            QCOMPARE(raw.Column("INSERT INTO addresses (id, address) VALUES (1, 'http://a0/'),"
                                " (2, 'http://a1/'), (3, 'http://a2/'), (4, 'http://a3/')"),
                     QStringList());
        }
        // Every tenth one failed; times 1 to 50 ms.
        QVERIFY(ManyPings(File(), 4 * Each,
                          QStringLiteral("1 + x % 4, %1 + 172000 * (x / 4),"
                                         " CASE WHEN x % 10 = 0 THEN 1 ELSE 0 END,"
                                         " 1000 * (1 + x % 50), ''")
                              .arg(T0.addDays(-30).toMSecsSinceEpoch())));
        const QString pingsAndFolded = "SELECT (SELECT COUNT(*) FROM pings) +"
                                       " (SELECT TOTAL(completed + failed + cancelled) FROM hours)";
        const qint64 rawCutoff = T0.addDays(-1).toMSecsSinceEpoch();
        const QString oldPings =
            QStringLiteral("SELECT COUNT(*) FROM pings WHERE at < %1").arg(rawCutoff);

        // Killed while it folds: whatever it has done is whole.
        QProcess trimmer;
        trimmer.start(ProbePath(),
                      {"trim", File(), "90", "1", QString::number(T0.toMSecsSinceEpoch())});
        QByteArray seen;
        QVERIFY(WaitForLine(trimmer, "trimming", &seen));
        {
            RawDb raw(File());
            QTRY_VERIFY_WITH_TIMEOUT(raw.Column("SELECT COUNT(*) FROM hours").value(0).toInt() > 0,
                                     Patience);
        }
        trimmer.kill();
        QVERIFY(trimmer.waitForFinished(Patience));
        int left = 0;
        {
            RawDb raw(File());
            QCOMPARE(raw.Column(pingsAndFolded), QStringList{QString::number(4 * Each)});
            left = raw.Column(oldPings).value(0).toInt();
        }
        QVERIFY2(left > 0, "the pass ended before the kill: nothing was interrupted");

        // The next start finishes it, while a command line writes at full speed: no ping is
        // lost to the lock, none counted twice.
        HistoryStore store(File());
        store.SetClock([] { return T0; });
        store.SetRawDays(1);
        QSignalSpy problems(&store, &HistoryStore::problem);
        QSignalSpy trimmed(&store, &HistoryStore::trimmed);
        QProcess writer;
        writer.start(ProbePath(), {"write", File(), "http://cli/", "500"});
        seen.clear();
        QVERIFY(WaitForLine(writer, "ready", &seen));
        store.Trim(90);
        writer.write("go\n");
        QVERIFY(trimmed.wait(Patience));
        QVERIFY(writer.state() == QProcess::NotRunning || writer.waitForFinished(Patience));
        QCOMPARE(writer.exitCode(), 0);
        QCOMPARE(writer.readAllStandardError(), QByteArray());
        const HistoryTrimReport report = trimmed.at(0).at(0).value<HistoryTrimReport>();
        QVERIFY(report.complete);
        QCOMPARE(report.folded, left);
        QCOMPARE(problems.size(), 0);
        RawDb raw(File());
        QCOMPARE(raw.Column(pingsAndFolded), QStringList{QString::number(4 * Each + 500)});
        QCOMPARE(raw.Column(oldPings), QStringList{"0"});
        // Hour by hour, the counts the pings were written with.
        for (int n = 0; n < 4; ++n) {
            const QString address = QStringLiteral("http://a%1/").arg(n);
            int completed = 0;
            int failed = 0;
            for (const HistoryHour &h : store.Hours(address, T0.addDays(-31), T0)) {
                completed += h.completed;
                failed += h.failed;
            }
            QCOMPARE(completed + failed, Each);
            QCOMPARE(failed, n == 0 || n == 2 ? Each / 5 : 0); // every tenth ping, even ones only
        }
    }

    void csvSaysWhichRowsAreHours() {
        HistoryRow ping;
        ping.atMs = T0.addSecs(5400).toMSecsSinceEpoch();
        ping.outcome = PingOutcomeKind::Completed;
        ping.ms = 12.5;
        ping.httpStatus = 200;
        ping.attempts = 1;
        HistoryHour hour;
        hour.hour = HistoryHourOf(T0.toMSecsSinceEpoch());
        hour.completed = 58;
        hour.failed = 2;
        hour.minMs = 10;
        hour.averageMs = 12.25;
        hour.p95Ms = 15.5;
        hour.maxMs = 40;
        hour.folded = true;
        HistoryHour quiet = hour;
        quiet.hour += 2;
        quiet.completed = 0;
        quiet.minMs = quiet.averageMs = quiet.p95Ms = quiet.maxMs = qQNaN();
        QCOMPARE(HistoryCsv("http://a/", {ping}, {hour, quiet}),
                 QByteArray("time_utc,address,outcome,ms,lookup_ms,connect_ms,tls_ms,"
                            "first_byte_ms,http_status,error_code,error_text,attempts,error_ping,"
                            "completed,failed,cancelled,not_checked,min_ms,p95_ms,max_ms\r\n"
                            "2024-03-10T12:00:00.000Z,http://a/,hour,12.250,,,,,,,,,,58,2,0,0,"
                            "10.000,15.500,40.000\r\n"
                            "2024-03-10T13:30:00.000Z,http://a/,completed,12.500,,,,,200,0,,1,0,"
                            ",,,,,,\r\n"
                            "2024-03-10T14:00:00.000Z,http://a/,hour,,,,,,,,,,,0,2,0,0,,,\r\n"));
        // Without hours, the columns of the single pings alone.
        QVERIFY(
            HistoryCsv("http://a/", {ping})
                .startsWith("time_utc,address,outcome,ms,lookup_ms,connect_ms,tls_ms,first_byte_ms,"
                            "http_status,error_code,error_text,attempts,error_ping\r\n2024"));
    }

    void randomBytesAreSetAsideOnce() {
        QByteArray junk(8192, '\0');
        QRandomGenerator random(20240310);
        for (char &c : junk)
            c = char(random.bounded(256));
        WriteBytes(File(), junk);
        WriteBytes(File() + "-wal", "not a log");
        WriteBytes(File() + "-shm", "not shared memory");
        WriteBytes(File() + ".bad", "an older damaged file");

        HistoryStore store(File());
        QSignalSpy problems(&store, &HistoryStore::problem);
        QVERIFY(store.Open());
        QCOMPARE(problems.size(), 1);
        QCOMPARE(problems.at(0).at(0).toString(),
                 QStringLiteral("The history file \"%1\" is damaged (file is not a database); it "
                                "is kept as \"%1.bad\" and a new history begins.")
                     .arg(File()));
        QCOMPARE(ReadBytes(File() + ".bad"), junk);
        QCOMPARE(ReadBytes(File() + ".bad-wal"), QByteArray("not a log"));
        // The shared memory is SQLite's scratch, rewritten on use: it only moves along.
        QVERIFY(QFile::exists(File() + ".bad-shm"));

        // The fresh file works, and nothing more is said.
        QVERIFY(store.Record(TestPing("http://a/", T0, PingOutcomeKind::Completed, 0.01)));
        QCOMPARE(store.Rows("http://a/", T0, T0).size(), 1);
        QCOMPARE(problems.size(), 1);
        RawDb raw(File());
        QCOMPARE(raw.Column("PRAGMA quick_check"), QStringList{"ok"});
    }

    void damagedPagesFailTheQuickCheck() {
        {
            HistoryStore store(File());
            for (int i = 0; i < 400; ++i)
                QVERIFY(store.Record(TestPing(QStringLiteral("http://a%1/").arg(i % 7),
                                              T0.addSecs(i), PingOutcomeKind::Completed, 0.01)));
        }
        QVERIFY(!QFile::exists(File() + "-wal")); // closed cleanly: everything in the file
        QFile file(File());
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.size() > 8 * 4096);
        // Scribble over the pages after the first (the header stays valid).
        QVERIFY(file.seek(4096 + 100));
        QByteArray scribble(4 * 4096, '\x5a');
        QCOMPARE(file.write(scribble), scribble.size());
        file.close();

        HistoryStore store(File());
        QSignalSpy problems(&store, &HistoryStore::problem);
        QSignalSpy checked(&store, &HistoryStore::checked);
        // The header is sound: the file opens at once, and the check that reads every page
        // finds the damage a moment later.
        QVERIFY(store.Open());
        QVERIFY(checked.wait(Patience));
        QCOMPARE(checked.at(0).at(0).toBool(), false);
        QCOMPARE(problems.size(), 1);
        const QString text = problems.at(0).at(0).toString();
        QVERIFY2(
            text.startsWith(QStringLiteral("The history file \"%1\" is damaged (").arg(File())),
            qPrintable(text));
        QVERIFY2(
            text.endsWith(
                QStringLiteral("it is kept as \"%1.bad\" and a new history begins.").arg(File())),
            qPrintable(text));
        QVERIFY(QFile::exists(File() + ".bad"));
        QVERIFY(store.Addresses().isEmpty());
        QVERIFY(store.Record(TestPing("http://a/", T0, PingOutcomeKind::Completed, 0.01)));
        QCOMPARE(problems.size(), 1);
        // A file made anew needs no check.
        QVERIFY(!checked.wait(200));
    }

    void soundFileIsCheckedQuietly() {
        {
            HistoryStore store(File());
            QVERIFY(store.Record(TestPing("http://a/", T0, PingOutcomeKind::Completed, 0.01)));
        }
        HistoryStore store(File());
        QSignalSpy problems(&store, &HistoryStore::problem);
        QSignalSpy checked(&store, &HistoryStore::checked);
        QVERIFY(store.Open());
        QVERIFY(checked.wait(Patience));
        QCOMPARE(checked.at(0).at(0).toBool(), true);
        QCOMPARE(problems.size(), 0);
        QCOMPARE(store.Rows("http://a/", T0, T0).size(), 1);
        QVERIFY(!QFile::exists(File() + ".bad"));
    }

    void quickCheckCanBeLeftOut() {
        {
            HistoryStore store(File());
            QVERIFY(store.Record(TestPing("http://a/", T0, PingOutcomeKind::Completed, 0.01)));
        }
        HistoryStore store(File());
        store.SetQuickCheck(false);
        QSignalSpy checked(&store, &HistoryStore::checked);
        QVERIFY(store.Open());
        QVERIFY(!checked.wait(300));
        QVERIFY(
            store.Record(TestPing("http://a/", T0.addSecs(1), PingOutcomeKind::Completed, 0.01)));
    }

    void readOnlyFileGivesOneProblem() {
        {
            HistoryStore store(File());
            QVERIFY(store.Record(TestPing("http://a/", T0, PingOutcomeKind::Completed, 0.01)));
        }
        QVERIFY(QFile::setPermissions(File(), QFile::ReadOwner | QFile::ReadGroup |
                                                  QFile::ReadOther)); // 0444
        ScopedNoPermissionOverride asUser;
        if (CanWrite(File()))
            QSKIP("this process writes over permission bits");

        HistoryStore store(File());
        QSignalSpy problems(&store, &HistoryStore::problem);
        bool recorded = true;
        try {
            recorded =
                store.Record(TestPing("http://a/", T0.addSecs(1), PingOutcomeKind::Failed, -1));
        } catch (...) {
            QFAIL("Record threw");
        }
        QVERIFY(!recorded);
        QCOMPARE(problems.size(), 1);
        const QString text = problems.at(0).at(0).toString();
        QVERIFY2(
            text.startsWith(QStringLiteral("Cannot write the history file \"%1\": ").arg(File())),
            qPrintable(text));
        QVERIFY2(text.contains("readonly"), qPrintable(text));
        // Pings go on; nothing more is said, the file is not set aside, what it holds is read.
        for (int i = 2; i < 5; ++i)
            QVERIFY(
                !store.Record(TestPing("http://a/", T0.addSecs(i), PingOutcomeKind::Failed, -1)));
        QCOMPARE(problems.size(), 1);
        QVERIFY(!QFile::exists(File() + ".bad"));
        QCOMPARE(store.Rows("http://a/", T0, T0.addSecs(9)).size(), 1);
    }

    void readOnlyFolderGivesOneProblem() {
        const QString folder = m_dir.path() + "/locked";
        const QString existing = folder + "/history.sqlite";
        QVERIFY(QDir().mkpath(folder));
        {
            HistoryStore store(existing);
            QVERIFY(store.Record(TestPing("http://a/", T0, PingOutcomeKind::Completed, 0.01)));
        }
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner |
                                                  QFile::ReadGroup | QFile::ExeGroup |
                                                  QFile::ReadOther | QFile::ExeOther)); // 0555
        ScopedNoPermissionOverride asUser;
        if (CanWrite(folder + "/probe"))
            QSKIP("this process writes over permission bits");

        // An existing file whose log cannot be made beside it, and a file that cannot be made.
        for (const QString &path : {existing, folder + "/new/history.sqlite"}) {
            HistoryStore store(path);
            QSignalSpy problems(&store, &HistoryStore::problem);
            for (int i = 0; i < 3; ++i) {
                bool recorded = true;
                try {
                    recorded = store.Record(TestPing("http://a/", T0, PingOutcomeKind::Failed, -1));
                } catch (...) {
                    QFAIL("Record threw");
                }
                QVERIFY(!recorded);
            }
            QCOMPARE(problems.size(), 1);
            QVERIFY2(problems.at(0).at(0).toString().startsWith(
                         QStringLiteral("Cannot open the history file \"%1\": ").arg(path)),
                     qPrintable(problems.at(0).at(0).toString()));
            QVERIFY(!QFile::exists(path + ".bad"));
        }
        QVERIFY(QFile::exists(existing));
    }

    void fullDiskGivesOneProblemUntilAWriteSucceeds() {
        HistoryStore store(File());
        QVERIFY(store.Open());
        QSignalSpy problems(&store, &HistoryStore::problem);
        int failures = 0;
        {
            ScopedFileSizeLimit full(QFileInfo(File()).size() + 8192);
            for (int i = 0; i < 200; ++i) {
                if (!store.Record(TestPing(QStringLiteral("http://host-%1.test/").arg(i), T0,
                                           PingOutcomeKind::Completed, 0.01)))
                    ++failures;
            }
        }
        QVERIFY(failures > 100);
        QCOMPARE(problems.size(), 1);
        QVERIFY2(problems.at(0).at(0).toString().startsWith(
                     QStringLiteral("Cannot write the history file \"%1\": ").arg(File())),
                 qPrintable(problems.at(0).at(0).toString()));
        // Room again: the pings are written, and the store keeps its rows whole.
        QVERIFY(store.Record(TestPing("http://after/", T0, PingOutcomeKind::Completed, 0.01)));
        QCOMPARE(store.Rows("http://after/", T0, T0).size(), 1);
        QCOMPARE(problems.size(), 1);
        RawDb raw(File());
        QCOMPARE(raw.Column("PRAGMA quick_check"), QStringList{"ok"});
    }

    void lockedByAnotherProcessWaitsItsTurn() {
        HistoryStore store(File());
        store.SetLockWaitMs(400);
        QVERIFY(store.Open());
        QSignalSpy problems(&store, &HistoryStore::problem);
        QSignalSpy recorded(&store, &HistoryStore::recorded);

        auto lock = [this](QProcess &holder, const QStringList &more = {}) {
            holder.start(ProbePath(), QStringList{"lock", File()} + more);
            QByteArray seen;
            return WaitForLine(holder, "locked", &seen);
        };
        QProcess holder;
        QVERIFY(lock(holder));

        QElapsedTimer waited;
        waited.start();
        QVERIFY(store.Record(TestPing("http://a/", T0, PingOutcomeKind::Completed, 0.01)));
        // It waited its busy time-out here, and then handed the ping to the history's thread.
        QVERIFY2(waited.elapsed() >= HistoryStore::BusyTimeoutMs - 10,
                 qPrintable(QString::number(waited.elapsed())));
        waited.restart();
        QVERIFY(
            store.Record(TestPing("http://a/", T0.addSecs(1), PingOutcomeKind::Completed, 0.01)));
        QVERIFY2(waited.elapsed() < HistoryStore::BusyTimeoutMs, // behind the first at once
                 qPrintable(QString::number(waited.elapsed())));
        QCOMPARE(recorded.size(), 0);
        QVERIFY(store.Rows("http://a/", T0, T0.addSecs(9)).isEmpty());
        // Held past the lock time: said once, and the pings go on waiting.
        QVERIFY(problems.wait(Patience));
        QCOMPARE(problems.at(0).at(0).toString(),
                 QStringLiteral("Cannot write the history file \"%1\": database is locked; the "
                                "pings wait their turn")
                     .arg(File()));

        holder.write("quit\n");
        QVERIFY(holder.waitForFinished(Patience));
        QCOMPARE(holder.exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(recorded.size(), 2, Patience);
        QCOMPARE(store.Rows("http://a/", T0, T0.addSecs(9)).size(), 2);
        QVERIFY(
            store.Record(TestPing("http://a/", T0.addSecs(2), PingOutcomeKind::Completed, 0.01)));
        QCOMPARE(recorded.size(), 3); // at once, on this thread again
        QCOMPARE(problems.size(), 1);

        // After a success, a new long wait is said again.
        QProcess second;
        QVERIFY(lock(second));
        QVERIFY(
            store.Record(TestPing("http://a/", T0.addSecs(3), PingOutcomeKind::Completed, 0.01)));
        QVERIFY(problems.wait(Patience));
        QCOMPARE(problems.size(), 2);
        second.closeWriteChannel();
        QVERIFY(second.waitForFinished(Patience));
        QTRY_COMPARE_WITH_TIMEOUT(recorded.size(), 4, Patience);

        // A store that ends while its pings wait writes them once the lock is free.
        QProcess brief;
        {
            HistoryStore ending(File());
            QVERIFY(ending.Open());
            QVERIFY(lock(brief, {"700"})); // lets go by itself after 0.7 s
            QVERIFY(ending.Record(
                TestPing("http://a/", T0.addSecs(4), PingOutcomeKind::Completed, 0.01)));
        }
        QCOMPARE(store.Rows("http://a/", T0, T0.addSecs(9)).size(), 5);
        QVERIFY(brief.waitForFinished(Patience));
        QCOMPARE(brief.exitCode(), 0);
    }

    void secondProcessWritesWhileThisOneHoldsTheStore() {
        HistoryStore store(File());
        QVERIFY(store.Record(TestPing("http://here/", T0, PingOutcomeKind::Completed, 0.01)));
        QSignalSpy problems(&store, &HistoryStore::problem);

        // In turns: each process writes while the other holds its connection open.
        QProcess stepper;
        stepper.start(ProbePath(), {"step", File(), "http://there/"});
        QVERIFY(stepper.waitForStarted(Patience));
        QByteArray seen;
        for (int i = 1; i <= 20; ++i) {
            stepper.write("\n");
            QVERIFY(WaitForLine(stepper, QByteArray::number(i), &seen));
            QVERIFY(store.Record(
                TestPing("http://here/", T0.addMSecs(i), PingOutcomeKind::Completed, 0.01)));
        }
        stepper.closeWriteChannel();
        QVERIFY(stepper.waitForFinished(Patience));
        QCOMPARE(stepper.exitCode(), 0);
        QCOMPARE(
            store.Rows("http://there/", T0.addDays(-1), QDateTime::currentDateTimeUtc()).size(),
            20);
        RawDb raw(File());
        QStringList written;
        for (int i = 1; i <= 20; ++i)
            written << QString::number(i);
        QStringList found = raw.Column(
            "SELECT CAST(round(us / 1000.0) AS INTEGER) FROM pings"
            " WHERE address_id = (SELECT id FROM addresses WHERE address = 'http://there/')");
        std::sort(found.begin(), found.end(),
                  [](const QString &a, const QString &b) { return a.toInt() < b.toInt(); });
        QCOMPARE(found, written);

        // Both at full speed at once.
        QProcess writer;
        writer.start(ProbePath(), {"write", File(), "http://burst/", "2000"});
        seen.clear();
        QVERIFY(WaitForLine(writer, "ready", &seen));
        writer.write("go\n");
        for (int i = 0; i < 2000; ++i)
            QVERIFY(store.Record(TestPing("http://here/", T0.addSecs(60).addMSecs(i),
                                          PingOutcomeKind::Completed, 0.01)));
        QVERIFY(writer.waitForFinished(Patience));
        QCOMPARE(writer.exitCode(), 0);
        QCOMPARE(writer.readAllStandardError(), QByteArray());
        QCOMPARE(problems.size(), 0);
        QCOMPARE(
            store.Rows("http://burst/", T0.addDays(-1), QDateTime::currentDateTimeUtc()).size(),
            2000);
        QCOMPARE(store.Rows("http://here/", T0, T0.addDays(1)).size(), 2021);
        QCOMPARE(store.Addresses(),
                 (QStringList{"http://burst/", "http://here/", "http://there/"}));
    }

    void historyDaysSetting() {
        QCOMPARE(DefaultOptions().HistoryDays, 90u);
        // Read after the values the program always had, so an older store loads as before.
        const QList<SettingRow> &table = SettingsTable();
        const auto at = [&table](const char *name) {
            return std::find_if(
                       table.begin(), table.end(),
                       [name](const SettingRow &r) { return qstrcmp(r.name, name) == 0; }) -
                   table.begin();
        };
        QVERIFY(at("History days") < table.size());
        QVERIFY(at("History days") > at("SMTP password"));
        const SettingRow &row = table.at(at("History days"));
        QCOMPARE(row.kind, SettingRow::DWord);
        QCOMPARE(row.dwordField, &TOptions::HistoryDays);
        QCOMPARE(row.min, qint64(0));
        QCOMPARE(row.max, qint64(36500));

        ScopedEnv config("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path() + "/config"));
        const QString store = m_dir.path() + "/config/Lumo Dev/Vennatro.reg";
        const struct {
            QByteArray line;
            quint32 loaded;
        } cases[] = {
            {"", 90},                                   // absent: the default
            {"\"History days\"=dword:00000000\r\n", 0}, // keep all
            {"\"History days\"=dword:0000001e\r\n", 30},
            {"\"History days\"=dword:00008e94\r\n", 36500},
            {"\"History days\"=dword:00008e95\r\n", 90}, // out of range: the default
        };
        for (const auto &c : cases) {
            WriteBytes(store,
                       "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Lumo Dev\\Vennatro]\r\n" +
                           c.line);
            QString problem;
            const TOptions options = ReadOptionsReadOnly(&problem);
            QCOMPARE(problem, QString());
            QCOMPARE(options.HistoryDays, c.loaded);
        }
    }

    void killedWriterLosesAtMostThePingUnderWay() {
        QProcess writer;
        writer.start(ProbePath(), {"write", File(), "http://killed/", "0"});
        QByteArray seen;
        QVERIFY(WaitForLine(writer, "ready", &seen));
        writer.write("go\n");
        QVERIFY(WaitForLine(writer, "300", &seen));
        writer.kill(); // SIGKILL, in the middle of its writing
        QVERIFY(writer.waitForFinished(Patience));
        seen += writer.readAllStandardOutput();
        const int confirmed = LastCount(seen);
        QVERIFY(confirmed >= 300);

        HistoryStore store(File());
        QSignalSpy problems(&store, &HistoryStore::problem);
        const int kept = int(
            store.Rows("http://killed/", T0.addDays(-1), QDateTime::currentDateTimeUtc()).size());
        QCOMPARE(problems.size(), 0); // not damaged
        QVERIFY2(kept == confirmed || kept == confirmed + 1,
                 qPrintable(QStringLiteral("%1 confirmed, %2 kept").arg(confirmed).arg(kept)));
        RawDb raw(File());
        QCOMPARE(raw.Column("PRAGMA quick_check"), QStringList{"ok"});
    }
};

QTEST_GUILESS_MAIN(TestHistory)
#include "test_history.moc"
