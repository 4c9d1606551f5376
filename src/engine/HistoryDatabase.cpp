#include "engine/HistoryDatabase.h"

#include "engine/PingTarget.h"

#include <QSqlError>
#include <QVariant>

#include <cmath>

namespace HistoryDb {

namespace {

// SQLite's primary result codes (the low byte of an extended one).
constexpr int SqliteBusy = 5;
constexpr int SqliteLocked = 6;
constexpr int SqliteInterrupt = 9;
constexpr int SqliteCorrupt = 11;
constexpr int SqliteNotADatabase = 26;

int PrimaryCode(const QSqlError &error) {
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok ? code & 0xff : -1;
}

constexpr const char *PingColumns =
    "address_id, at, n, outcome, us, lookup_us, connect_us, first_byte_us, http_status,"
    " error_code, error_text, attempts, error_ping, tls_us";

QVariant Measured(double seconds) {
    const qint64 us = MicrosecondsOf(seconds);
    return us < 0 ? QVariant(QMetaType::fromType<qint64>()) : QVariant(us);
}

} // namespace

QString ErrorText(const QSqlError &error) {
    QString text = error.databaseText();
    if (text.isEmpty())
        text = error.driverText();
    return text.isEmpty() ? QStringLiteral("unknown error") : text;
}

bool IsDamage(const QSqlError &error) {
    const int code = PrimaryCode(error);
    return code == SqliteCorrupt || code == SqliteNotADatabase;
}

bool IsBusy(const QSqlError &error) {
    const int code = PrimaryCode(error);
    return code == SqliteBusy || code == SqliteLocked;
}

bool IsInterrupted(const QSqlError &error) { return PrimaryCode(error) == SqliteInterrupt; }

bool OpenConnection(QSqlDatabase &db, QString *reason, bool *damaged) {
    if (db.open())
        return true;
    *reason = ErrorText(db.lastError());
    *damaged = IsDamage(db.lastError());
    return false;
}

int OutcomeCode(PingOutcomeKind outcome) {
    switch (outcome) {
    case PingOutcomeKind::Completed:
        return int(HistoryOutcome::Completed);
    case PingOutcomeKind::Failed:
        return int(HistoryOutcome::Failed);
    case PingOutcomeKind::Cancelled:
        return int(HistoryOutcome::Cancelled);
    case PingOutcomeKind::NotChecked:
        return int(HistoryOutcome::NotChecked);
    }
    return int(HistoryOutcome::Cancelled);
}

PingOutcomeKind OutcomeOf(int code) {
    switch (code) {
    case int(HistoryOutcome::Completed):
        return PingOutcomeKind::Completed;
    case int(HistoryOutcome::Failed):
        return PingOutcomeKind::Failed;
    case int(HistoryOutcome::NotChecked):
        return PingOutcomeKind::NotChecked;
    default: // neither completed nor failed: says nothing about the address
        return PingOutcomeKind::Cancelled;
    }
}

qint64 MicrosecondsOf(double seconds) {
    return seconds < 0 || !std::isfinite(seconds) ? -1 : qint64(std::llround(seconds * 1e6));
}

const QList<const char *> &SchemaStatements() {
    static const QList<const char *> statements = {
        // An address is stored once; its id never changes and is never given to another, so a
        // process may keep the ids it has seen.
        "CREATE TABLE addresses (id INTEGER PRIMARY KEY, address TEXT NOT NULL UNIQUE)",
        // Without rowid: stored in the order of the key, so the rows of an address in a time
        // range lie side by side. n tells apart two pings of an address ending in the same
        // millisecond (0 for the first: it takes no room). Times in microseconds, NULL when
        // not measured.
        "CREATE TABLE pings ("
        " address_id INTEGER NOT NULL,"
        " at INTEGER NOT NULL," // ms since the epoch, UTC
        " n INTEGER NOT NULL,"
        " outcome INTEGER NOT NULL," // HistoryOutcome
        " us INTEGER,"
        " lookup_us INTEGER,"
        " connect_us INTEGER,"
        " first_byte_us INTEGER,"
        " http_status INTEGER NOT NULL,"
        " error_code INTEGER NOT NULL,"
        " error_text TEXT NOT NULL,"
        " attempts INTEGER NOT NULL,"
        " error_ping INTEGER NOT NULL,"
        " tls_us INTEGER," // from the start of the attempt; layout 3
        " PRIMARY KEY (address_id, at, n)) WITHOUT ROWID",
        // The pings of an address in an hour whose single rows are gone (HistoryTally).
        "CREATE TABLE hours ("
        " address_id INTEGER NOT NULL,"
        " hour INTEGER NOT NULL," // hours since the epoch, rounded down
        " completed INTEGER NOT NULL,"
        " failed INTEGER NOT NULL,"
        " cancelled INTEGER NOT NULL,"
        " not_checked INTEGER NOT NULL,"
        " timed INTEGER NOT NULL,"
        " min_us INTEGER,"
        " max_us INTEGER,"
        " sum_us INTEGER NOT NULL,"
        " histogram BLOB NOT NULL,"
        " PRIMARY KEY (address_id, hour)) WITHOUT ROWID",
    };
    return statements;
}

const QList<const char *> &SessionStatements() {
    static const QList<const char *> statements = {
        "CREATE TABLE sessions ("
        " id INTEGER PRIMARY KEY,"
        " started INTEGER NOT NULL,"
        " last_seen INTEGER NOT NULL)",
        "CREATE INDEX sessions_last_seen ON sessions (last_seen)",
    };
    return statements;
}

HistoryTally ReadTally(const QSqlQuery &query, int firstColumn) {
    HistoryTally tally;
    for (int i = 0; i < HistoryOutcomeCodes; ++i)
        tally.outcomes[size_t(i)] = query.value(firstColumn + i).toLongLong();
    tally.timed = query.value(firstColumn + 4).toLongLong();
    if (tally.timed > 0) {
        tally.minUs = query.value(firstColumn + 5).toLongLong();
        tally.maxUs = query.value(firstColumn + 6).toLongLong();
    }
    tally.sumUs = query.value(firstColumn + 7).toLongLong();
    tally.histogram = HistoryHistogram::Decode(query.value(firstColumn + 8).toByteArray());
    return tally;
}

void BindTally(QSqlQuery &query, int firstPosition, const HistoryTally &tally) {
    const QVariant none(QMetaType::fromType<qint64>());
    int i = firstPosition;
    for (qint64 count : tally.outcomes)
        query.bindValue(i++, count);
    query.bindValue(i++, tally.timed);
    query.bindValue(i++, tally.timed > 0 ? QVariant(tally.minUs) : none);
    query.bindValue(i++, tally.timed > 0 ? QVariant(tally.maxUs) : none);
    query.bindValue(i++, tally.sumUs);
    QByteArray histogram = tally.histogram.Encode();
    if (histogram.isNull())
        histogram = QByteArray("", 0); // an empty blob, not NULL
    query.bindValue(i++, histogram);
}

bool Configure(QSqlDatabase &db, int busyTimeoutMs, bool waitForDisk, QString *reason,
               bool *damaged) {
    // The first statement that reads the file fails for a file that is not a database.
    QSqlQuery setup(db);
    // Free pages go back to the file system after a trim; only a new file takes this (before
    // anything is written to it), an older one once it is rebuilt.
    if (!setup.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(busyTimeoutMs)) ||
        !setup.exec(QStringLiteral("PRAGMA page_count")) || !setup.next()) {
        *reason = ErrorText(setup.lastError());
        *damaged = IsDamage(setup.lastError());
        return false;
    }
    const bool empty = setup.value(0).toLongLong() == 0;
    if ((empty && !setup.exec(QStringLiteral("PRAGMA auto_vacuum = INCREMENTAL"))) ||
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
    // A log emptied by a checkpoint is cut back to this size, so a burst of upkeep does not
    // leave a large file behind.
    for (const QString &pragma : {QStringLiteral("PRAGMA journal_size_limit = 4194304"),
                                  waitForDisk ? QStringLiteral("PRAGMA synchronous = NORMAL")
                                              : QStringLiteral("PRAGMA synchronous = OFF")}) {
        if (!setup.exec(pragma)) {
            *reason = ErrorText(setup.lastError());
            *damaged = IsDamage(setup.lastError());
            return false;
        }
    }
    return true;
}

PingWriter::PingWriter(const QSqlDatabase &db)
    : m_db(db), m_find(db), m_add(db), m_insert(db), m_insertAgain(db),
      m_random(QRandomGenerator::securelySeeded()) {}

bool PingWriter::Prepare(QSqlError *error) {
    const QString insert = QStringLiteral(
        "INSERT INTO pings (%1) VALUES (?, ?, %2, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)%3");
    for (const auto &[query, sql] :
         {std::pair{&m_find, QStringLiteral("SELECT id FROM addresses WHERE address = ?")},
          std::pair{&m_add, QStringLiteral("INSERT INTO addresses (address) VALUES (?)")},
          std::pair{&m_insert, insert.arg(QLatin1String(PingColumns), QStringLiteral("0"),
                                          QStringLiteral(" ON CONFLICT DO NOTHING"))},
          std::pair{&m_insertAgain,
                    insert.arg(QLatin1String(PingColumns), QStringLiteral("?"), QString())}}) {
        if (!query->prepare(sql)) {
            *error = query->lastError();
            return false;
        }
    }
    return true;
}

qint64 PingWriter::AddressId(const QString &given, bool create, QSqlError *error) {
    // The file keeps no password: every address is stored, and looked up, without it.
    const QString address = AddressWithoutPassword(given);
    const auto known = m_ids.constFind(address);
    if (known != m_ids.constEnd())
        return *known;
    m_find.bindValue(0, address);
    if (!m_find.exec()) {
        if (error)
            *error = m_find.lastError();
        return -1;
    }
    if (m_find.next()) {
        const qint64 id = m_find.value(0).toLongLong();
        m_find.finish();
        m_ids.insert(address, id);
        return id;
    }
    m_find.finish();
    if (!create)
        return -1;
    m_add.bindValue(0, address);
    if (!m_add.exec()) {
        if (error)
            *error = m_add.lastError();
        return -1;
    }
    const qint64 id = m_add.lastInsertId().toLongLong();
    m_ids.insert(address, id);
    m_fresh.append(address);
    return id;
}

bool PingWriter::Insert(const PingResult &result, QSqlError *error) {
    const qint64 id = AddressId(result.address, true, error);
    if (id < 0)
        return false;
    QVariantList values = {
        id,
        result.finishedAt.toMSecsSinceEpoch(),
        OutcomeCode(result.outcome),
        Measured(result.seconds),
        Measured(result.lookupSeconds),
        Measured(result.connectSeconds),
        Measured(result.firstByteSeconds),
        result.httpStatus,
        result.errorCode,
        result.errorText.isNull() ? QString(QLatin1String("")) : result.errorText,
        result.attempts,
        result.errorPing ? 1 : 0,
        Measured(result.tlsSeconds),
    };
    auto bind = [&values](QSqlQuery &q) {
        for (int i = 0; i < values.size(); ++i)
            q.bindValue(i, values.at(i));
    };
    bind(m_insert);
    if (!m_insert.exec()) {
        *error = m_insert.lastError();
        return false;
    }
    if (m_insert.numRowsAffected() > 0)
        return true;
    // A ping of the address already ended in this millisecond: another n, at random, since
    // another process may be writing one of its own.
    values.insert(2, qint64(m_random.bounded(quint64(1) << 62)) + 1);
    bind(m_insertAgain);
    if (!m_insertAgain.exec()) {
        *error = m_insertAgain.lastError();
        return false;
    }
    return true;
}

void PingWriter::RolledBack() {
    for (const QString &address : std::as_const(m_fresh))
        m_ids.remove(address);
    m_fresh.clear();
}

void PingWriter::Forget() {
    m_ids.clear();
    m_fresh.clear();
}

void PingWriter::Finish() {
    for (QSqlQuery *q : {&m_find, &m_add, &m_insert, &m_insertAgain})
        q->finish();
}

} // namespace HistoryDb
