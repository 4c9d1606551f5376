#include "engine/HistoryUpkeep.h"

#include "platform/SqliteInterrupt.h"

#include <QMap>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QTimer>
#include <QUuid>

#include <limits>

using namespace HistoryDb;

namespace {

constexpr qint64 DayMs = 24 * HistoryHourMs;
constexpr qint64 None = std::numeric_limits<qint64>::min();
constexpr qint64 Endless = std::numeric_limits<qint64>::max();
constexpr int FlushRetryMs = 100;

qint64 HourStart(qint64 ms) { return HistoryHourOf(ms) * HistoryHourMs; }

// The first layout's rows as the second stores them: outcome codes, whole microseconds.
constexpr const char *LandedOutcome =
    "CASE outcome WHEN 'completed' THEN 0 WHEN 'failed' THEN 1 ELSE 2 END";

QString LandedUs(const char *column) {
    return QStringLiteral("CAST(round(%1 * 1000) AS INTEGER)").arg(QLatin1String(column));
}

} // namespace

struct HistoryUpkeep::Source {
    QString select; // at, outcome code, us of the rows of a key in [from, to)
    QString remove; // the same rows
    QVariant key;
    qint64 addressId = -1;
};

HistoryUpkeep::HistoryUpkeep(const QString &path, bool waitForDisk, int lockWaitMs)
    : m_path(path), m_waitForDisk(waitForDisk), m_lockWaitMs(lockWaitMs),
      m_connection(QStringLiteral("vn_history_upkeep_") +
                   QUuid::createUuid().toString(QUuid::Id128)) {}

HistoryUpkeep::~HistoryUpkeep() { Close(); }

void HistoryUpkeep::Stop() {
    m_stop = true;
    Interrupt();
}

void HistoryUpkeep::Interrupt() {
    const QMutexLocker lock(&m_handleLock);
    if (m_handle.isValid())
        InterruptSqlite(m_handle);
}

bool HistoryUpkeep::EnsureOpen(QString *reason, bool *damaged) {
    if (m_db.isOpen() && m_writer)
        return true;
    if (!m_db.isValid())
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    m_db.setDatabaseName(m_path);
    if (!OpenConnection(m_db, reason, damaged) ||
        !Configure(m_db, StepBusyMs, m_waitForDisk, reason, damaged)) {
        m_db.close();
        return false;
    }
    m_writer = std::make_unique<PingWriter>(m_db);
    QSqlError error;
    // This thread copies the log into the file after each of its steps (CheckpointNow), so a
    // commit of its own never spends its time on it, and the log is copied before a commit of
    // the interface thread would find it long and copy it there.
    if (!Exec(QStringLiteral("PRAGMA wal_autocheckpoint = 0"), &error) ||
        !m_writer->Prepare(&error)) {
        *reason = ErrorText(error);
        *damaged = IsDamage(error);
        m_writer.reset();
        m_db.close();
        return false;
    }
    return true;
}

void HistoryUpkeep::Close() {
    if (m_writer) {
        m_writer->Finish();
        m_writer.reset();
    }
    if (m_db.isValid())
        m_db.close();
    m_db = QSqlDatabase();
    if (QSqlDatabase::contains(m_connection))
        QSqlDatabase::removeDatabase(m_connection);
}

void HistoryUpkeep::Check(quint64 generation) {
    if (m_stop)
        return;
    QString reason;
    bool damaged = false;
    if (!EnsureOpen(&reason, &damaged)) {
        emit checked(generation, damaged ? reason : QString());
        return;
    }
    QString damage;
    {
        const QMutexLocker lock(&m_handleLock);
        m_handle = m_db.driver()->handle();
    }
    // It reads every page: Stop() interrupts it rather than waiting for its end.
    QSqlQuery check(m_db);
    if (!m_stop && check.exec(QStringLiteral("PRAGMA quick_check"))) {
        QStringList findings;
        while (check.next())
            findings << check.value(0).toString();
        if (findings != QStringList{QStringLiteral("ok")})
            damage = findings.join(QStringLiteral("; "));
    } else if (IsDamage(check.lastError())) {
        damage = ErrorText(check.lastError());
    }
    // Any other failure (busy, interrupted, no memory) says nothing about the file.
    check.finish();
    {
        const QMutexLocker lock(&m_handleLock);
        m_handle = QVariant();
    }
    if (m_stop)
        return;
    emit checked(generation, damage);
}

void HistoryUpkeep::Upkeep(const HistoryUpkeepRequest &request) {
    m_request = request;
    if (m_phase != Phase::Idle) {
        m_again = true; // after this pass, with the newest request
        return;
    }
    m_report = HistoryTrimReport();
    m_phase = Phase::Start;
    ScheduleStep(0);
}

void HistoryUpkeep::ScheduleStep(int ms) {
    if (m_stepScheduled)
        return;
    m_stepScheduled = true;
    QTimer::singleShot(ms, this, [this] {
        m_stepScheduled = false;
        Step();
    });
}

void HistoryUpkeep::EndPass(bool complete, const QString &error) {
    if (m_phase == Phase::Idle)
        return;
    HistoryTrimReport report = m_report;
    report.complete = complete;
    report.error = error;
    m_phase = Phase::Idle;
    m_report = HistoryTrimReport();
    emit trimmed(report);
    if (m_again && !m_stop) {
        m_again = false;
        m_phase = Phase::Start;
        ScheduleStep(0);
    }
}

void HistoryUpkeep::Step() {
    if (m_phase == Phase::Idle)
        return;
    if (m_stop) {
        m_again = false;
        EndPass(false);
        return;
    }
    QString reason;
    bool damaged = false;
    if (!EnsureOpen(&reason, &damaged)) {
        if (damaged)
            emit this->damaged(m_resets, reason);
        EndPass(false, reason);
        return;
    }
    QElapsedTimer timer;
    timer.start();
    bool more = false;
    QSqlError error;
    const bool ok = RunStep(&more, &error);
    const qint64 us = timer.nsecsElapsed() / 1000;
    if (!ok) {
        Rollback();
        if (IsBusy(error)) {
            ScheduleStep(StepBusyMs); // another writer's turn; this step again later
            return;
        }
        if (IsDamage(error))
            emit this->damaged(m_resets, ErrorText(error));
        EndPass(false, ErrorText(error));
        return;
    }
    CheckpointNow();
    if (m_phase == Phase::Done)
        EndPass(true);
    else
        ScheduleStep(int(qBound(qint64(1), us / 1000, qint64(50))));
}

bool HistoryUpkeep::RunStep(bool *more, QSqlError *error) {
    auto next = [this](Phase phase) {
        m_phase = phase;
        m_index = 0;
    };
    switch (m_phase) {
    case Phase::Idle:
    case Phase::Done:
        return true;
    case Phase::Start: {
        if (!StartPass(error))
            return false;
        bool ok = false;
        const bool landed =
            Value(QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?"),
                  {QLatin1String(LandedPings)}, error, &ok)
                .isValid();
        if (!ok)
            return false;
        next(landed ? Phase::Migrate : Phase::TrimPings);
        return true;
    }
    case Phase::Migrate:
        if (!MigrateStep(more, error))
            return false;
        if (!*more) {
            // The addresses the move brought.
            if (!StartPass(error))
                return false;
            next(Phase::TrimPings);
        }
        return true;
    case Phase::TrimPings:
        if (m_historyCutoffMs == None) {
            next(Phase::Fold);
            return true;
        }
        if (!TrimPingsStep(more, error))
            return false;
        if (!*more)
            next(Phase::Fold);
        return true;
    case Phase::Fold:
        if (m_rawCutoffMs == None) {
            next(Phase::TrimHours);
            return true;
        }
        if (!FoldStep(more, error))
            return false;
        if (!*more)
            next(Phase::TrimHours);
        return true;
    case Phase::TrimHours:
        if (m_historyCutoffMs == None) {
            next(Phase::TrimSessions);
            return true;
        }
        if (!TrimHoursStep(more, error))
            return false;
        if (!*more)
            next(Phase::TrimSessions);
        return true;
    case Phase::TrimSessions:
        if (m_historyCutoffMs != None && !TrimSessions(error))
            return false;
        next(Phase::Convert);
        return true;
    case Phase::Convert:
        if (!Convert(error))
            return false;
        next(Phase::Vacuum);
        return true;
    case Phase::Vacuum:
        if (!VacuumStep(more, error))
            return false;
        if (!*more)
            next(Phase::Checkpoint);
        return true;
    case Phase::Checkpoint: {
        // Copies the log into the file while nobody writes; the log is then cut back to its
        // size limit by the next writer.
        bool ok = false;
        Value(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)"), {}, error, &ok);
        if (!ok)
            return false;
        next(Phase::Done);
        return true;
    }
    }
    return true;
}

bool HistoryUpkeep::StartPass(QSqlError *error) {
    m_ids.clear();
    m_index = 0;
    {
        QSqlQuery ids(m_db);
        ids.setForwardOnly(true);
        if (!ids.exec(QStringLiteral("SELECT id FROM addresses ORDER BY id"))) {
            *error = ids.lastError();
            return false;
        }
        while (ids.next())
            m_ids << ids.value(0).toLongLong();
    }
    if (m_phase != Phase::Start)
        return true;
    // The newest ping recorded: the retention counts back from it when the clock is far past
    // it, so a clock set years ahead at one start does not take the whole history with it.
    qint64 newest = None;
    bool ok = false;
    for (qint64 id : std::as_const(m_ids)) {
        const QVariant at = Value(QStringLiteral("SELECT at FROM pings WHERE address_id = ?"
                                                 " ORDER BY at DESC LIMIT 1"),
                                  {id}, error, &ok);
        if (!ok)
            return false;
        if (at.isValid())
            newest = qMax(newest, at.toLongLong());
        const QVariant hour = Value(QStringLiteral("SELECT hour FROM hours WHERE address_id = ?"
                                                   " ORDER BY hour DESC LIMIT 1"),
                                    {id}, error, &ok);
        if (!ok)
            return false;
        if (hour.isValid())
            newest = qMax(newest, (hour.toLongLong() + 1) * HistoryHourMs - 1);
    }
    const QVariant landed = Value(QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = 'table'"
                                                 " AND name = ?"),
                                  {QLatin1String(LandedPings)}, error, &ok);
    if (!ok)
        return false;
    if (landed.isValid()) {
        QSqlQuery addresses(m_db);
        addresses.setForwardOnly(true);
        if (!addresses.exec(QStringLiteral("SELECT address FROM addresses"))) {
            *error = addresses.lastError();
            return false;
        }
        QStringList texts;
        while (addresses.next())
            texts << addresses.value(0).toString();
        for (const QString &address : std::as_const(texts)) {
            const QVariant at =
                Value(QStringLiteral("SELECT at FROM %1 WHERE address = ? ORDER BY at DESC LIMIT 1")
                          .arg(QLatin1String(LandedPings)),
                      {address}, error, &ok);
            if (!ok)
                return false;
            if (at.isValid())
                newest = qMax(newest, at.toLongLong());
        }
    }
    const qint64 now = m_request.nowMs;
    qint64 reference = now;
    if (newest != None && now - newest > DayMs) {
        reference = newest;
        m_report.clockAhead = true;
    }
    m_report.nowMs = now;
    m_report.referenceMs = reference;
    m_report.newestMs = newest == None ? 0 : newest;
    const int days = m_request.historyDays;
    const int rawDays = m_request.rawDays;
    m_historyCutoffMs = days > 0 ? reference - days * DayMs : None;
    m_rawCutoffMs = rawDays > 0 && (days <= 0 || rawDays < days)
                        ? HourStart(reference - rawDays * DayMs)
                        : None;
    return true;
}

bool HistoryUpkeep::MigrateStep(bool *more, QSqlError *error) {
    *more = true;
    if (!Begin(error))
        return false;
    const QString landed = QLatin1String(LandedPings);
    bool ok = false;
    const QVariant address =
        Value(QStringLiteral("SELECT address FROM %1 ORDER BY address LIMIT 1").arg(landed), {},
              error, &ok);
    if (!ok)
        return false;
    if (!address.isValid()) {
        // Every row has moved: the first layout's table goes, its pages are free.
        *more = false;
        return Exec(QStringLiteral("DROP TABLE %1").arg(landed), error) && Commit(error);
    }
    const qint64 id = m_writer->AddressId(address.toString(), true, error);
    if (id < 0)
        return false;
    const qint64 first = Value(QStringLiteral("SELECT at FROM %1 WHERE address = ? ORDER BY at"
                                              " LIMIT 1")
                                   .arg(landed),
                               {address}, error, &ok)
                             .toLongLong();
    if (!ok)
        return false;
    const QVariant nth = Value(QStringLiteral("SELECT at FROM %1 WHERE address = ? ORDER BY at"
                                              " LIMIT 1 OFFSET ?")
                                   .arg(landed),
                               {address, BatchRows()}, error, &ok);
    if (!ok)
        return false;
    const qint64 end = nth.isValid() ? qMax(nth.toLongLong(), first + 1) : Endless;
    QElapsedTimer timer;
    timer.start();
    qint64 rows = 0;
    if (first < m_historyCutoffMs && m_historyCutoffMs != None) {
        // Older than the history kept: nothing to move.
        if (!Exec(QStringLiteral("DELETE FROM %1 WHERE address = ? AND at < ?").arg(landed), error,
                  {address, qMin(end, m_historyCutoffMs)}, &rows))
            return false;
        m_report.removedPings += rows;
    } else if (first < m_rawCutoffMs && m_rawCutoffMs != None) {
        // Older than the single pings kept: folded into hours straight away.
        const qint64 from = HourStart(first);
        qint64 to = end == Endless ? m_rawCutoffMs : qMin(HourStart(end), m_rawCutoffMs);
        if (to <= from)
            to = from + HistoryHourMs;
        Source source;
        source.select =
            QStringLiteral("SELECT at, %1, %2 FROM %3 WHERE address = ? AND at >= ? AND at < ?")
                .arg(QLatin1String(LandedOutcome), LandedUs("ms"), landed);
        source.remove =
            QStringLiteral("DELETE FROM %1 WHERE address = ? AND at >= ? AND at < ?").arg(landed);
        source.key = address;
        source.addressId = id;
        if (!Fold(source, from, to, &rows, error))
            return false;
    } else {
        const QString copy =
            QStringLiteral("INSERT INTO pings (address_id, at, n, outcome, us, lookup_us,"
                           " connect_us, first_byte_us, http_status, error_code, error_text,"
                           " attempts, error_ping) SELECT ?, at, n, %1, %2, %3, %4, %5,"
                           " http_status, error_code, error_text, attempts, error_ping FROM %6"
                           " WHERE address = ? AND at >= ? AND at < ?")
                .arg(QLatin1String(LandedOutcome), LandedUs("ms"), LandedUs("lookup_ms"),
                     LandedUs("connect_ms"), LandedUs("first_byte_ms"), landed);
        if (!Exec(copy, error, {id, address, first, end}, &rows) ||
            !Exec(QStringLiteral("DELETE FROM %1 WHERE address = ? AND at >= ? AND at < ?")
                      .arg(landed),
                  error, {address, first, end}))
            return false;
    }
    if (!Commit(error))
        return false;
    m_writer->Committed();
    m_report.migrated += rows;
    Measured(rows, timer.nsecsElapsed() / 1000);
    return true;
}

bool HistoryUpkeep::TrimPingsStep(bool *more, QSqlError *error) {
    *more = m_index < m_ids.size();
    if (!*more)
        return true;
    const int batch = BatchRows();
    QElapsedTimer timer;
    timer.start();
    qint64 rows = 0;
    if (!Begin(error) ||
        !Exec(QStringLiteral("DELETE FROM pings WHERE (address_id, at, n) IN"
                             " (SELECT address_id, at, n FROM pings"
                             " WHERE address_id = ? AND at < ? LIMIT ?)"),
              error, {m_ids.at(m_index), m_historyCutoffMs, batch}, &rows) ||
        !Commit(error))
        return false;
    m_report.removedPings += rows;
    Measured(rows, timer.nsecsElapsed() / 1000);
    if (rows < batch)
        ++m_index;
    return true;
}

bool HistoryUpkeep::FoldStep(bool *more, QSqlError *error) {
    *more = m_index < m_ids.size();
    if (!*more)
        return true;
    const qint64 id = m_ids.at(m_index);
    if (!Begin(error))
        return false;
    bool ok = false;
    const QVariant first = Value(QStringLiteral("SELECT at FROM pings WHERE address_id = ?"
                                                " AND at < ? ORDER BY at LIMIT 1"),
                                 {id, m_rawCutoffMs}, error, &ok);
    if (!ok)
        return false;
    if (!first.isValid()) {
        ++m_index;
        return Commit(error);
    }
    const QVariant nth = Value(QStringLiteral("SELECT at FROM pings WHERE address_id = ?"
                                              " AND at < ? ORDER BY at LIMIT 1 OFFSET ?"),
                               {id, m_rawCutoffMs, BatchRows()}, error, &ok);
    if (!ok)
        return false;
    // Whole hours: an hour is folded in one go, so it is never half rows, half tally.
    const qint64 from = HourStart(first.toLongLong());
    qint64 to = nth.isValid() ? qMin(HourStart(nth.toLongLong()), m_rawCutoffMs) : m_rawCutoffMs;
    if (to <= from)
        to = from + HistoryHourMs;
    Source source;
    source.select = QStringLiteral(
        "SELECT at, outcome, us FROM pings WHERE address_id = ? AND at >= ? AND at < ?");
    source.remove = QStringLiteral("DELETE FROM pings WHERE address_id = ? AND at >= ? AND at < ?");
    source.key = id;
    source.addressId = id;
    QElapsedTimer timer;
    timer.start();
    qint64 rows = 0;
    if (!Fold(source, from, to, &rows, error) || !Commit(error))
        return false;
    Measured(rows, timer.nsecsElapsed() / 1000);
    return true;
}

bool HistoryUpkeep::Fold(const Source &source, qint64 fromMs, qint64 toMs, qint64 *rows,
                         QSqlError *error) {
    QMap<qint64, HistoryTally> hours;
    {
        QSqlQuery read(m_db);
        read.setForwardOnly(true);
        read.prepare(source.select);
        read.bindValue(0, source.key);
        read.bindValue(1, fromMs);
        read.bindValue(2, toMs);
        if (!read.exec()) {
            *error = read.lastError();
            return false;
        }
        while (read.next()) {
            const QVariant us = read.value(2);
            hours[HistoryHourOf(read.value(0).toLongLong())].Add(
                read.value(1).toInt(), us.isNull() ? -1 : us.toLongLong());
            ++*rows;
        }
    }
    QSqlQuery known(m_db);
    known.setForwardOnly(true);
    QSqlQuery write(m_db);
    if (!known.prepare(QStringLiteral("SELECT %1 FROM hours WHERE address_id = ? AND hour = ?")
                           .arg(QLatin1String(TallyColumns))) ||
        !write.prepare(QStringLiteral("INSERT OR REPLACE INTO hours (address_id, hour, %1)"
                                      " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
                           .arg(QLatin1String(TallyColumns)))) {
        *error =
            known.lastError().type() != QSqlError::NoError ? known.lastError() : write.lastError();
        return false;
    }
    for (auto it = hours.begin(); it != hours.end(); ++it) {
        HistoryTally tally = it.value();
        // Pings that came late for an hour already folded join its tally.
        known.bindValue(0, source.addressId);
        known.bindValue(1, it.key());
        if (!known.exec()) {
            *error = known.lastError();
            return false;
        }
        if (known.next())
            tally.Merge(ReadTally(known, 0));
        known.finish();
        write.bindValue(0, source.addressId);
        write.bindValue(1, it.key());
        BindTally(write, 2, tally);
        if (!write.exec()) {
            *error = write.lastError();
            return false;
        }
    }
    qint64 removed = 0;
    if (!Exec(source.remove, error, {source.key, fromMs, toMs}, &removed))
        return false;
    m_report.folded += removed;
    return true;
}

bool HistoryUpkeep::TrimHoursStep(bool *more, QSqlError *error) {
    *more = m_index < m_ids.size();
    if (!*more)
        return true;
    const int batch = BatchRows();
    qint64 rows = 0;
    // An hour goes once all of it is older than the history kept.
    if (!Begin(error) ||
        !Exec(QStringLiteral("DELETE FROM hours WHERE (address_id, hour) IN"
                             " (SELECT address_id, hour FROM hours"
                             " WHERE address_id = ? AND hour < ? LIMIT ?)"),
              error, {m_ids.at(m_index), HistoryHourOf(m_historyCutoffMs), batch}, &rows) ||
        !Commit(error))
        return false;
    m_report.removedHours += rows;
    if (rows < batch)
        ++m_index;
    return true;
}

bool HistoryUpkeep::TrimSessions(QSqlError *error) {
    qint64 rows = 0;
    if (!Exec(QStringLiteral("DELETE FROM sessions WHERE last_seen < ?"), error,
              {m_historyCutoffMs}, &rows))
        return false;
    m_report.removedSessions += rows;
    return true;
}

bool HistoryUpkeep::Convert(QSqlError *error) {
    // A file of the first layout gives its free pages back only once it is rebuilt with
    // incremental vacuum: done once, after its rows have moved, on what is left of it.
    bool ok = false;
    const int mode = Value(QStringLiteral("PRAGMA auto_vacuum"), {}, error, &ok).toInt();
    if (!ok || mode != 0)
        return ok;
    if (!Exec(QStringLiteral("PRAGMA auto_vacuum = INCREMENTAL"), error))
        return false;
    {
        const QMutexLocker lock(&m_handleLock);
        m_handle = m_db.driver()->handle();
    }
    QElapsedTimer timer;
    timer.start();
    const bool done = !m_stop && Exec(QStringLiteral("VACUUM"), error);
    if (done) {
        m_report.rebuildUs = timer.nsecsElapsed() / 1000;
        m_written = true;
    }
    {
        const QMutexLocker lock(&m_handleLock);
        m_handle = QVariant();
    }
    if (done || m_stop || IsInterrupted(*error)) {
        *error = QSqlError(); // stopped: the next pass does it
        return true;
    }
    return false;
}

bool HistoryUpkeep::VacuumStep(bool *more, QSqlError *error) {
    bool ok = false;
    *more = false;
    if (Value(QStringLiteral("PRAGMA auto_vacuum"), {}, error, &ok).toInt() != 2 || !ok)
        return ok;
    const qint64 free = Value(QStringLiteral("PRAGMA freelist_count"), {}, error, &ok).toLongLong();
    if (!ok || free == 0)
        return ok;
    if (!Begin(error))
        return false;
    {
        // A page an answer row, and the driver reads one row of a statement without columns:
        // a page a run, as many runs as the step's time allows.
        QSqlQuery vacuum(m_db);
        if (!vacuum.prepare(QStringLiteral("PRAGMA incremental_vacuum(1)"))) {
            *error = vacuum.lastError();
            return false;
        }
        QElapsedTimer timer;
        timer.start();
        for (qint64 page = 0; page < free && timer.elapsed() < StepMs; ++page) {
            if (!vacuum.exec()) {
                *error = vacuum.lastError();
                return false;
            }
        }
        vacuum.finish();
    }
    if (!Commit(error))
        return false;
    const qint64 left = Value(QStringLiteral("PRAGMA freelist_count"), {}, error, &ok).toLongLong();
    if (!ok)
        return false;
    m_report.freedPages += free - left;
    *more = left > 0 && left < free;
    return true;
}

void HistoryUpkeep::Write(const PingResult &result) {
    m_pending.append(result);
    if (!m_flushScheduled) {
        m_flushScheduled = true;
        QTimer::singleShot(0, this, &HistoryUpkeep::Flush);
    }
}

void HistoryUpkeep::WriteAlert(const AlertRecord &record) {
    m_pendingAlerts.append(record);
    if (!m_flushScheduled) {
        m_flushScheduled = true;
        QTimer::singleShot(0, this, &HistoryUpkeep::Flush);
    }
}

bool HistoryUpkeep::Flush() {
    m_flushScheduled = false;
    if (m_pending.isEmpty() && m_pendingAlerts.isEmpty())
        return false;
    QString reason;
    bool damaged = false;
    if (!EnsureOpen(&reason, &damaged)) {
        if (damaged) {
            // The store sets it aside; these go into the next file.
            emit this->damaged(m_resets, reason);
            return false;
        }
        emit dropped(int(m_pending.size()), reason);
        m_pending.clear();
        m_pendingAlerts.clear();
        return false;
    }
    QSqlError error;
    bool ok = Exec(QStringLiteral("BEGIN IMMEDIATE"), &error);
    for (qsizetype i = 0; ok && i < m_pending.size(); ++i)
        ok = m_writer->Insert(m_pending.at(i), &error);
    for (qsizetype i = 0; ok && i < m_pendingAlerts.size(); ++i)
        ok = AlertTable::Write(m_db, m_pendingAlerts.at(i), &error);
    ok = ok && Exec(QStringLiteral("COMMIT"), &error);
    if (ok) {
        m_written = true;
        CheckpointNow();
        m_writer->Committed();
        m_pendingAlerts.clear();
        const QList<PingResult> done = std::move(m_pending);
        m_pending.clear();
        m_waitingSince.invalidate();
        m_saidWaiting = false;
        emit written(done);
        return false;
    }
    Rollback();
    m_writer->RolledBack();
    if (IsBusy(error)) {
        if (!m_waitingSince.isValid())
            m_waitingSince.start();
        if (!m_saidWaiting && m_waitingSince.elapsed() >= m_lockWaitMs) {
            m_saidWaiting = true;
            emit waiting(ErrorText(error));
        }
        if (!m_stop && !m_flushScheduled) {
            m_flushScheduled = true;
            QTimer::singleShot(FlushRetryMs, this, &HistoryUpkeep::Flush);
        }
        return true;
    }
    if (IsDamage(error)) {
        emit this->damaged(m_resets, ErrorText(error));
        return false;
    }
    emit dropped(int(m_pending.size()), ErrorText(error));
    m_pending.clear();
    m_pendingAlerts.clear();
    return false;
}

void HistoryUpkeep::Reset(quint64 resets) {
    m_resets = resets;
    Close();
    m_again = false;
    EndPass(false);
    if ((!m_pending.isEmpty() || !m_pendingAlerts.isEmpty()) && !m_flushScheduled) {
        m_flushScheduled = true;
        QTimer::singleShot(0, this, &HistoryUpkeep::Flush);
    }
}

void HistoryUpkeep::Shutdown() {
    m_stop = true;
    m_again = false;
    EndPass(false);
    QElapsedTimer waited;
    waited.start();
    // Only a lock is waited for: any other failure has been said, or has no one to hear it.
    while (Flush() && waited.elapsed() < m_lockWaitMs)
        QThread::msleep(FlushRetryMs);
    if (!m_pending.isEmpty())
        qWarning("History: %d pings could not be written before the end: the file stayed locked",
                 int(m_pending.size()));
    m_pending.clear();
    m_pendingAlerts.clear();
    Close();
}

bool HistoryUpkeep::Exec(const QString &sql, QSqlError *error, QVariantList values,
                         qint64 *affected) {
    QSqlQuery query(m_db);
    bool ok = false;
    if (values.isEmpty()) {
        ok = query.exec(sql);
    } else {
        ok = query.prepare(sql);
        for (int i = 0; ok && i < values.size(); ++i)
            query.bindValue(i, values.at(i));
        ok = ok && query.exec();
    }
    if (!ok) {
        *error = query.lastError();
        return false;
    }
    if (affected)
        *affected = query.numRowsAffected();
    return true;
}

QVariant HistoryUpkeep::Value(const QString &sql, const QVariantList &values, QSqlError *error,
                              bool *ok) {
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    *ok = query.prepare(sql);
    for (int i = 0; *ok && i < values.size(); ++i)
        query.bindValue(i, values.at(i));
    *ok = *ok && query.exec();
    if (!*ok) {
        *error = query.lastError();
        return QVariant();
    }
    return query.next() ? query.value(0) : QVariant();
}

bool HistoryUpkeep::Begin(QSqlError *error) {
    if (!Exec(QStringLiteral("BEGIN IMMEDIATE"), error))
        return false;
    m_held.start();
    return true;
}

bool HistoryUpkeep::Commit(QSqlError *error) {
    if (!Exec(QStringLiteral("COMMIT"), error))
        return false;
    // What a writer of another process may have waited for: the lock, from taken to let go.
    m_written = true;
    const qint64 heldUs = m_held.nsecsElapsed() / 1000;
    ++m_report.transactions;
    m_report.longestTransactionUs = qMax(m_report.longestTransactionUs, heldUs);
    if (heldUs > 50000)
        ++m_report.slowTransactions;
    return true;
}

void HistoryUpkeep::Rollback() {
    QSqlQuery query(m_db);
    query.exec(QStringLiteral("ROLLBACK")); // may have ended by itself; then this fails, harmlessly
    if (m_writer)
        m_writer->RolledBack();
}

void HistoryUpkeep::CheckpointNow() {
    if (!m_written)
        return;
    m_written = false;
    QElapsedTimer timer;
    timer.start();
    QSqlError error;
    bool ok = false;
    Value(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)"), {}, &error, &ok);
    m_report.longestCheckpointUs = qMax(m_report.longestCheckpointUs, timer.nsecsElapsed() / 1000);
}

int HistoryUpkeep::BatchRows() const { return int(qBound(200.0, m_rowsPerMs * StepMs, 50000.0)); }

void HistoryUpkeep::Measured(qint64 rows, qint64 us) {
    if (rows < 100 || us <= 0)
        return;
    // Slower at once, faster by degrees: a busy machine must not make the next step long.
    const double rate = double(rows) * 1000.0 / double(us);
    m_rowsPerMs = rate < m_rowsPerMs ? rate : 0.75 * m_rowsPerMs + 0.25 * rate;
}
