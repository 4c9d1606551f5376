// A second process on the history file, run by test_history:
//   history_probe write FILE ADDRESS COUNT   prints "ready", waits for a line on stdin, then
//                                            records COUNT pings (0: until killed), printing
//                                            the number written after each one
//   history_probe step FILE ADDRESS          records one ping for each line read on stdin,
//                                            printing the number written after each one
//   history_probe lock FILE [MS]             holds the write lock (an open transaction) until a
//                                            line or the end of stdin (or for MS ms), then
//                                            commits
//   history_probe trim FILE DAYS RAWDAYS MS  one upkeep pass with the clock at MS (ms since the
//                                            epoch): prints "trimming", then "trimmed" at its end
//   history_probe sample FILE                writes the known sample: three addresses over 40
//                                            days before 2024-03-10 12:00 UTC, every outcome,
//                                            two runs (tests/data/history-landed.sqlite is this
//                                            sample as the first layout wrote it)
// Problems of the store go to stderr; the exit code is 0 when every write succeeded.

#include "engine/HistoryStore.h"
#include "support/PingResults.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextStream>
#include <QThread>

#include <cstdio>
#include <string>

namespace {

PingResult Ping(const QString &address, int n) {
    return TestPing(address, QDateTime::currentDateTimeUtc(), PingOutcomeKind::Completed,
                    0.001 * n);
}

bool WaitForLine() {
    std::string line;
    int c;
    while ((c = std::getchar()) != EOF && c != '\n')
        line.push_back(char(c));
    return c != EOF;
}

int Lock(const QString &file, int ms) {
    QTextStream out(stdout);
    int status = 1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "probe");
        db.setDatabaseName(file);
        if (db.open()) {
            QSqlQuery q(db);
            // The write lock is taken at the start of the transaction.
            if (q.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
                out << "locked" << Qt::endl;
                if (ms > 0)
                    QThread::msleep(ulong(ms));
                else
                    WaitForLine();
                status = q.exec(QStringLiteral("COMMIT")) ? 0 : 1;
            } else {
                QTextStream(stderr) << q.lastError().text() << Qt::endl;
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("probe"));
    return status;
}

// The sample's end: its newest row is an hour before it.
const QDateTime SampleEnd = QDateTime(QDate(2024, 3, 10), QTime(12, 0), Qt::UTC);

// 411 rows: A every 3 hours for 40 days (one in 16 failed, one in 40 cancelled), B every 10
// minutes over the last 10 hours with all of its phases, two of them in the same millisecond,
// and C once before 1970 and once with texts that need quoting.
int Sample(const QString &file) {
    HistoryStore store(file);
    QObject::connect(&store, &HistoryStore::problem,
                     [](const QString &text) { QTextStream(stderr) << text << Qt::endl; });
    QDateTime now = SampleEnd.addDays(-2);
    store.SetClock([&now] { return now; });
    store.BeginSession();
    now = SampleEnd.addDays(-1);
    store.EndSession();
    now = SampleEnd.addSecs(-11 * 3600);
    store.BeginSession();
    now = SampleEnd.addSecs(-3600);
    store.EndSession();
    bool ok = true;
    const QString a = QStringLiteral("http://a.example.test/");
    for (int i = 0; i < 320; ++i) {
        PingResult r;
        r.address = a;
        r.finishedAt = SampleEnd.addSecs(-3600LL * 3 * (320 - i)).addMSecs(i * 7);
        r.outcome = i % 40 == 39   ? PingOutcomeKind::Cancelled
                    : i % 16 == 15 ? PingOutcomeKind::Failed
                                   : PingOutcomeKind::Completed;
        r.attempts = r.outcome == PingOutcomeKind::Failed ? 3 : 1;
        if (r.outcome == PingOutcomeKind::Completed) {
            r.seconds = 0.010 + 0.0005 * (i % 37);
            r.httpStatus = 200;
        } else if (r.outcome == PingOutcomeKind::Failed) {
            r.errorCode = 10060;
            r.errorText = QStringLiteral("Connection timed out");
            r.errorPing = i % 32 == 15;
        }
        ok = store.Record(r) && ok;
    }
    const QString b = QStringLiteral("https://b.example.test:8443/health?x=1,2");
    for (int i = 0; i < 60; ++i) {
        PingResult r;
        r.address = b;
        r.finishedAt = SampleEnd.addSecs(-600LL * (60 - i) - 3600);
        r.outcome = PingOutcomeKind::Completed;
        r.lookupSeconds = 0.0012 + 0.0001 * (i % 5);
        r.connectSeconds = 0.0101 + 0.00025 * (i % 9);
        r.firstByteSeconds = 0.0421 + 0.003 * (i % 11);
        r.seconds = r.firstByteSeconds;
        r.httpStatus = i % 10 == 9 ? 503 : 204;
        r.attempts = 1;
        ok = store.Record(r) && ok;
        if (i == 30) // a second ping ending in the same millisecond
            ok = store.Record(r) && ok;
    }
    PingResult early;
    early.address = QStringLiteral("http://c.example.test/\"q\"");
    early.finishedAt = QDateTime::fromMSecsSinceEpoch(-3600 * 1000 - 1, Qt::UTC);
    early.outcome = PingOutcomeKind::Completed;
    early.seconds = 0.25;
    early.attempts = 2;
    ok = store.Record(early) && ok;
    PingResult odd = early;
    odd.finishedAt = SampleEnd.addDays(-5);
    odd.outcome = PingOutcomeKind::Failed;
    odd.seconds = -1;
    odd.lookupSeconds = 0.002;
    odd.errorCode = 10061;
    odd.errorText = QString::fromUtf8("Refused, \"really\"\nnext line \xc3\xa9");
    odd.attempts = 3;
    ok = store.Record(odd) && ok;
    for (int i = 0; i < 28; ++i) { // pings of a day within one hour, minutes apart
        PingResult r = early;
        r.finishedAt = SampleEnd.addDays(-3).addSecs(120LL * i);
        r.seconds = 0.001 * (1 + (i * 11) % 28);
        r.attempts = 1;
        ok = store.Record(r) && ok;
    }
    return ok ? 0 : 1;
}

int Trim(const QString &file, int days, int rawDays, qint64 ms) {
    HistoryStore store(file);
    store.SetQuickCheck(false);
    store.SetRawDays(rawDays);
    store.SetClock([ms] { return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC); });
    QObject::connect(&store, &HistoryStore::problem,
                     [](const QString &text) { QTextStream(stderr) << text << Qt::endl; });
    bool complete = false;
    QObject::connect(&store, &HistoryStore::trimmed, [&complete](const HistoryTrimReport &r) {
        complete = r.complete;
        QCoreApplication::quit();
    });
    if (!store.Open())
        return 1;
    store.Trim(days);
    QTextStream(stdout) << "trimming" << Qt::endl;
    QCoreApplication::exec();
    QTextStream(stdout) << "trimmed" << Qt::endl;
    return complete ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 3 && args.at(1) == QLatin1String("lock"))
        return Lock(args.at(2), args.size() > 3 ? args.at(3).toInt() : 0);
    if (args.size() >= 3 && args.at(1) == QLatin1String("sample"))
        return Sample(args.at(2));
    if (args.size() >= 6 && args.at(1) == QLatin1String("trim"))
        return Trim(args.at(2), args.at(3).toInt(), args.at(4).toInt(), args.at(5).toLongLong());
    if (args.size() < 4)
        return 2;
    const QString mode = args.at(1);
    HistoryStore store(args.at(2));
    QObject::connect(&store, &HistoryStore::problem,
                     [](const QString &text) { QTextStream(stderr) << text << Qt::endl; });
    if (!store.Open())
        return 1;
    QTextStream out(stdout);
    const QString address = args.at(3);
    if (mode == QLatin1String("step")) {
        for (int n = 1; WaitForLine(); ++n) {
            if (!store.Record(Ping(address, n)))
                return 1;
            out << n << Qt::endl;
        }
        return 0;
    }
    if (mode != QLatin1String("write") || args.size() < 5)
        return 2;
    const int count = args.at(4).toInt();
    out << "ready" << Qt::endl;
    WaitForLine();
    for (int n = 1; count == 0 || n <= count; ++n) {
        if (!store.Record(Ping(address, n)))
            return 1;
        out << n << Qt::endl;
    }
    return 0;
}
