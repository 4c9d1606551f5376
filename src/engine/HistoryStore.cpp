#include "engine/HistoryStore.h"

#include "engine/PingTarget.h"
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
#include <limits>
#include <memory>
#include <utility>

using namespace HistoryDb;

namespace {

constexpr qint64 HourMs = HistoryHourMs;

qint64 MsSinceEpoch(const QDateTime &time) { return time.toMSecsSinceEpoch(); }

double MsOfUs(const QVariant &value) {
    return value.isNull() ? -1.0 : double(value.toLongLong()) / 1000.0;
}

// The first hour starting at or after ms.
qint64 FirstHourFrom(qint64 ms) { return HistoryHourOf(ms) + (ms % HourMs != 0 ? 1 : 0); }

// Takes away the group's and others' permission bits: the history says which sites were
// reached when, and addresses may carry a user name.
void KeepPrivate(const QString &path) {
    const QFile::Permissions owner = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                      QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    const QFile::Permissions now = QFile::permissions(path);
    if (now & others)
        QFile::setPermissions(path, now & owner);
}

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

QByteArray HistoryCsv(const QString &address, const QList<HistoryRow> &rows,
                      const QList<HistoryHour> &hours) {
    QByteArray csv = "time_utc,address,outcome,ms,lookup_ms,connect_ms,tls_ms,first_byte_ms,"
                     "http_status,error_code,error_text,attempts,error_ping";
    const bool withHours = !hours.isEmpty();
    csv += withHours ? ",completed,failed,cancelled,not_checked,min_ms,p95_ms,max_ms\r\n" : "\r\n";
    const QByteArray addressField = CsvField(AddressWithoutPassword(address));
    auto timeField = [](qint64 ms) {
        return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs).toLatin1();
    };
    auto hourMs = [](double ms) { return std::isnan(ms) ? QByteArray() : CsvMs(ms); };
    qsizetype h = 0;
    auto writeHoursBefore = [&](qint64 ms) {
        for (; h < hours.size() && hours.at(h).StartMs() <= ms; ++h) {
            const HistoryHour &hour = hours.at(h);
            csv += timeField(hour.StartMs()) + ',' + addressField + ",hour," +
                   hourMs(hour.averageMs) + ",,,,,,,,,," + QByteArray::number(hour.completed) +
                   ',' + QByteArray::number(hour.failed) + ',' +
                   QByteArray::number(hour.cancelled) + ',' + QByteArray::number(hour.notChecked) +
                   ',' + hourMs(hour.minMs) + ',' + hourMs(hour.p95Ms) + ',' + hourMs(hour.maxMs) +
                   "\r\n";
        }
    };
    for (const HistoryRow &row : rows) {
        writeHoursBefore(row.atMs);
        csv += timeField(row.atMs);
        csv += ',' + addressField;
        csv += ',' + OutcomeName(row.outcome).toLatin1();
        csv += ',' + CsvMs(row.ms);
        csv += ',' + CsvMs(row.lookupMs);
        csv += ',' + CsvMs(row.connectMs);
        csv += ',' + CsvMs(row.tlsMs);
        csv += ',' + CsvMs(row.firstByteMs);
        csv += ',' + QByteArray::number(row.httpStatus);
        csv += ',' + QByteArray::number(row.errorCode);
        csv += ',' + CsvField(row.errorText);
        csv += ',' + QByteArray::number(row.attempts);
        csv += row.errorPing ? ",1" : ",0";
        csv += withHours ? ",,,,,,,\r\n" : "\r\n";
    }
    writeHoursBefore(std::numeric_limits<qint64>::max());
    return csv;
}

HistoryStore::HistoryStore(const QString &path, QObject *parent)
    : QObject(parent), m_path(path.isEmpty() ? DefaultPath() : path),
      m_connection(QStringLiteral("vn_history_") + QUuid::createUuid().toString(QUuid::Id128)),
      m_clock([] { return QDateTime::currentDateTimeUtc(); }) {
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    m_sessionTimer.setInterval(SessionTouchMs);
    connect(&m_sessionTimer, &QTimer::timeout, this, [this] { TouchSession(); });
    m_thread.setObjectName(QStringLiteral("history"));
}

HistoryStore::~HistoryStore() {
    EndSession();
    StopWorker();
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

HistoryUpkeep *HistoryStore::Worker() {
    if (m_worker)
        return m_worker;
    qRegisterMetaType<HistoryTrimReport>();
    qRegisterMetaType<QList<PingResult>>();
    m_worker = new HistoryUpkeep(m_path, m_waitForDisk, m_lockWaitMs);
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_worker, &HistoryUpkeep::checked, this, &HistoryStore::CheckFinished);
    connect(m_worker, &HistoryUpkeep::trimmed, this, &HistoryStore::Trimmed);
    connect(m_worker, &HistoryUpkeep::written, this, [this](const QList<PingResult> &results) {
        m_queued -= int(results.size());
        m_writeFailing = false;
        for (const PingResult &result : results)
            emit recorded(result);
    });
    connect(m_worker, &HistoryUpkeep::dropped, this, [this](int count, const QString &reason) {
        m_queued -= count;
        WriteFailed(QStringLiteral("Cannot write the history file \"%1\": %2").arg(m_path, reason));
    });
    connect(m_worker, &HistoryUpkeep::waiting, this, [this](const QString &reason) {
        WriteFailed(QStringLiteral("Cannot write the history file \"%1\": %2; the pings wait "
                                   "their turn")
                        .arg(m_path, reason));
    });
    connect(m_worker, &HistoryUpkeep::damaged, this, [this](quint64 resets, const QString &reason) {
        if (resets == m_resets)
            SetAsideAndReopen(reason);
    });
    m_thread.start(QThread::LowPriority);
    return m_worker;
}

void HistoryStore::ResetWorker() {
    if (!m_worker)
        return;
    ++m_resets;
    m_worker->Interrupt(); // a check of the file set aside need not end first
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker, resets = m_resets] { worker->Reset(resets); },
        Qt::BlockingQueuedConnection);
}

void HistoryStore::StopWorker() {
    if (!m_worker)
        return;
    m_worker->Stop();
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker] { worker->Shutdown(); }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
    m_worker = nullptr; // deleted on its thread as it ended
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
        ResetWorker();
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
    if (m_quickCheck && !m_created && !m_readOnly) {
        HistoryUpkeep *worker = Worker();
        QMetaObject::invokeMethod(
            worker, [worker, generation = m_generation] { worker->Check(generation); },
            Qt::QueuedConnection);
    }
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
    m_readOnly = false;
    const QString folder = QFileInfo(m_path).absolutePath();
    const bool made = !QFileInfo::exists(folder);
    if (!QDir().mkpath(folder)) {
        *reason = QStringLiteral("cannot create the folder \"%1\"").arg(folder);
        return false;
    }
    // The history's own folder and file are the user's alone; a folder given by a caller is
    // left as it was.
    if (made || m_path == DefaultPath())
        KeepPrivate(folder);
    if (!QFileInfo::exists(m_path)) {
        // Made here so that it never exists with SQLite's 0644; the log and the shared memory
        // take the file's mode.
        QFile file(m_path);
        file.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFile::ReadOwner | QFile::WriteOwner);
    }
    for (const QString &suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")}) {
        if (QFileInfo::exists(m_path + suffix))
            KeepPrivate(m_path + suffix);
    }
    m_db.setDatabaseName(m_path);
    m_db.setConnectOptions(QString());
    if (!OpenConnection(m_db, reason, damaged))
        return false;
    // The version first: a newer program's file is not changed in any way, not even its mode.
    int found = 0;
    {
        QSqlQuery version(m_db);
        if (!version.exec(QStringLiteral("PRAGMA user_version")) || !version.next()) {
            *reason = ErrorText(version.lastError());
            *damaged = IsDamage(version.lastError());
            return false;
        }
        found = version.value(0).toInt();
    }
    if (found > SchemaVersion)
        return OpenReadOnly(found, reason);
    if (!Configure(m_db, BusyTimeoutMs, m_waitForDisk, reason, damaged) ||
        !CreateSchema(reason, &found))
        return false;
    if (found > SchemaVersion) // made newer by another process meanwhile
        return OpenReadOnly(found, reason);

    m_writer = std::make_unique<PingWriter>(m_db);
    m_begin = std::make_unique<QSqlQuery>(m_db);
    m_commit = std::make_unique<QSqlQuery>(m_db);
    m_touch = std::make_unique<QSqlQuery>(m_db);
    QSqlError error;
    bool prepared = m_writer->Prepare(&error);
    for (const auto &[query, sql] :
         {std::pair{m_begin.get(), "BEGIN IMMEDIATE"}, std::pair{m_commit.get(), "COMMIT"},
          std::pair{m_touch.get(), "UPDATE sessions SET last_seen = ? WHERE id = ?"}}) {
        if (prepared && !query->prepare(QLatin1String(sql))) {
            error = query->lastError();
            prepared = false;
        }
    }
    if (!prepared) {
        *reason = ErrorText(error);
        *damaged = IsDamage(error);
        return false;
    }
    m_open = true;
    return true;
}

bool HistoryStore::OpenReadOnly(int version, QString *reason) {
    m_db.close();
    m_db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
    bool damaged = false;
    if (!OpenConnection(m_db, reason, &damaged))
        return false;
    QSqlQuery setup(m_db);
    setup.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(BusyTimeoutMs));
    m_writer = std::make_unique<PingWriter>(m_db); // its lookups read; it never writes here
    QSqlError error;
    m_writer->Prepare(&error); // what fails to prepare in a layout unknown reads nothing
    m_readOnly = true;
    m_open = true;
    emit problem(QStringLiteral("The history file \"%1\" has layout version %2, newer than this "
                                "program's %3: it is read, and nothing is written to it.")
                     .arg(m_path)
                     .arg(version)
                     .arg(SchemaVersion));
    return true;
}

bool HistoryStore::CreateSchema(QString *reason, int *found) {
    if (*found == SchemaVersion)
        return true;
    if (!Exec(QStringLiteral("BEGIN IMMEDIATE"), reason))
        return false;
    // Another process may have made or moved the schema while this one waited for the lock.
    {
        QSqlQuery again(m_db);
        if (!again.exec(QStringLiteral("PRAGMA user_version")) || !again.next()) {
            *reason = ErrorText(again.lastError());
            Exec(QStringLiteral("ROLLBACK"));
            return false;
        }
        *found = again.value(0).toInt();
    }
    if (*found >= SchemaVersion)
        return Exec(QStringLiteral("COMMIT"), reason);
    QStringList statements;
    if (*found == 3) {
        // The third layout gains the alert state (below); nothing else changes.
    } else if (*found == 2) {
        // The second layout: its pings gain the TLS handshake's time, NULL for the older ones.
        statements << QStringLiteral("ALTER TABLE pings ADD COLUMN tls_us INTEGER");
    } else if (*found == 1) {
        // The first layout: its table keeps its rows under another name, and the upkeep moves
        // them a short transaction at a time. The addresses are known at once, so the window
        // lists them while they move.
        statements
            << QStringLiteral("ALTER TABLE pings RENAME TO %1").arg(QLatin1String(LandedPings));
        for (const char *statement : SchemaStatements())
            statements << QLatin1String(statement);
        statements << QStringLiteral(
                          "INSERT INTO addresses (address) WITH RECURSIVE a(x) AS"
                          " (SELECT MIN(address) FROM %1 UNION ALL"
                          " SELECT (SELECT MIN(address) FROM %1 WHERE address > x) FROM a"
                          " WHERE x IS NOT NULL) SELECT x FROM a WHERE x IS NOT NULL")
                          .arg(QLatin1String(LandedPings));
    } else {
        for (const char *statement : SchemaStatements())
            statements << QLatin1String(statement);
        for (const char *statement : SessionStatements())
            statements << QLatin1String(statement);
        m_created = true;
    }
    statements << QLatin1String(AlertTable::Schema);
    statements << QStringLiteral("PRAGMA user_version = %1").arg(SchemaVersion);
    for (const QString &statement : std::as_const(statements)) {
        if (!Exec(statement, reason)) {
            Exec(QStringLiteral("ROLLBACK"));
            m_created = false;
            return false;
        }
    }
    if (!Exec(QStringLiteral("COMMIT"), reason)) {
        Exec(QStringLiteral("ROLLBACK"));
        m_created = false;
        return false;
    }
    *found = SchemaVersion;
    return true;
}

void HistoryStore::CloseFile() {
    if (m_writer) {
        m_writer->Finish();
        m_writer.reset();
    }
    m_begin.reset();
    m_commit.reset();
    m_touch.reset();
    if (m_db.isOpen())
        m_db.close();
    m_open = false;
    m_readOnly = false;
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
    ResetWorker(); // after the rename, before a new file has a log its close could remove
    CloseFile();
    if (Open() && running)
        BeginSession();
}

void HistoryStore::WriteFailed(const QString &text) {
    if (m_writeFailing)
        return;
    m_writeFailing = true;
    emit problem(text);
}

void HistoryStore::CheckFinished(quint64 generation, const QString &damage) {
    if (generation != m_generation)
        return; // a check of a file set aside: its verdict no longer matters
    if (!damage.isEmpty())
        SetAsideAndReopen(damage);
    emit checked(damage.isEmpty());
}

bool HistoryStore::Insert(const PingResult &result, QSqlError *error) {
    auto failed = [this, error](const QSqlError &why) {
        *error = why;
        Exec(QStringLiteral("ROLLBACK")); // may have ended by itself; then this fails, harmlessly
        m_writer->RolledBack();
        return false;
    };
    if (!m_begin->exec()) {
        *error = m_begin->lastError();
        return false;
    }
    QSqlError why;
    if (!m_writer->Insert(result, &why))
        return failed(why);
    // The session rides along in the same transaction when it is due.
    if (m_sessionId >= 0 && MsSinceEpoch(Now()) - m_lastTouchMs >= SessionTouchMs &&
        !TouchSession())
        return failed(m_touch->lastError());
    if (!m_commit->exec())
        return failed(m_commit->lastError());
    m_writer->Committed();
    return true;
}

void HistoryStore::Queue(const PingResult &result) {
    ++m_queued;
    HistoryUpkeep *worker = Worker();
    QMetaObject::invokeMethod(
        worker, [worker, result] { worker->Write(result); }, Qt::QueuedConnection);
}

bool HistoryStore::Record(const PingResult &result) {
    if (!Open() || m_readOnly)
        return false;
    if (m_queued > 0) {
        Queue(result); // behind the ones already waiting
        return true;
    }
    QSqlError error;
    bool written = Insert(result, &error);
    if (!written && IsDamage(error)) {
        // Found damaged while writing: the ping goes into a new file.
        SetAsideAndReopen(ErrorText(error));
        written = m_open && !m_readOnly && Insert(result, &error);
    }
    if (!written && IsBusy(error)) {
        // Another writer holds the file longer than this thread may wait: the history's own
        // thread writes it once the lock is free.
        Queue(result);
        return true;
    }
    if (!written) {
        WriteFailed(QStringLiteral("Cannot write the history file \"%1\": %2")
                        .arg(m_path, ErrorText(error)));
        return false;
    }
    m_writeFailing = false;
    emit recorded(result);
    return true;
}

void HistoryStore::SaveAlert(const AlertRecord &record) {
    if (!Open() || m_readOnly)
        return;
    HistoryUpkeep *worker = Worker();
    QMetaObject::invokeMethod(
        worker, [worker, record] { worker->WriteAlert(record); }, Qt::QueuedConnection);
}

QList<AlertRecord> HistoryStore::AlertRecords() {
    return Open() ? AlertTable::Read(m_db) : QList<AlertRecord>();
}

void HistoryStore::Trim(int days) {
    if (!Open() || m_readOnly) {
        HistoryTrimReport nothing;
        nothing.complete = m_readOnly; // nothing to do in a file never written
        QMetaObject::invokeMethod(
            this, [this, nothing] { emit trimmed(nothing); }, Qt::QueuedConnection);
        return;
    }
    HistoryUpkeepRequest request;
    request.historyDays = qMax(0, days);
    request.rawDays = m_rawDays;
    request.nowMs = MsSinceEpoch(Now());
    HistoryUpkeep *worker = Worker();
    QMetaObject::invokeMethod(
        worker, [worker, request] { worker->Upkeep(request); }, Qt::QueuedConnection);
}

void HistoryStore::Trimmed(const HistoryTrimReport &report) {
    if (report.clockAhead && !m_saidClock) {
        m_saidClock = true;
        const auto text = [](qint64 ms) {
            return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODate);
        };
        emit problem(QStringLiteral("The clock (%1) is more than a day past the newest ping in "
                                    "the history (%2): the days kept count back from that ping.")
                         .arg(text(report.nowMs), text(report.newestMs)));
    }
    if (!report.complete && !report.error.isEmpty())
        WriteFailed(QStringLiteral("Cannot keep the history file \"%1\" in order: %2")
                        .arg(m_path, report.error));
    emit trimmed(report);
}

void HistoryStore::BeginSession() {
    EndSession();
    if (!Open() || m_readOnly)
        return;
    const qint64 now = MsSinceEpoch(Now());
    QSqlQuery insert(m_db);
    insert.prepare(QStringLiteral("INSERT INTO sessions (started, last_seen) VALUES (?, ?)"));
    insert.bindValue(0, now);
    insert.bindValue(1, now);
    if (!insert.exec()) {
        WriteFailed(QStringLiteral("Cannot write the history file \"%1\": %2")
                        .arg(m_path, ErrorText(insert.lastError())));
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
    if (m_sessionId < 0 || !m_open || m_readOnly)
        return false;
    const qint64 now = MsSinceEpoch(Now());
    m_touch->bindValue(0, now);
    m_touch->bindValue(1, m_sessionId);
    if (!m_touch->exec())
        return false; // the caller's write reports it; the timer's renewal waits for the next
    m_lastTouchMs = now;
    return true;
}

qint64 HistoryStore::AddressId(const QString &address) {
    return Open() && m_writer ? m_writer->AddressId(address, false) : -1;
}

QStringList HistoryStore::Addresses() {
    QStringList addresses;
    if (!Open())
        return addresses;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    // An address whose rows are all gone is not listed (its id stays: another process may
    // hold it). While rows of the first layout move, every address known is.
    QString sql = QStringLiteral("SELECT address FROM addresses a"
                                 " WHERE EXISTS (SELECT 1 FROM pings WHERE address_id = a.id)"
                                 " OR EXISTS (SELECT 1 FROM hours WHERE address_id = a.id)");
    if (query.exec(
            QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = '%1'")
                .arg(QLatin1String(LandedPings))) &&
        query.next())
        sql = QStringLiteral("SELECT address FROM addresses");
    if (!query.exec(sql + QStringLiteral(" ORDER BY address")))
        return addresses;
    while (query.next())
        addresses << query.value(0).toString();
    return addresses;
}

QList<HistoryRow> HistoryStore::Rows(const QString &address, const QDateTime &fromUtc,
                                     const QDateTime &toUtc, RowDetail detail) {
    QList<HistoryRow> rows;
    const qint64 id = AddressId(address);
    if (id < 0)
        return rows;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    const bool all = detail == RowDetail::All;
    query.prepare(QStringLiteral("SELECT at, outcome, us%1 FROM pings"
                                 " WHERE address_id = ? AND at BETWEEN ? AND ? ORDER BY at")
                      .arg(all ? QLatin1String(", lookup_us, connect_us, first_byte_us,"
                                               " http_status, error_code, error_text, attempts,"
                                               " error_ping, tls_us")
                               : QLatin1String("")));
    query.bindValue(0, id);
    query.bindValue(1, MsSinceEpoch(fromUtc));
    query.bindValue(2, MsSinceEpoch(toUtc));
    if (!query.exec())
        return rows;
    while (query.next()) {
        HistoryRow row;
        row.atMs = query.value(0).toLongLong();
        row.outcome = OutcomeOf(query.value(1).toInt());
        row.ms = MsOfUs(query.value(2));
        if (all) {
            row.lookupMs = MsOfUs(query.value(3));
            row.connectMs = MsOfUs(query.value(4));
            row.firstByteMs = MsOfUs(query.value(5));
            row.httpStatus = query.value(6).toInt();
            row.errorCode = query.value(7).toInt();
            row.errorText = query.value(8).toString();
            row.attempts = query.value(9).toInt();
            row.errorPing = query.value(10).toInt() != 0;
            row.tlsMs = MsOfUs(query.value(11));
        }
        rows.append(std::move(row));
    }
    return rows;
}

QList<std::pair<qint64, HistoryTally>> HistoryStore::Tallies(qint64 id, qint64 fromMs,
                                                             qint64 toMs) {
    QList<std::pair<qint64, HistoryTally>> tallies;
    if (id < 0)
        return tallies;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT hour, %1 FROM hours WHERE address_id = ?"
                                 " AND hour BETWEEN ? AND ? ORDER BY hour")
                      .arg(QLatin1String(TallyColumns)));
    query.bindValue(0, id);
    query.bindValue(1, FirstHourFrom(fromMs));
    query.bindValue(2, HistoryHourOf(toMs));
    if (!query.exec())
        return tallies;
    while (query.next())
        tallies.append({query.value(0).toLongLong(), ReadTally(query, 1)});
    return tallies;
}

HistoryStats HistoryStore::Statistics(const QString &address, const QDateTime &fromUtc,
                                      const QDateTime &toUtc) {
    const qint64 id = AddressId(address);
    if (id < 0)
        return ComputeStats({});
    QList<qint64> times;
    {
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        query.prepare(QStringLiteral("SELECT us FROM pings WHERE address_id = ? AND at BETWEEN ?"
                                     " AND ? AND outcome = %1 AND us IS NOT NULL")
                          .arg(int(HistoryOutcome::Completed)));
        query.bindValue(0, id);
        query.bindValue(1, MsSinceEpoch(fromUtc));
        query.bindValue(2, MsSinceEpoch(toUtc));
        if (query.exec()) {
            while (query.next())
                times.append(query.value(0).toLongLong());
        }
    }
    const auto tallies = Tallies(id, MsSinceEpoch(fromUtc), MsSinceEpoch(toUtc));
    if (tallies.isEmpty()) {
        // Single pings alone: every figure exact.
        QList<double> ms;
        ms.reserve(times.size());
        for (qint64 us : std::as_const(times))
            ms.append(double(us) / 1000.0);
        return ComputeStats(std::move(ms));
    }
    HistoryTally all;
    for (qint64 us : std::as_const(times))
        all.Add(int(HistoryOutcome::Completed), us);
    for (const auto &[hour, tally] : tallies)
        all.Merge(tally);
    HistoryStats stats;
    stats.count = int(all.timed);
    if (all.timed > 0) {
        stats.minMs = all.MinMs();
        stats.averageMs = all.AverageMs();
        stats.p95Ms = all.PercentileMs(95);
        stats.maxMs = all.MaxMs();
        stats.estimated = true;
    }
    return stats;
}

double HistoryStore::Uptime(const QString &address, const QDateTime &fromUtc,
                            const QDateTime &toUtc) {
    const qint64 id = AddressId(address);
    if (id < 0)
        return qQNaN();
    // Cancelled pings are left out: a cancel says nothing about the address.
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT COALESCE(SUM(outcome = %1), 0),"
                                 " COALESCE(SUM(outcome = %2), 0) FROM pings"
                                 " WHERE address_id = ? AND at BETWEEN ? AND ?")
                      .arg(int(HistoryOutcome::Completed))
                      .arg(int(HistoryOutcome::Failed)));
    query.bindValue(0, id);
    query.bindValue(1, MsSinceEpoch(fromUtc));
    query.bindValue(2, MsSinceEpoch(toUtc));
    if (!query.exec() || !query.next())
        return qQNaN();
    qint64 completed = query.value(0).toLongLong();
    qint64 failed = query.value(1).toLongLong();
    query.finish();
    for (const auto &[hour, tally] : Tallies(id, MsSinceEpoch(fromUtc), MsSinceEpoch(toUtc))) {
        completed += tally.Completed();
        failed += tally.Failed();
    }
    return UptimeRatio(completed, failed);
}

namespace {

HistoryHour HourOf(qint64 hour, const HistoryTally &tally, bool folded, bool whole) {
    HistoryHour h;
    h.hour = hour;
    h.completed = int(tally.outcomes[size_t(HistoryOutcome::Completed)]);
    h.failed = int(tally.outcomes[size_t(HistoryOutcome::Failed)]);
    h.cancelled = int(tally.outcomes[size_t(HistoryOutcome::Cancelled)]);
    h.notChecked = int(tally.outcomes[size_t(HistoryOutcome::NotChecked)]);
    h.minMs = tally.MinMs();
    h.averageMs = tally.AverageMs();
    h.maxMs = tally.MaxMs();
    h.p95Ms = whole ? tally.PercentileMs(95) : qQNaN();
    h.folded = folded;
    return h;
}

} // namespace

QList<HistoryHour> HistoryStore::FoldedHours(const QString &address, const QDateTime &fromUtc,
                                             const QDateTime &toUtc) {
    QList<HistoryHour> hours;
    // [from, to): the last hour is the one before the hour starting at to.
    for (const auto &[hour, tally] :
         Tallies(AddressId(address), MsSinceEpoch(fromUtc), MsSinceEpoch(toUtc) - 1))
        hours.append(HourOf(hour, tally, true, true));
    return hours;
}

QList<HistoryHour> HistoryStore::Hours(const QString &address, const QDateTime &fromUtc,
                                       const QDateTime &toUtc) {
    QList<HistoryHour> hours;
    const qint64 id = AddressId(address);
    if (id < 0)
        return hours;
    struct Entry {
        HistoryTally tally;
        bool folded = false;
        bool single = false;
    };
    QMap<qint64, Entry> byHour;
    {
        // Counted by SQLite: an hour of single pings needs no row of it read here. The hour
        // is rounded down, before 1970 too.
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        query.prepare(QStringLiteral(
            "SELECT (at - ((at % 3600000) + 3600000) % 3600000) / 3600000 AS h,"
            " SUM(outcome = 0), SUM(outcome = 1), SUM(outcome = 2), SUM(outcome = 3),"
            " COUNT(CASE WHEN outcome = 0 THEN us END), MIN(CASE WHEN outcome = 0 THEN us END),"
            " MAX(CASE WHEN outcome = 0 THEN us END), TOTAL(CASE WHEN outcome = 0 THEN us END)"
            " FROM pings WHERE address_id = ? AND at >= ? AND at < ? GROUP BY h"));
        query.bindValue(0, id);
        query.bindValue(1, MsSinceEpoch(fromUtc));
        query.bindValue(2, MsSinceEpoch(toUtc));
        if (query.exec()) {
            while (query.next()) {
                Entry &e = byHour[query.value(0).toLongLong()];
                for (int i = 0; i < HistoryOutcomeCodes; ++i)
                    e.tally.outcomes[size_t(i)] = query.value(1 + i).toLongLong();
                e.tally.timed = query.value(5).toLongLong();
                if (e.tally.timed > 0) {
                    e.tally.minUs = query.value(6).toLongLong();
                    e.tally.maxUs = query.value(7).toLongLong();
                    e.tally.sumUs = qint64(query.value(8).toDouble());
                }
                e.single = true;
            }
        }
    }
    for (const auto &[hour, tally] : Tallies(id, MsSinceEpoch(fromUtc), MsSinceEpoch(toUtc) - 1)) {
        Entry &e = byHour[hour];
        e.tally.Merge(tally);
        e.folded = true;
    }
    hours.reserve(byHour.size());
    for (auto it = byHour.cbegin(); it != byHour.cend(); ++it)
        hours.append(HourOf(it.key(), it->tally, it->folded, !it->single));
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
