// The history's costs: Record on an empty file and on one of 1,000,000 rows, opening that file
// (with its quick check), the window opened on 100,000 pings of 30 days, the bytes a ping takes
// on disk, and a trim. Runs offscreen; `--shot FILE` also saves a picture of the window.
#include "app/HistoryWindow.h"
#include "engine/HistoryStore.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QPixmap>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cmath>

namespace {

QTextStream out(stdout);

const QString Target = QStringLiteral("https://www.example-shop.test/status/health");
constexpr int TargetRows = 100000;
constexpr int AllRows = 1000000;
constexpr int Samples = 2000;

PingResult Ping(const QString &address, const QDateTime &at, int n) {
    PingResult r;
    r.finishedAt = at;
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

struct Timing {
    double medianUs = 0, p99Us = 0, maxUs = 0;
};

Timing Measure(HistoryStore &store, const QDateTime &from) {
    QList<double> us;
    QElapsedTimer timer;
    for (int i = 0; i < Samples; ++i) {
        const PingResult r = Ping(Target, from.addMSecs(i * 1000), i);
        timer.start();
        if (!store.Record(r)) {
            out << "Record failed" << Qt::endl;
            return {};
        }
        us << timer.nsecsElapsed() / 1000.0;
    }
    std::sort(us.begin(), us.end());
    return {us.at(us.size() / 2), us.at(us.size() * 99 / 100), us.last()};
}

void Print(const char *what, const Timing &t) {
    out << what << ": median " << QString::number(t.medianUs, 'f', 1) << " us, p99 "
        << QString::number(t.p99Us, 'f', 1) << " us, max " << QString::number(t.maxUs, 'f', 1)
        << " us (" << Samples << " pings)" << Qt::endl;
}

// Fills the file the store made with `AllRows` rows in large transactions: 100,000 of the
// target over the last 30 days (one session covering them), the rest spread over 9 other
// addresses and 90 days.
bool Fill(const QString &path, const QDateTime &now) {
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "fill");
        db.setDatabaseName(path);
        ok = db.open();
        QSqlQuery t(db); // the transactions; q keeps the prepared insert
        QSqlQuery q(db);
        ok = ok && t.exec("PRAGMA journal_mode = WAL") && t.exec("BEGIN");
        ok = ok &&
             q.prepare("INSERT INTO pings (address, at, n, outcome, ms, lookup_ms,"
                       " connect_ms, first_byte_ms, http_status, error_code, error_text,"
                       " attempts, error_ping) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        const qint64 end = now.toMSecsSinceEpoch() - 3600 * 1000;
        QRandomGenerator random(1);
        auto ms = [](double s) {
            return s < 0 ? QVariant(QMetaType::fromType<double>()) : QVariant(s * 1000);
        };
        for (int i = 0; ok && i < AllRows; ++i) {
            const bool target = i % 10 == 0;
            const QString address =
                target ? Target : QStringLiteral("http://host-%1.example.test/").arg(i % 10);
            const qint64 span = target ? 30LL * 86400 * 1000 : 90LL * 86400 * 1000;
            const qint64 at = end - span + span * (i / 10) / (AllRows / 10);
            const PingResult r = Ping(address, QDateTime(), i / 10);
            q.bindValue(0, address);
            q.bindValue(1, at);
            q.bindValue(2, qint64(random.generate64() >> 2));
            q.bindValue(3, OutcomeName(r.outcome));
            q.bindValue(4, ms(r.seconds));
            q.bindValue(5, ms(r.lookupSeconds));
            q.bindValue(6, ms(r.connectSeconds));
            q.bindValue(7, ms(r.firstByteSeconds));
            q.bindValue(8, r.httpStatus);
            q.bindValue(9, r.errorCode);
            q.bindValue(10, r.errorText.isNull() ? QString("") : r.errorText);
            q.bindValue(11, r.attempts);
            q.bindValue(12, 0);
            ok = q.exec();
            if (ok && i % 100000 == 99999)
                ok = t.exec("COMMIT") && t.exec("BEGIN");
        }
        QSqlQuery s(db);
        ok = ok && s.exec("COMMIT") &&
             s.exec(QStringLiteral("INSERT INTO sessions (started, last_seen) VALUES (%1, %2)")
                        .arg(end - 31LL * 86400 * 1000)
                        .arg(now.toMSecsSinceEpoch()));
        if (!ok)
            out << "fill: " << q.lastError().text() << s.lastError().text() << Qt::endl;
        db.close();
    }
    QSqlDatabase::removeDatabase("fill");
    return ok;
}

double Ms(QElapsedTimer &timer) { return timer.nsecsElapsed() / 1e6; }

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const qsizetype shotAt = args.indexOf(QStringLiteral("--shot"));
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const QString path = dir.filePath(QStringLiteral("history.sqlite"));
    const QDateTime now = QDateTime::currentDateTimeUtc();

    {
        HistoryStore store(path);
        if (!store.Open())
            return 1;
        Print("Record, empty file", Measure(store, now.addDays(-40)));
    }
    QFile::remove(path);
    {
        HistoryStore store(path);
        store.Open();
    }
    QElapsedTimer timer;
    timer.start();
    if (!Fill(path, now))
        return 1;
    out << "fill " << AllRows << " rows: " << QString::number(Ms(timer) / 1000, 'f', 1) << " s"
        << Qt::endl;

    const qint64 bytes = QFileInfo(path).size();
    out << "file: " << bytes << " bytes, " << QString::number(double(bytes) / AllRows, 'f', 1)
        << " bytes a ping (" << AllRows << " rows, target address " << Target.size()
        << " characters)" << Qt::endl;

    HistoryStore store(path);
    timer.start();
    if (!store.Open())
        return 1;
    out << "Open, " << AllRows << " rows: " << QString::number(Ms(timer), 'f', 1) << " ms"
        << Qt::endl;
    {
        bool sound = false;
        QEventLoop loop;
        QObject::connect(&store, &HistoryStore::checked, &loop, [&](bool ok) {
            sound = ok;
            loop.quit();
        });
        loop.exec();
        out << "quick check on its thread, done after: " << QString::number(Ms(timer), 'f', 1)
            << " ms (" << (sound ? "sound" : "damaged") << ")" << Qt::endl;
    }
    Print("Record, 1,000,000 rows", Measure(store, now.addDays(-40)));

    const QDateTime from = now.addDays(-30);
    timer.start();
    const QList<HistoryRow> rows = store.Rows(Target, from, now);
    out << "Rows, " << rows.size() << " in 30 days: " << QString::number(Ms(timer), 'f', 1) << " ms"
        << Qt::endl;
    timer.start();
    const HistoryStats stats = store.Statistics(Target, from, now);
    out << "Statistics (" << stats.count << " completed): " << QString::number(Ms(timer), 'f', 1)
        << " ms" << Qt::endl;
    timer.start();
    const double uptime = store.Uptime(Target, from, now);
    out << "Uptime 30 days (" << QString::number(uptime * 100, 'f', 2)
        << " %): " << QString::number(Ms(timer), 'f', 1) << " ms" << Qt::endl;
    timer.start();
    const QStringList addresses = store.Addresses();
    out << "Addresses (" << addresses.size() << "): " << QString::number(Ms(timer), 'f', 2) << " ms"
        << Qt::endl;

    {
        THistoryWindow window(&store);
        window.resize(1000, 620);
        window.findChild<QComboBox *>("cmbHistoryRange")
            ->setCurrentIndex(THistoryWindow::Last30Days);
        timer.start();
        window.ShowFor(Target);
        const QPixmap shot = window.grab(); // lays out and paints the chart
        out << "window open on " << rows.size()
            << " pings (30 days), painted: " << QString::number(Ms(timer), 'f', 1) << " ms"
            << Qt::endl;
        timer.start();
        window.Refresh();
        window.grab();
        out << "window refresh, painted: " << QString::number(Ms(timer), 'f', 1) << " ms"
            << Qt::endl;
        if (shotAt > 0 && shotAt + 1 < args.size())
            shot.save(args.at(shotAt + 1));
    }

    timer.start();
    QEventLoop trimming;
    qint64 trimmed = 0;
    QObject::connect(&store, &HistoryStore::trimmed, &trimming, [&](const HistoryTrimReport &r) {
        trimmed = r.removedPings + r.folded;
        trimming.quit();
    });
    store.Trim(60);
    trimming.exec();
    out << "Trim(60): " << trimmed << " rows in " << QString::number(Ms(timer), 'f', 1) << " ms"
        << Qt::endl;
    return 0;
}
