#pragma once

#include "engine/AlertState.h"
#include "engine/HistoryDatabase.h"
#include "engine/PingResult.h"

#include <QElapsedTimer>
#include <QList>
#include <QMetaType>
#include <QMutex>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QVariant>

#include <atomic>
#include <memory>

// What an upkeep pass of the history did.
struct HistoryTrimReport {
    qint64 migrated = 0;     // rows of the first layout moved to the second (or folded, or gone)
    qint64 folded = 0;       // single pings folded into hourly rows
    qint64 removedPings = 0; // single pings older than the history kept
    qint64 removedHours = 0;
    qint64 removedSessions = 0;
    qint64 freedPages = 0; // pages given back to the file system
    qint64 rebuildUs = 0;  // a file of the first layout rebuilt once, in one long transaction
    int transactions = 0;
    qint64 longestTransactionUs = 0; // the write lock held longest, from taken to let go
    int slowTransactions = 0;        // held longer than 50 ms (a busy machine's pauses count)
    qint64 longestCheckpointUs = 0;  // a copy of the log into the file (no lock held)
    qint64 nowMs = 0;                // the clock when the pass was asked for
    qint64 referenceMs = 0;          // the time the days kept were counted back from
    qint64 newestMs = 0;             // the newest ping found (0: none)
    bool clockAhead = false;         // the clock was more than a day past the newest ping
    bool complete = false; // false: stopped early (the store closing, the file set aside, an error)
    QString error;         // why it stopped, when it failed
};
Q_DECLARE_METATYPE(HistoryTrimReport)

struct HistoryUpkeepRequest {
    int historyDays = 0; // 0: all kept
    int rawDays = 7;     // 0: single pings kept as long as the history
    qint64 nowMs = 0;
};

// The history's own thread: the whole-file check, the move from the first layout, the rollup
// of old pings into hourly rows, the trims, giving free pages back and the checkpoints, and
// the pings a busy file made wait. Each step is one short transaction (about 15 ms of work),
// followed by a pause as long as itself, so a writer of another process or of the interface
// thread always gets its turn. Every step is whole or not at all: a process killed in the
// middle leaves nothing half done, and the next pass goes on from there.
//
// It lives on a thread of its own and has its own connection; every call but Stop() comes
// queued from the store.
class HistoryUpkeep : public QObject {
    Q_OBJECT
public:
    HistoryUpkeep(const QString &path, bool waitForDisk, int lockWaitMs);
    ~HistoryUpkeep() override;

    // From any thread: the pass under way ends after its step, a check at once.
    void Stop();
    // From any thread: a long statement under way (a check, a rebuild) ends now.
    void Interrupt();

    void Check(quint64 generation);
    void Upkeep(const HistoryUpkeepRequest &request);
    // A ping the store could not write at once: written when the lock is free.
    void Write(const PingResult &result);
    // An alert state to keep: written with the pings, waiting for the lock as they do.
    void WriteAlert(const AlertRecord &record);
    // The file was set aside: the connection closes; pings waiting go into the new file.
    // resets: how many times this has happened, named again by `damaged`.
    void Reset(quint64 resets);
    // The store closes: the pings waiting are written (waiting up to the lock time), the
    // connection closes.
    void Shutdown();

    // The work of a step, in ms: a third of the 50 ms a transaction may hold the file, so a
    // busy machine stays within them; the pause after it is as long.
    static constexpr int StepMs = 15;
    // How long a step waits for another writer before it tries again later.
    static constexpr int StepBusyMs = 200;

signals:
    void checked(quint64 generation, const QString &damage);
    void trimmed(const HistoryTrimReport &report);
    void written(const QList<PingResult> &results);
    // Pings that cannot be written (not for a lock: for that they wait).
    void dropped(int count, const QString &reason);
    // Pings have waited longer than the lock time; they go on waiting.
    void waiting(const QString &reason);
    // The file is damaged; resets: of the file found so (a later file is not this one).
    void damaged(quint64 resets, const QString &reason);

private:
    enum class Phase {
        Idle,
        Start,
        Migrate,
        TrimPings,
        Fold,
        TrimHours,
        TrimSessions,
        Convert,
        Vacuum,
        Checkpoint,
        Done
    };
    struct Source; // where a fold reads its pings

    bool EnsureOpen(QString *reason, bool *damaged);
    void Close();
    void Step();
    void ScheduleStep(int ms);
    void EndPass(bool complete, const QString &error = QString());
    // Writes the pings waiting; true when the file was busy and they wait on.
    bool Flush();
    bool RunStep(bool *more, QSqlError *error);
    bool StartPass(QSqlError *error);
    bool MigrateStep(bool *more, QSqlError *error);
    bool TrimPingsStep(bool *more, QSqlError *error);
    bool FoldStep(bool *more, QSqlError *error);
    bool TrimHoursStep(bool *more, QSqlError *error);
    bool TrimSessions(QSqlError *error);
    bool Convert(QSqlError *error);
    bool VacuumStep(bool *more, QSqlError *error);
    bool Fold(const Source &source, qint64 fromMs, qint64 toMs, qint64 *rows, QSqlError *error);
    bool Exec(const QString &sql, QSqlError *error, QVariantList values = {},
              qint64 *affected = nullptr);
    // The first column of the first row; an invalid QVariant when there is none.
    QVariant Value(const QString &sql, const QVariantList &values, QSqlError *error, bool *ok);
    bool Begin(QSqlError *error);
    bool Commit(QSqlError *error);
    void Rollback();
    int BatchRows() const;
    void Measured(qint64 rows, qint64 us);
    // Copies the log into the file if this thread wrote since the last copy (passive: it
    // waits for nobody and nobody waits for it).
    void CheckpointNow();

    QString m_path;
    bool m_waitForDisk;
    int m_lockWaitMs;
    QString m_connection;
    QSqlDatabase m_db;
    std::unique_ptr<HistoryDb::PingWriter> m_writer;
    std::atomic<bool> m_stop{false};
    quint64 m_resets = 0;
    QMutex m_handleLock;    // guards m_handle: Stop() interrupts what it names
    QVariant m_handle;      // the connection while a long statement runs on it
    QElapsedTimer m_held;   // since the write lock was taken
    bool m_written = false; // since the last checkpoint

    // The pass under way.
    Phase m_phase = Phase::Idle;
    bool m_again = false; // another pass was asked for during this one
    HistoryUpkeepRequest m_request;
    HistoryTrimReport m_report;
    qint64 m_historyCutoffMs = 0; // rows before it go; the smallest qint64 when none
    qint64 m_rawCutoffMs = 0;     // rows before it are folded; the smallest qint64 when none
    QList<qint64> m_ids;          // the addresses the pass goes through
    qsizetype m_index = 0;
    bool m_stepScheduled = false;
    double m_rowsPerMs = 100; // measured, for the size of the next step

    // The pings waiting for the lock.
    QList<PingResult> m_pending;
    QList<AlertRecord> m_pendingAlerts;
    bool m_flushScheduled = false;
    QElapsedTimer m_waitingSince;
    bool m_saidWaiting = false;
};
