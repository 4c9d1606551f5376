// The history's costs, this layout beside the first one (the layout of the program before
// hourly rows), in one run:
//   size    100 addresses pinged every 60 s for 90 simulated days, upkeep after each day:
//           the file's size (and its log's largest) against the first layout's;
//   record  Record on an empty file and on one of 10,000,000 single pings, each layout;
//   migrate the first layout's 10,000,000 pings moved to this layout by the upkeep;
//   window  the history window on 30 days (a week, a day) of one of 100 addresses, painted,
//           on the file of `size` and on the 10,000,000 single pings of `record`;
//   start   the main window (offscreen) started on an empty history, on the 10,000,000 pings
//           of this layout and on those of the first: the interface thread's CPU to the first
//           paint and in the 5 s after it, the event loop's longest stall in those 5 s (a 1 ms
//           timer's lateness), and SIGTERM to the end of the process. Each start is a process
//           of its own on a fresh copy of the file.
//
//   history_bench [--only size|record|migrate|window|start] [--days 90] [--rows 10000000] [--runs
//   3]
//                 [--shot FILE]
#include "app/HistoryWindow.h"
#include "app/Main.h"
#include "engine/HistoryStore.h"
#include "engine/PingSession.h"
#include "platform/QuitOnSignal.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QLocale>
#include <QPixmap>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <ctime>
#include <functional>

namespace {

QTextStream out(stdout);

constexpr int Addresses = 100;
constexpr qint64 IntervalMs = 60000;
constexpr qint64 DayMs = 86400000;
constexpr int Samples = 2000;

struct Args {
    QString only;
    int days = 90;
    qint64 rows = 10000000;
    int runs = 3;
    QString shot;
    QString child; // a start measured by a parent: its data folder
};

QString Address(int i) {
    return QStringLiteral("https://host-%1.example-shop.test/status/health")
        .arg(i, 3, 10, QChar('0'));
}

// The pings of the bench: one in 50 failed, times of 40 to 100 ms.
PingResult Ping(const QString &address, qint64 atMs, qint64 n) {
    PingResult r;
    r.finishedAt = QDateTime::fromMSecsSinceEpoch(atMs, Qt::UTC);
    r.address = address;
    r.outcome = n % 50 == 0 ? PingOutcomeKind::Failed : PingOutcomeKind::Completed;
    if (r.outcome == PingOutcomeKind::Completed) {
        r.lookupSeconds = 0.002 + (n % 7) * 0.0003;
        r.connectSeconds = 0.015 + (n % 13) * 0.001;
        r.firstByteSeconds = 0.040 + (n % 29) * 0.002;
        r.seconds = r.firstByteSeconds;
        r.httpStatus = 200;
    } else {
        r.errorCode = 10060;
        r.errorText = QStringLiteral("Connection timed out");
    }
    r.attempts = r.outcome == PingOutcomeKind::Failed ? 3 : 1;
    return r;
}

double Ms(const QElapsedTimer &timer) { return double(timer.nsecsElapsed()) / 1e6; }

QString Mb(qint64 bytes) { return QString::number(double(bytes) / 1e6, 'f', 1) + " MB"; }

qint64 FileBytes(const QString &path) {
    return QFileInfo(path).size() + QFileInfo(path + "-wal").size();
}

double ThreadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

struct Timing {
    double medianUs = 0, p99Us = 0, maxUs = 0;
};

Timing Summary(QList<double> us) {
    std::sort(us.begin(), us.end());
    return {us.at(us.size() / 2), us.at(us.size() * 99 / 100), us.last()};
}

QString Text(const Timing &t) {
    return QStringLiteral("median %1 us, p99 %2 us, max %3 us")
        .arg(t.medianUs, 0, 'f', 1)
        .arg(t.p99Us, 0, 'f', 1)
        .arg(t.maxUs, 0, 'f', 1);
}

// ---- the two layouts, written in bulk ----

// Writes pings straight into a file in large transactions: the layout's own statements, so a
// fill of millions takes seconds. at(i) gives the time of the i-th ping of each address.
class Filler {
public:
    Filler(const QString &path, bool landed) : m_landed(landed) {
        m_name = QStringLiteral("fill_") + QString::number(quintptr(this));
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        m_ok = db.open();
        QSqlQuery q(db);
        if (m_ok && landed) {
            // The first layout, as its program made it.
            m_ok = q.exec("PRAGMA journal_mode = WAL") &&
                   q.exec("CREATE TABLE IF NOT EXISTS pings (address TEXT NOT NULL, at INTEGER "
                          "NOT NULL, n INTEGER NOT NULL, outcome TEXT NOT NULL CHECK (outcome IN "
                          "('completed', 'failed', 'cancelled')), ms REAL, lookup_ms REAL, "
                          "connect_ms REAL, first_byte_ms REAL, http_status INTEGER NOT NULL, "
                          "error_code INTEGER NOT NULL, error_text TEXT NOT NULL, attempts "
                          "INTEGER NOT NULL, error_ping INTEGER NOT NULL, PRIMARY KEY (address, "
                          "at, n)) WITHOUT ROWID") &&
                   q.exec("CREATE TABLE IF NOT EXISTS sessions (id INTEGER PRIMARY KEY, started "
                          "INTEGER NOT NULL, last_seen INTEGER NOT NULL)") &&
                   q.exec("CREATE INDEX IF NOT EXISTS sessions_last_seen ON sessions "
                          "(last_seen)") &&
                   q.exec("PRAGMA user_version = 1");
        }
        m_ok = m_ok && q.exec("PRAGMA synchronous = OFF");
    }
    ~Filler() {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }

    bool Fill(int addresses, qint64 perAddress, const std::function<qint64(qint64)> &at) {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        QSqlQuery t(db);
        QSqlQuery insert(db);
        if (!m_ok || !t.exec("BEGIN"))
            return false;
        QList<QVariant> ids;
        for (int a = 0; a < addresses; ++a) {
            if (m_landed) {
                ids << Address(a);
                continue;
            }
            QSqlQuery add(db);
            add.prepare("INSERT OR IGNORE INTO addresses (address) VALUES (?)");
            add.bindValue(0, Address(a));
            QSqlQuery id(db);
            id.prepare("SELECT id FROM addresses WHERE address = ?");
            id.bindValue(0, Address(a));
            if (!add.exec() || !id.exec() || !id.next())
                return false;
            ids << id.value(0);
        }
        insert.prepare(m_landed ? "INSERT INTO pings (address, at, n, outcome, ms, lookup_ms,"
                                  " connect_ms, first_byte_ms, http_status, error_code,"
                                  " error_text, attempts, error_ping)"
                                  " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
                                : "INSERT INTO pings (address_id, at, n, outcome, us, lookup_us,"
                                  " connect_us, first_byte_us, http_status, error_code,"
                                  " error_text, attempts, error_ping)"
                                  " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        const auto time = [this](double seconds) {
            if (seconds < 0)
                return QVariant(QMetaType::fromType<double>());
            return m_landed ? QVariant(seconds * 1000)
                            : QVariant(qint64(std::llround(seconds * 1e6)));
        };
        qint64 done = 0;
        for (qint64 i = 0; i < perAddress; ++i) {
            for (int a = 0; a < addresses; ++a) {
                const PingResult r = Ping(QString(), 0, i * addresses + a);
                insert.bindValue(0, ids.at(a));
                insert.bindValue(1, at(i) + a * 397); // addresses a little apart
                insert.bindValue(2, m_landed ? qint64(m_random.generate64() >> 2) : 0);
                insert.bindValue(
                    3, m_landed ? QVariant(OutcomeName(r.outcome))
                                : QVariant(r.outcome == PingOutcomeKind::Completed ? 0 : 1));
                insert.bindValue(4, time(r.seconds));
                insert.bindValue(5, time(r.lookupSeconds));
                insert.bindValue(6, time(r.connectSeconds));
                insert.bindValue(7, time(r.firstByteSeconds));
                insert.bindValue(8, r.httpStatus);
                insert.bindValue(9, r.errorCode);
                insert.bindValue(10, r.errorText.isNull() ? QString("") : r.errorText);
                insert.bindValue(11, r.attempts);
                insert.bindValue(12, 0);
                if (!insert.exec()) {
                    out << "fill: " << insert.lastError().text() << Qt::endl;
                    return false;
                }
                if (++done % 200000 == 0 && !(t.exec("COMMIT") && t.exec("BEGIN")))
                    return false;
            }
        }
        return t.exec("COMMIT");
    }

private:
    QString m_name;
    bool m_landed;
    bool m_ok = false;
    QRandomGenerator m_random{1};
};

// A file of this layout: made by the store (its schema), then filled.
bool FillNew(const QString &path, qint64 perAddress, const std::function<qint64(qint64)> &at) {
    {
        HistoryStore store(path);
        store.SetQuickCheck(false);
        if (!store.Open())
            return false;
    }
    return Filler(path, false).Fill(Addresses, perAddress, at);
}

bool FillLanded(const QString &path, qint64 perAddress, const std::function<qint64(qint64)> &at) {
    return Filler(path, true).Fill(Addresses, perAddress, at);
}

// The largest size a file reaches while it is watched (every 5 ms).
class SizeWatch {
public:
    explicit SizeWatch(const QString &path) : m_path(path) {
        QObject::connect(&m_timer, &QTimer::timeout,
                         [this] { largest = qMax(largest, QFileInfo(m_path).size()); });
        m_timer.start(5);
    }
    qint64 largest = 0;

private:
    QString m_path;
    QTimer m_timer;
};

bool WaitForTrim(HistoryStore &store, int days, HistoryTrimReport *report) {
    QEventLoop loop;
    bool done = false;
    auto c =
        QObject::connect(&store, &HistoryStore::trimmed, &loop, [&](const HistoryTrimReport &r) {
            *report = r;
            done = true;
            loop.quit();
        });
    store.Trim(days);
    if (!done)
        loop.exec();
    QObject::disconnect(c);
    return report->complete;
}

// ---- size ----

int Size(const Args &a, const QString &dir, QString *kept) {
    out << "== Size: " << Addresses << " addresses every 60 s for " << a.days << " simulated days"
        << Qt::endl;
    const qint64 start = QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
    const qint64 perDay = DayMs / IntervalMs;
    const QString path = dir + "/size-new.sqlite";
    qint64 now = start;
    {
        HistoryStore store(path);
        store.SetQuickCheck(false);
        store.SetClock([&now] { return QDateTime::fromMSecsSinceEpoch(now, Qt::UTC); });
        if (!store.Open())
            return 1;
        qint64 walMax = 0;
        qint64 fillWalMax = 0;
        qint64 longestUs = 0;
        qint64 checkpointUs = 0;
        int slow = 0;
        int transactions = 0;
        double upkeepMs = 0;
        for (int day = 0; day < a.days; ++day) {
            const qint64 dayStart = start + day * DayMs;
            if (!Filler(path, false).Fill(Addresses, perDay, [dayStart](qint64 i) {
                    return dayStart + i * IntervalMs;
                }))
                return 1;
            fillWalMax = qMax(fillWalMax, QFileInfo(path + "-wal").size());
            now = dayStart + DayMs;
            HistoryTrimReport report;
            QElapsedTimer timer;
            timer.start();
            {
                SizeWatch wal(path + "-wal");
                if (!WaitForTrim(store, 90, &report))
                    return 1;
                walMax = qMax(walMax, wal.largest);
            }
            upkeepMs += Ms(timer);
            longestUs = qMax(longestUs, report.longestTransactionUs);
            checkpointUs = qMax(checkpointUs, report.longestCheckpointUs);
            slow += report.slowTransactions;
            transactions += report.transactions;
            walMax = qMax(walMax, QFileInfo(path + "-wal").size());
            if ((day + 1) % 10 == 0 || day + 1 == a.days)
                out << "  day " << day + 1 << ": " << Mb(FileBytes(path)) << Qt::endl;
        }
        out << "this layout: " << Mb(QFileInfo(path).size()) << " file ("
            << QString::number(double(QFileInfo(path).size()) / (perDay * Addresses * a.days), 'f',
                               1)
            << " bytes a ping), log at most " << Mb(walMax) << " during the upkeep ("
            << Mb(fillWalMax) << " after the bench's fill of a day in one transaction); upkeep "
            << QString::number(upkeepMs / a.days, 'f', 0) << " ms a day, " << transactions
            << " transactions, " << slow << " of them over 50 ms, the longest "
            << QString::number(longestUs / 1000.0, 'f', 1) << " ms, longest checkpoint "
            << QString::number(checkpointUs / 1000.0, 'f', 1) << " ms" << Qt::endl;
    }
    const QString landed = dir + "/size-landed.sqlite";
    if (!FillLanded(landed, perDay * a.days, [start](qint64 i) { return start + i * IntervalMs; }))
        return 1;
    out << "first layout (nothing folded, all " << a.days
        << " days kept): " << Mb(FileBytes(landed)) << " ("
        << QString::number(double(FileBytes(landed)) / (perDay * Addresses * a.days), 'f', 1)
        << " bytes a ping)" << Qt::endl;
    QFile::remove(landed);
    QFile::remove(landed + "-wal");
    QFile::remove(landed + "-shm");
    *kept = path;
    return 0;
}

// ---- record ----

Timing RecordNew(const QString &path, qint64 fromMs) {
    HistoryStore store(path);
    store.SetQuickCheck(false);
    store.Open();
    QList<double> us;
    QElapsedTimer timer;
    for (int i = 0; i < Samples; ++i) {
        const PingResult r = Ping(Address(i % Addresses), fromMs + i * 1000, i);
        timer.start();
        if (!store.Record(r))
            return {};
        us << double(timer.nsecsElapsed()) / 1000.0;
    }
    return Summary(us);
}

// What the first layout's Record did: one transaction a ping, the address as text, a random n.
Timing RecordLanded(const QString &path, qint64 fromMs) {
    QList<double> us;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "landed");
        db.setDatabaseName(path);
        db.open();
        QSqlQuery setup(db);
        setup.exec("PRAGMA busy_timeout = 250");
        setup.exec("PRAGMA journal_mode = WAL");
        setup.exec("PRAGMA synchronous = NORMAL");
        QSqlQuery begin(db), insert(db), commit(db);
        begin.prepare("BEGIN IMMEDIATE");
        commit.prepare("COMMIT");
        insert.prepare("INSERT INTO pings (address, at, n, outcome, ms, lookup_ms, connect_ms,"
                       " first_byte_ms, http_status, error_code, error_text, attempts,"
                       " error_ping) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        QRandomGenerator random(2);
        auto ms = [](double s) {
            return s < 0 ? QVariant(QMetaType::fromType<double>()) : QVariant(s * 1000.0);
        };
        QElapsedTimer timer;
        for (int i = 0; i < Samples; ++i) {
            const PingResult r = Ping(Address(i % Addresses), fromMs + i * 1000, i);
            timer.start();
            begin.exec();
            insert.bindValue(0, r.address);
            insert.bindValue(1, r.finishedAt.toMSecsSinceEpoch());
            insert.bindValue(2, qint64(random.generate64() >> 2));
            insert.bindValue(3, OutcomeName(r.outcome));
            insert.bindValue(4, ms(r.seconds));
            insert.bindValue(5, ms(r.lookupSeconds));
            insert.bindValue(6, ms(r.connectSeconds));
            insert.bindValue(7, ms(r.firstByteSeconds));
            insert.bindValue(8, r.httpStatus);
            insert.bindValue(9, r.errorCode);
            insert.bindValue(10, r.errorText.isNull() ? QString("") : r.errorText);
            insert.bindValue(11, r.attempts);
            insert.bindValue(12, 0);
            if (!insert.exec() || !commit.exec())
                return {};
            us << double(timer.nsecsElapsed()) / 1000.0;
        }
        db.close();
    }
    QSqlDatabase::removeDatabase("landed");
    return Summary(us);
}

int Record(const Args &a, const QString &dir, QString *newFile, QString *landedFile) {
    const qint64 perAddress = a.rows / Addresses;
    const qint64 end = QDateTime::currentMSecsSinceEpoch() - 3600000;
    const qint64 start = end - perAddress * IntervalMs;
    out << "== Record: " << Samples << " pings, on an empty file and on " << a.rows
        << " single pings (" << Addresses << " addresses, " << perAddress / 1440 << " days at 60 s)"
        << Qt::endl;
    const auto at = [start](qint64 i) { return start + i * IntervalMs; };
    const QString emptyNew = dir + "/empty-new.sqlite";
    const QString emptyLanded = dir + "/empty-landed.sqlite";
    if (!FillNew(emptyNew, 0, at) || !FillLanded(emptyLanded, 0, at))
        return 1;
    out << "empty file   this layout:  " << Text(RecordNew(emptyNew, end)) << Qt::endl;
    out << "empty file   first layout: " << Text(RecordLanded(emptyLanded, end)) << Qt::endl;
    *newFile = dir + "/10m-new.sqlite";
    *landedFile = dir + "/10m-landed.sqlite";
    QElapsedTimer timer;
    timer.start();
    if (!FillNew(*newFile, perAddress, at))
        return 1;
    out << "  (filled this layout in " << QString::number(Ms(timer) / 1000, 'f', 1)
        << " s: " << Mb(FileBytes(*newFile)) << ")" << Qt::endl;
    timer.start();
    if (!FillLanded(*landedFile, perAddress, at))
        return 1;
    out << "  (filled the first layout in " << QString::number(Ms(timer) / 1000, 'f', 1)
        << " s: " << Mb(FileBytes(*landedFile)) << ")" << Qt::endl;
    // Copies for the starts, before the measured pings are added.
    QFile::copy(*newFile, *newFile + ".start");
    QFile::copy(*landedFile, *landedFile + ".start");
    out << a.rows << " pings  this layout:  " << Text(RecordNew(*newFile, end)) << Qt::endl;
    out << a.rows << " pings  first layout: " << Text(RecordLanded(*landedFile, end)) << Qt::endl;
    return 0;
}

// ---- migrate ----

// The first layout's file of `record` moved to this layout by the upkeep: how long it takes
// in the background, the longest transaction, the rebuild, the file before and after.
int Migrate(const QString &landedFile, const QString &dir) {
    const QString path = dir + "/migrate.sqlite";
    QFile::remove(path);
    if (!QFile::copy(landedFile, path))
        return 1;
    out << "== Move of the first layout's " << Mb(FileBytes(path))
        << " to this layout (7 days of single pings kept, 90 days in all)" << Qt::endl;
    HistoryStore store(path);
    store.SetQuickCheck(false);
    QElapsedTimer timer;
    timer.start();
    if (!store.Open())
        return 1;
    const double openMs = Ms(timer);
    HistoryTrimReport report;
    qint64 walMax = 0;
    timer.start();
    {
        SizeWatch wal(path + "-wal");
        if (!WaitForTrim(store, 90, &report))
            return 1;
        walMax = wal.largest;
    }
    out << "open (the tables renamed and made) " << QString::number(openMs, 'f', 1)
        << " ms; then in the background " << QString::number(Ms(timer) / 1000, 'f', 1)
        << " s: " << report.migrated << " rows moved (" << report.folded << " of them folded) in "
        << report.transactions << " transactions, " << report.slowTransactions
        << " of them over 50 ms, the longest "
        << QString::number(report.longestTransactionUs / 1000.0, 'f', 1)
        << " ms; the longest checkpoint "
        << QString::number(report.longestCheckpointUs / 1000.0, 'f', 1) << " ms; the rebuild "
        << QString::number(report.rebuildUs / 1e6, 'f', 2) << " s; the file "
        << Mb(QFileInfo(path).size()) << ", its log at most " << Mb(walMax) << Qt::endl;
    return 0;
}

// ---- window ----

void Window(const Args &a, const QString &path, const QString &what, bool shot) {
    out << "== History window, " << what << Qt::endl;
    HistoryStore store(path);
    store.SetQuickCheck(false);
    const QString address = Address(7);
    struct {
        THistoryWindow::Range range;
        const char *name;
    } const ranges[] = {{THistoryWindow::Last30Days, "30 days"},
                        {THistoryWindow::LastWeek, "a week"},
                        {THistoryWindow::LastDay, "a day"}};
    for (const auto &r : ranges) {
        THistoryWindow window(&store);
        window.resize(1000, 620);
        window.findChild<QComboBox *>("cmbHistoryRange")->setCurrentIndex(r.range);
        QElapsedTimer timer;
        timer.start();
        window.ShowFor(address);
        const QPixmap picture = window.grab(); // lays out and paints the chart
        const double openMs = Ms(timer);
        timer.start();
        window.Refresh();
        window.grab();
        out << "  " << r.name << ": open, painted " << QString::number(openMs, 'f', 1)
            << " ms; refresh, painted " << QString::number(Ms(timer), 'f', 1) << " ms" << Qt::endl;
        if (shot && !a.shot.isEmpty() && r.range == THistoryWindow::Last30Days)
            picture.save(a.shot);
    }
}

// ---- start ----

// One start, in a process of its own; prints its figures on one line, then "ready", and waits
// for SIGTERM.
int StartChild(const QString &data, int argc, char **argv) {
    const double cpuAtMain = ThreadCpuMs();
    QElapsedTimer sinceMain;
    sinceMain.start();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(data + "/config"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(data + "/data"));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(data + "/cache"));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(data + "/runtime"));
    QApplication app(argc, argv);
    QuitOnSignal quit;
    TfMain_Vennatro window(new PingSession);
    window.show();
    double paintMs = -1;
    double cpuAtPaint = 0;
    // The first paint of the window, then 5 s of a 1 ms timer: its longest lateness.
    QTimer tick;
    tick.setInterval(1);
    tick.setTimerType(Qt::PreciseTimer);
    QElapsedTimer sinceTick;
    double longestMs = 0;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longestMs = qMax(longestMs, Ms(sinceTick));
        sinceTick.start();
    });
    const QString wal = data + "/data/Lumo Dev/Vennatro/history.sqlite-wal";
    SizeWatch walSize(wal);
    QTimer::singleShot(0, &window, [&] {
        window.repaint();
        paintMs = Ms(sinceMain);
        cpuAtPaint = ThreadCpuMs();
        sinceTick.start();
        tick.start();
        QTimer::singleShot(5000, &window, [&] {
            tick.stop();
            out << "paint " << paintMs << " cpu " << cpuAtPaint - cpuAtMain << " after "
                << ThreadCpuMs() - cpuAtPaint << " stall " << longestMs << " wal "
                << walSize.largest << Qt::endl;
            out << "ready" << Qt::endl;
        });
    });
    return app.exec();
}

double Median(QList<double> v) {
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? -1 : v.at(v.size() / 2);
}

int Start(const Args &a, const QString &dir, const QString &newFile, const QString &landedFile) {
    out << "== Start of the window (offscreen), " << a.runs << " runs each, medians" << Qt::endl;
    const QString rows = QLocale(QLocale::English).toString(a.rows);
    const struct {
        QString name;
        QString file;
    } cases[] = {{QStringLiteral("empty history"), QString()},
                 {rows + QStringLiteral(" pings, this layout"), newFile},
                 {rows + QStringLiteral(" pings, first layout"), landedFile}};
    for (const auto &c : cases) {
        QList<double> paint, cpu, after, stall, exit, wal;
        for (int run = 0; run < a.runs; ++run) {
            const QString data = dir + "/start";
            QDir(data).removeRecursively();
            QDir().mkpath(data + "/runtime");
            QFile::setPermissions(data + "/runtime",
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            QDir().mkpath(data + "/data/Lumo Dev/Vennatro");
            if (!c.file.isEmpty() &&
                !QFile::copy(c.file, data + "/data/Lumo Dev/Vennatro/history.sqlite"))
                return 1;
            QProcess child;
            child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            child.start(QCoreApplication::applicationFilePath(), {"--child", data});
            QByteArray seen;
            while (!seen.contains("ready\n") && child.waitForReadyRead(60000))
                seen += child.readAllStandardOutput();
            const QList<QByteArray> words = seen.split('\n').value(0).split(' ');
            if (words.size() != 10) {
                out << "unexpected answer: " << seen << Qt::endl;
                return 1;
            }
            QElapsedTimer ending;
            ending.start();
            ::kill(pid_t(child.processId()), SIGTERM);
            child.waitForFinished(60000);
            exit << Ms(ending);
            paint << words[1].toDouble();
            cpu << words[3].toDouble();
            after << words[5].toDouble();
            stall << words[7].toDouble();
            wal << words[9].toDouble();
        }
        out << c.name << ": first paint " << QString::number(Median(paint), 'f', 0)
            << " ms from main, interface thread CPU to it " << QString::number(Median(cpu), 'f', 0)
            << " ms and " << QString::number(Median(after), 'f', 0)
            << " ms in the 5 s after; longest stall " << QString::number(Median(stall), 'f', 1)
            << " ms; SIGTERM to exit " << QString::number(Median(exit), 'f', 0)
            << " ms; log at most " << Mb(qint64(Median(wal))) << Qt::endl;
    }
    return 0;
}

Args Parse(const QStringList &args) {
    Args a;
    for (int i = 1; i < args.size(); ++i) {
        const QString next = i + 1 < args.size() ? args.at(i + 1) : QString();
        if (args.at(i) == "--only")
            a.only = next;
        else if (args.at(i) == "--days")
            a.days = next.toInt();
        else if (args.at(i) == "--rows")
            a.rows = next.toLongLong();
        else if (args.at(i) == "--runs")
            a.runs = next.toInt();
        else if (args.at(i) == "--shot")
            a.shot = next;
        else if (args.at(i) == "--child")
            a.child = next;
        else
            continue;
        ++i;
    }
    return a;
}

} // namespace

int main(int argc, char **argv) {
    QStringList list;
    for (int i = 0; i < argc; ++i)
        list << QString::fromLocal8Bit(argv[i]);
    const Args a = Parse(list);
    if (!a.child.isEmpty())
        return StartChild(a.child, argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir(QDir::tempPath() + "/history_bench-XXXXXX");
    if (!dir.isValid())
        return 1;
    const auto wanted = [&a](const char *part) { return a.only.isEmpty() || a.only == part; };
    QString sized, newFile, landedFile;
    if ((wanted("size") || wanted("window")) && Size(a, dir.path(), &sized) != 0)
        return 1;
    if ((wanted("record") || wanted("window") || wanted("start") || wanted("migrate")) &&
        Record(a, dir.path(), &newFile, &landedFile) != 0)
        return 1;
    if (wanted("migrate") && Migrate(landedFile, dir.path()) != 0)
        return 1;
    if (wanted("window")) {
        Window(a, sized, "100 addresses every 60 s, 90 days (7 of single pings, the rest hourly)",
               true);
        Window(a, newFile,
               QLocale(QLocale::English).toString(a.rows) + " single pings (none folded)", false);
    }
    if (wanted("start") && Start(a, dir.path(), newFile + ".start", landedFile + ".start") != 0)
        return 1;
    return 0;
}
