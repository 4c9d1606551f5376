// A second process on the history file, run by test_history:
//   history_probe write FILE ADDRESS COUNT   prints "ready", waits for a line on stdin, then
//                                            records COUNT pings (0: until killed), printing
//                                            the number written after each one
//   history_probe step FILE ADDRESS          records one ping for each line read on stdin,
//                                            printing the number written after each one
//   history_probe lock FILE                  holds the write lock (an open transaction) until a
//                                            line or the end of stdin, then commits
// Problems of the store go to stderr; the exit code is 0 when every write succeeded.

#include "engine/HistoryStore.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextStream>

#include <cstdio>
#include <string>

namespace {

PingResult Ping(const QString &address, int n) {
    PingResult r;
    r.finishedAt = QDateTime::currentDateTimeUtc();
    r.address = address;
    r.outcome = PingOutcomeKind::Completed;
    r.seconds = 0.001 * n;
    r.attempts = 1;
    return r;
}

bool WaitForLine() {
    std::string line;
    int c;
    while ((c = std::getchar()) != EOF && c != '\n')
        line.push_back(char(c));
    return c != EOF;
}

int Lock(const QString &file) {
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

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 3 && args.at(1) == QLatin1String("lock"))
        return Lock(args.at(2));
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
