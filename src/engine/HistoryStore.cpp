#include "engine/HistoryStore.h"

#include "platform/ConfigFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

namespace {

constexpr int SchemaVersion = 1;
// Rows a trim deletes in one transaction: short enough that a writer in another process
// never waits past its busy time-out.
constexpr int TrimBatch = 5000;

// SQLite's result codes for a file that is not a database or is damaged.
constexpr int SqliteCorrupt = 11;
constexpr int SqliteNotADatabase = 26;

const char *const Schema[] = {
    // Without rowid: the rows are stored in the order of their key, so the rows of an address
    // in a time range are read side by side and the address is stored once a row. n only
    // tells apart two pings of an address that end in the same millisecond.
    "CREATE TABLE pings ("
    " address TEXT NOT NULL,"
    " at INTEGER NOT NULL," // ms since the epoch, UTC
    " n INTEGER NOT NULL,"
    " outcome TEXT NOT NULL CHECK (outcome IN ('completed', 'failed', 'cancelled')),"
    " ms REAL," // NULL: not measured
    " lookup_ms REAL,"
    " connect_ms REAL,"
    " first_byte_ms REAL,"
    " http_status INTEGER NOT NULL,"
    " error_code INTEGER NOT NULL,"
    " error_text TEXT NOT NULL,"
    " attempts INTEGER NOT NULL,"
    " error_ping INTEGER NOT NULL,"
    " PRIMARY KEY (address, at, n)) WITHOUT ROWID",
    "CREATE TABLE sessions ("
    " id INTEGER PRIMARY KEY,"
    " started INTEGER NOT NULL,"
    " last_seen INTEGER NOT NULL)",
    "CREATE INDEX sessions_last_seen ON sessions (last_seen)",
};

QString ErrorText(const QSqlError &error) {
    QString text = error.databaseText();
    if (text.isEmpty())
        text = error.driverText();
    return text.isEmpty() ? QStringLiteral("unknown error") : text;
}

bool IsDamage(const QSqlError &error) {
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok && ((code & 0xff) == SqliteCorrupt || (code & 0xff) == SqliteNotADatabase);
}

QVariant Measured(double seconds) {
    return seconds < 0 ? QVariant(QMetaType::fromType<double>()) : QVariant(seconds * 1000.0);
}

double MsOf(const QVariant &value) { return value.isNull() ? -1.0 : value.toDouble(); }

qint64 MsSinceEpoch(const QDateTime &time) { return time.toMSecsSinceEpoch(); }

// The nearest rank of values sorted in ascending order.
double PercentileOfSorted(const QList<double> &sorted, double percent) {
    if (sorted.isEmpty())
        return qQNaN();
    const double rank = std::ceil(percent / 100.0 * double(sorted.size()));
    return sorted.at(qBound<qsizetype>(0, qsizetype(rank) - 1, sorted.size() - 1));
}

QByteArray CsvField(const QString &text) {
    QByteArray bytes = text.toUtf8();
    if (bytes.contains(',') || bytes.contains('"') || bytes.contains('\r') ||
        bytes.contains('\n')) {
        bytes.replace("\"", "\"\"");
        bytes = '"' + bytes + '"';
    }
    return bytes;
}

QByteArray CsvMs(double ms) { return ms < 0 ? QByteArray() : QByteArray::number(ms, 'f', 3); }

} // namespace

double NearestRankPercentile(QList<double> values, double percent) {
    std::sort(values.begin(), values.end());
    return PercentileOfSorted(values, percent);
}

HistoryStats ComputeStats(QList<double> completedMs) {
    HistoryStats stats;
    if (completedMs.isEmpty())
        return stats;
    std::sort(completedMs.begin(), completedMs.end());
    stats.count = int(completedMs.size());
    stats.minMs = completedMs.constFirst();
    stats.maxMs = completedMs.constLast();
    double sum = 0;
    for (double ms : std::as_const(completedMs))
        sum += ms;
    stats.averageMs = sum / double(completedMs.size());
    stats.p95Ms = PercentileOfSorted(completedMs, 95);
    return stats;
}

double UptimeRatio(qint64 completed, qint64 failed) {
    const qint64 finished = completed + failed;
    return finished > 0 ? double(completed) / double(finished) : qQNaN();
}

QByteArray HistoryCsv(const QString &address, const QList<HistoryRow> &rows) {
    QByteArray csv = "time_utc,address,outcome,ms,lookup_ms,connect_ms,first_byte_ms,http_status,"
                     "error_code,error_text,attempts,error_ping\r\n";
    const QByteArray addressField = CsvField(address);
    for (const HistoryRow &row : rows) {
        csv += row.At().toString(Qt::ISODateWithMs).toLatin1();
        csv += ',' + addressField;
        csv += ',' + OutcomeName(row.outcome).toLatin1();
        csv += ',' + CsvMs(row.ms);
        csv += ',' + CsvMs(row.lookupMs);
        csv += ',' + CsvMs(row.connectMs);
        csv += ',' + CsvMs(row.firstByteMs);
        csv += ',' + QByteArray::number(row.httpStatus);
        csv += ',' + QByteArray::number(row.errorCode);
        csv += ',' + CsvField(row.errorText);
        csv += ',' + QByteArray::number(row.attempts);
        csv += row.errorPing ? ",1\r\n" : ",0\r\n";
    }
    return csv;
}

HistoryStore::HistoryStore(const QString &path, QObject *parent)
    : QObject(parent), m_path(path.isEmpty() ? DefaultPath() : path),
      m_connection(QStringLiteral("vn_history_") + QUuid::createUuid().toString(QUuid::Id128)),
      m_clock([] { return QDateTime::currentDateTimeUtc(); }),
      m_random(QRandomGenerator::securelySeeded()) {
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    m_sessionTimer.setInterval(SessionTouchMs);
    connect(&m_sessionTimer, &QTimer::timeout, this, [this] { TouchSession(); });
}

HistoryStore::~HistoryStore() {
    EndSession();
    if (m_check)
        m_check->wait();
    CloseFile();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connection);
}

QString HistoryStore::DefaultPath() {
    return UserDataFolder() + QStringLiteral("/Lumo Dev/Vennatro/history.sqlite");
}

bool HistoryStore::Exec(const QString &sql, QString *reason) {
    QSqlQuery query(m_db);
    if (query.exec(sql))
        return true;
    if (reason)
        *reason = ErrorText(query.lastError());
    return false;
}

bool HistoryStore::Open() {
    if (m_open)
        return true;
    QString reason;
    bool damaged = false;
    if (!OpenFile(&reason, &damaged) && damaged) {
        // Renamed while still open: closing first would let SQLite delete a log it could not
        // read, and with it what the file's owner may still want to recover.
        SetAside(reason);
        CloseFile();
        damaged = false;
        OpenFile(&reason, &damaged);
    }
    if (!m_open) {
        CloseFile();
        OpenFailed(reason);
        return false;
    }
    ++m_generation;
    if (m_quickCheck && !m_created)
        StartCheck();
    return true;
}

void HistoryStore::OpenFailed(const QString &reason) {
    if (m_writeFailing)
        return;
    m_writeFailing = true;
    emit problem(QStringLiteral("Cannot open the history file \"%1\": %2").arg(m_path, reason));
}

bool HistoryStore::OpenFile(QString *reason, bool *damaged) {
    m_created = false;
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder)) {
        *reason = QStringLiteral("cannot create the folder \"%1\"").arg(folder);
        return false;
    }
    m_db.setDatabaseName(m_path);
    if (!m_db.open()) {
        *reason = ErrorText(m_db.lastError());
        *damaged = IsDamage(m_db.lastError());
        return false;
    }
    // The first statement that reads the file fails for a file that is not a database.
    QSqlQuery setup(m_db);
    if (!setup.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(BusyTimeoutMs)) ||
        !setup.exec(QStringLiteral("PRAGMA journal_mode = WAL")) || !setup.next()) {
        *reason = ErrorText(setup.lastError());
        *damaged = IsDamage(setup.lastError());
        return false;
    }
    // WAL: a commit appends to the log without waiting for the disk, readers never wait for
    // the writer, and a killed process loses nothing it committed.
    if (setup.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        *reason = QStringLiteral("the file cannot be switched to WAL mode");
        return false;
    }
    setup.finish();
    if (!Exec(m_waitForDisk ? QStringLiteral("PRAGMA synchronous = NORMAL")
                            : QStringLiteral("PRAGMA synchronous = OFF"),
              reason) ||
        !CreateSchema(reason))
        return false;

    m_insert = std::make_unique<QSqlQuery>(m_db);
    m_begin = std::make_unique<QSqlQuery>(m_db);
    m_commit = std::make_unique<QSqlQuery>(m_db);
    m_touch = std::make_unique<QSqlQuery>(m_db);
    for (const auto &[query, sql] :
         {std::pair{m_insert.get(),
                    "INSERT INTO pings (address, at, n, outcome, ms, lookup_ms, connect_ms,"
                    " first_byte_ms, http_status, error_code, error_text, attempts, error_ping)"
                    " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"},
          std::pair{m_begin.get(), "BEGIN IMMEDIATE"}, std::pair{m_commit.get(), "COMMIT"},
          std::pair{m_touch.get(), "UPDATE sessions SET last_seen = ? WHERE id = ?"}}) {
        if (!query->prepare(QLatin1String(sql))) {
            *reason = ErrorText(query->lastError());
            *damaged = IsDamage(query->lastError());
            return false;
        }
    }
    m_open = true;
    return true;
}

bool HistoryStore::CreateSchema(QString *reason) {
    QSqlQuery version(m_db);
    if (!version.exec(QStringLiteral("PRAGMA user_version")) || !version.next()) {
        *reason = ErrorText(version.lastError());
        return false;
    }
    const int found = version.value(0).toInt();
    version.finish();
    if (found == SchemaVersion)
        return true;
    if (found > SchemaVersion) {
        // A newer program's file: left as it is rather than written in a shape it does not
        // expect.
        *reason = QStringLiteral("the file has schema version %1; this program knows %2")
                      .arg(found)
                      .arg(SchemaVersion);
        return false;
    }
    if (!Exec(QStringLiteral("BEGIN IMMEDIATE"), reason))
        return false;
    // Another process may have made the schema while this one waited for the lock.
    QSqlQuery again(m_db);
    if (again.exec(QStringLiteral("PRAGMA user_version")) && again.next() &&
        again.value(0).toInt() == SchemaVersion) {
        again.finish();
        return Exec(QStringLiteral("COMMIT"), reason);
    }
    again.finish();
    for (const char *statement : Schema) {
        if (!Exec(QLatin1String(statement), reason)) {
            Exec(QStringLiteral("ROLLBACK"));
            return false;
        }
    }
    if (!Exec(QStringLiteral("PRAGMA user_version = %1").arg(SchemaVersion), reason) ||
        !Exec(QStringLiteral("COMMIT"), reason)) {
        Exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    m_created = true;
    return true;
}

void HistoryStore::CloseFile() {
    m_insert.reset();
    m_begin.reset();
    m_commit.reset();
    m_touch.reset();
    if (m_db.isOpen())
        m_db.close();
    m_open = false;
}

void HistoryStore::SetAside(const QString &reason) {
    const QString bad = m_path + QStringLiteral(".bad");
    // The log and the shared memory travel with the file, under the names SQLite looks for.
    bool kept = true;
    for (const QString &suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")}) {
        QFile::remove(bad + suffix);
        if (QFile::exists(m_path + suffix) && !QFile::rename(m_path + suffix, bad + suffix))
            kept = QFile::remove(m_path + suffix) && kept;
    }
    emit problem(kept ? QStringLiteral("The history file \"%1\" is damaged (%2); it is kept as "
                                       "\"%3\" and a new history begins.")
                            .arg(m_path, reason, bad)
                      : QStringLiteral("The history file \"%1\" is damaged (%2); it could not be "
                                       "kept and a new history begins.")
                            .arg(m_path, reason));
}

void HistoryStore::SetAsideAndReopen(const QString &reason) {
    const bool running = m_sessionId >= 0;
    m_sessionId = -1;
    m_sessionTimer.stop();
    SetAside(reason);
    CloseFile();
    if (Open() && running)
        BeginSession();
}

void HistoryStore::WriteFailed(const QSqlError &error) {
    Exec(QStringLiteral("ROLLBACK")); // may have ended by itself; then this fails, harmlessly
    if (m_writeFailing)
        return;
    m_writeFailing = true;
    emit problem(
        QStringLiteral("Cannot write the history file \"%1\": %2").arg(m_path, ErrorText(error)));
}

// The check runs on a connection of its own, on a thread of its own: it reads every page.
void HistoryStore::StartCheck() {
    if (m_check) {
        m_check->wait(); // a check of a file set aside: its verdict no longer matters
        m_check.reset();
    }
    auto damage = std::make_shared<QString>();
    const quint64 generation = m_generation;
    m_check.reset(QThread::create([path = m_path, damage] {
        const QString name =
            QStringLiteral("vn_history_check_") + QUuid::createUuid().toString(QUuid::Id128);
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
            db.setDatabaseName(path);
            if (db.open()) {
                QSqlQuery check(db);
                check.exec(QStringLiteral("PRAGMA busy_timeout = 5000"));
                if (check.exec(QStringLiteral("PRAGMA quick_check"))) {
                    QStringList findings;
                    while (check.next())
                        findings << check.value(0).toString();
                    if (findings != QStringList{QStringLiteral("ok")})
                        *damage = findings.join(QStringLiteral("; "));
                } else if (IsDamage(check.lastError())) {
                    *damage = ErrorText(check.lastError());
                }
                // Any other failure (busy, no memory) says nothing about the file.
            }
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
    }));
    QThread *thread = m_check.get();
    connect(thread, &QThread::finished, this,
            [this, thread, generation, damage] { CheckFinished(thread, generation, *damage); });
    m_check->start(QThread::LowPriority);
}

void HistoryStore::CheckFinished(QThread *thread, quint64 generation, const QString &damage) {
    if (m_check.get() == thread) {
        m_check->wait(); // it has signalled its end; this lets it return
        m_check.reset();
    }
    if (generation != m_generation)
        return;
    if (!damage.isEmpty())
        SetAsideAndReopen(damage);
    emit checked(damage.isEmpty());
}

bool HistoryStore::Insert(const PingResult &result, QSqlError *error) {
    if (!m_begin->exec()) {
        *error = m_begin->lastError();
        return false;
    }
    QSqlQuery &insert = *m_insert;
    insert.bindValue(0, result.address);
    insert.bindValue(1, MsSinceEpoch(result.finishedAt));
    insert.bindValue(2, qint64(m_random.generate64() >> 2));
    insert.bindValue(3, OutcomeName(result.outcome));
    insert.bindValue(4, Measured(result.seconds));
    insert.bindValue(5, Measured(result.lookupSeconds));
    insert.bindValue(6, Measured(result.connectSeconds));
    insert.bindValue(7, Measured(result.firstByteSeconds));
    insert.bindValue(8, result.httpStatus);
    insert.bindValue(9, result.errorCode);
    insert.bindValue(10, result.errorText.isNull() ? QString(QLatin1String("")) : result.errorText);
    insert.bindValue(11, result.attempts);
    insert.bindValue(12, result.errorPing ? 1 : 0);
    if (!insert.exec()) {
        *error = insert.lastError();
        return false;
    }
    // The session rides along in the same transaction when it is due.
    if (m_sessionId >= 0 && MsSinceEpoch(Now()) - m_lastTouchMs >= SessionTouchMs &&
        !TouchSession()) {
        *error = m_touch->lastError();
        return false;
    }
    if (!m_commit->exec()) {
        *error = m_commit->lastError();
        return false;
    }
    return true;
}

bool HistoryStore::Record(const PingResult &result) {
    if (!Open())
        return false;
    QSqlError error;
    bool written = Insert(result, &error);
    if (!written && IsDamage(error)) {
        // Found damaged while writing: the ping goes into a new file.
        Exec(QStringLiteral("ROLLBACK"));
        SetAsideAndReopen(ErrorText(error));
        written = m_open && Insert(result, &error);
    }
    if (!written) {
        WriteFailed(error);
        return false;
    }
    m_writeFailing = false;
    emit recorded(result);
    return true;
}

int HistoryStore::Trim(int days) {
    if (days <= 0)
        return 0;
    if (!Open())
        return -1;
    const qint64 cutoff = MsSinceEpoch(Now().addDays(-days));
    int deleted = 0;
    QSqlQuery begin(m_db);
    QSqlQuery batch(m_db);
    QSqlQuery commit(m_db);
    begin.prepare(QStringLiteral("BEGIN IMMEDIATE"));
    commit.prepare(QStringLiteral("COMMIT"));
    batch.prepare(QStringLiteral("DELETE FROM pings WHERE (address, at, n) IN"
                                 " (SELECT address, at, n FROM pings"
                                 " WHERE address = ? AND at < ? LIMIT %1)")
                      .arg(TrimBatch));
    for (const QString &address : Addresses()) {
        for (;;) {
            batch.bindValue(0, address);
            batch.bindValue(1, cutoff);
            if (!begin.exec() || !batch.exec() || !commit.exec()) {
                QSqlError error = begin.lastError();
                if (error.type() == QSqlError::NoError)
                    error = batch.lastError();
                if (error.type() == QSqlError::NoError)
                    error = commit.lastError();
                WriteFailed(error);
                return -1;
            }
            const int affected = batch.numRowsAffected();
            deleted += affected;
            if (affected < TrimBatch)
                break;
        }
    }
    QSqlQuery sessions(m_db);
    sessions.prepare(QStringLiteral("DELETE FROM sessions WHERE last_seen < ?"));
    sessions.bindValue(0, cutoff);
    if (!sessions.exec()) {
        WriteFailed(sessions.lastError());
        return -1;
    }
    m_writeFailing = false;
    return deleted;
}

void HistoryStore::BeginSession() {
    EndSession();
    if (!Open())
        return;
    const qint64 now = MsSinceEpoch(Now());
    QSqlQuery insert(m_db);
    insert.prepare(QStringLiteral("INSERT INTO sessions (started, last_seen) VALUES (?, ?)"));
    insert.bindValue(0, now);
    insert.bindValue(1, now);
    if (!insert.exec()) {
        WriteFailed(insert.lastError());
        return;
    }
    m_sessionId = insert.lastInsertId().toLongLong();
    m_lastTouchMs = now;
    m_sessionTimer.start();
}

void HistoryStore::EndSession() {
    if (m_sessionId < 0)
        return;
    TouchSession();
    m_sessionId = -1;
    m_sessionTimer.stop();
}

bool HistoryStore::TouchSession() {
    if (m_sessionId < 0 || !m_open)
        return false;
    const qint64 now = MsSinceEpoch(Now());
    m_touch->bindValue(0, now);
    m_touch->bindValue(1, m_sessionId);
    if (!m_touch->exec())
        return false; // the caller's write reports it; the timer's renewal waits for the next
    m_lastTouchMs = now;
    return true;
}

QStringList HistoryStore::Addresses() {
    QStringList addresses;
    if (!Open())
        return addresses;
    // One seek an address instead of a walk over every row.
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (!query.exec(
            QStringLiteral("WITH RECURSIVE a(x) AS (SELECT MIN(address) FROM pings UNION ALL"
                           " SELECT (SELECT MIN(address) FROM pings WHERE address > x) FROM a"
                           " WHERE x IS NOT NULL) SELECT x FROM a WHERE x IS NOT NULL")))
        return addresses;
    while (query.next())
        addresses << query.value(0).toString();
    return addresses;
}

QList<HistoryRow> HistoryStore::Rows(const QString &address, const QDateTime &fromUtc,
                                     const QDateTime &toUtc, RowDetail detail) {
    QList<HistoryRow> rows;
    if (!Open())
        return rows;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    // The outcome as a number: no text to make for each of many rows.
    const bool all = detail == RowDetail::All;
    query.prepare(QStringLiteral("SELECT at, CASE outcome WHEN 'completed' THEN 0"
                                 " WHEN 'failed' THEN 1 ELSE 2 END, ms%1 FROM pings"
                                 " WHERE address = ? AND at BETWEEN ? AND ? ORDER BY at")
                      .arg(all ? QLatin1String(", lookup_ms, connect_ms, first_byte_ms,"
                                               " http_status, error_code, error_text, attempts,"
                                               " error_ping")
                               : QLatin1String("")));
    query.bindValue(0, address);
    query.bindValue(1, MsSinceEpoch(fromUtc));
    query.bindValue(2, MsSinceEpoch(toUtc));
    if (!query.exec())
        return rows;
    constexpr PingOutcomeKind Outcomes[] = {PingOutcomeKind::Completed, PingOutcomeKind::Failed,
                                            PingOutcomeKind::Cancelled};
    while (query.next()) {
        HistoryRow row;
        row.atMs = query.value(0).toLongLong();
        row.outcome = Outcomes[qBound(0, query.value(1).toInt(), 2)];
        row.ms = MsOf(query.value(2));
        if (all) {
            row.lookupMs = MsOf(query.value(3));
            row.connectMs = MsOf(query.value(4));
            row.firstByteMs = MsOf(query.value(5));
            row.httpStatus = query.value(6).toInt();
            row.errorCode = query.value(7).toInt();
            row.errorText = query.value(8).toString();
            row.attempts = query.value(9).toInt();
            row.errorPing = query.value(10).toInt() != 0;
        }
        rows.append(std::move(row));
    }
    return rows;
}

HistoryStats HistoryStore::Statistics(const QString &address, const QDateTime &fromUtc,
                                      const QDateTime &toUtc) {
    QList<double> times;
    if (!Open())
        return ComputeStats(times);
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT ms FROM pings WHERE address = ? AND at BETWEEN ? AND ?"
                                 " AND outcome = 'completed' AND ms IS NOT NULL"));
    query.bindValue(0, address);
    query.bindValue(1, MsSinceEpoch(fromUtc));
    query.bindValue(2, MsSinceEpoch(toUtc));
    if (query.exec()) {
        while (query.next())
            times.append(query.value(0).toDouble());
    }
    return ComputeStats(std::move(times));
}

double HistoryStore::Uptime(const QString &address, const QDateTime &fromUtc,
                            const QDateTime &toUtc) {
    if (!Open())
        return qQNaN();
    // Cancelled pings are left out: a cancel says nothing about the address.
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral(
        "SELECT COALESCE(SUM(outcome = 'completed'), 0), COALESCE(SUM(outcome = 'failed'), 0)"
        " FROM pings WHERE address = ? AND at BETWEEN ? AND ?"));
    query.bindValue(0, address);
    query.bindValue(1, MsSinceEpoch(fromUtc));
    query.bindValue(2, MsSinceEpoch(toUtc));
    if (!query.exec() || !query.next())
        return qQNaN();
    return UptimeRatio(query.value(0).toLongLong(), query.value(1).toLongLong());
}

QList<HistoryHour> HistoryStore::Hours(const QString &address, const QDateTime &fromUtc,
                                       const QDateTime &toUtc) {
    QList<HistoryHour> hours;
    if (!Open())
        return hours;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(
        QStringLiteral("SELECT at / 3600000, SUM(outcome = 'completed'),"
                       " SUM(outcome = 'failed') FROM pings"
                       " WHERE address = ? AND at >= ? AND at < ? GROUP BY at / 3600000"));
    query.bindValue(0, address);
    query.bindValue(1, MsSinceEpoch(fromUtc));
    query.bindValue(2, MsSinceEpoch(toUtc));
    if (!query.exec())
        return hours;
    while (query.next())
        hours.append(HistoryHour{query.value(0).toLongLong(), query.value(1).toInt(),
                                 query.value(2).toInt()});
    return hours;
}

QList<HistorySession> HistoryStore::Sessions(const QDateTime &fromUtc, const QDateTime &toUtc) {
    QList<HistorySession> sessions;
    if (!Open())
        return sessions;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    // A running session's last-seen time lags by up to a renewal interval.
    query.prepare(QStringLiteral("SELECT started, last_seen FROM sessions"
                                 " WHERE last_seen >= ? AND started <= ? ORDER BY started"));
    query.bindValue(0, MsSinceEpoch(fromUtc) - SessionTouchMs);
    query.bindValue(1, MsSinceEpoch(toUtc));
    if (!query.exec())
        return sessions;
    while (query.next())
        sessions.append({query.value(0).toLongLong(), query.value(1).toLongLong()});
    return sessions;
}
