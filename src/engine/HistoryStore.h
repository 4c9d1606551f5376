#pragma once

#include "engine/AlertState.h"
#include "engine/HistoryDatabase.h"
#include "engine/HistoryUpkeep.h"
#include "engine/PingResult.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <functional>
#include <memory>

class QSqlError;
class QSqlQuery;

// One recorded ping as the history reads it back. Times are milliseconds; a time that was not
// measured (a phase not reached, a failure) is negative.
struct HistoryRow {
    qint64 atMs = 0; // when the ping finished: milliseconds since the epoch, UTC
    PingOutcomeKind outcome = PingOutcomeKind::Failed;
    double ms = -1;
    double lookupMs = -1;
    double connectMs = -1;
    double firstByteMs = -1;
    double tlsMs = -1; // the end of the TLS handshake, from the start of the attempt
    int httpStatus = 0;
    int errorCode = 0;
    QString errorText;
    int attempts = 0;
    bool errorPing = false;

    QDateTime At() const { return QDateTime::fromMSecsSinceEpoch(atMs, Qt::UTC); }
};

// The times of the completed pings of a range, in milliseconds. NaN where there are none.
struct HistoryStats {
    int count = 0;
    double minMs = qQNaN();
    double averageMs = qQNaN();
    double p95Ms = qQNaN();
    double maxMs = qQNaN();
    // The percentile comes from hourly rows' histograms (within an eighth of the true value);
    // the other figures are exact.
    bool estimated = false;
};

// The finished pings of an address in one hour (hour: hours since the epoch, UTC, rounded
// down), and the times of its completed pings.
struct HistoryHour {
    qint64 hour = 0;
    int completed = 0;
    int failed = 0;
    int cancelled = 0;
    int notChecked = 0;
    double minMs = qQNaN();
    double averageMs = qQNaN();
    double p95Ms = qQNaN(); // of an hour folded whole; NaN while its single pings are kept
    double maxMs = qQNaN();
    bool folded = false; // its pings (or some) are counted here only: their rows are gone

    qint64 StartMs() const { return hour * 3600LL * 1000; }
};

// A run of the program: from its start to the last time it said it was still there.
struct HistorySession {
    qint64 startMs = 0;
    qint64 lastSeenMs = 0;
};

// The pure statistics, apart so they can be checked on known data.
// The nearest-rank percentile: the smallest value with at least p % of the values at or below
// it, so the answer is always a time that was measured. NaN for no values.
double NearestRankPercentile(QList<double> values, double percent);
HistoryStats ComputeStats(QList<double> completedMs);
// Completed of all finished pings, NaN when none finished. Cancelled pings are not counted at
// all: a cancel is the user's act and says nothing about the address.
double UptimeRatio(qint64 completed, qint64 failed);

// The rows as CSV (RFC 4180): a header line, then one line a ping, CR LF after each; a field
// holding a comma, a quote or a line break is quoted, its quotes doubled. Times are UTC
// (ISO 8601 with milliseconds), durations milliseconds with three decimals, empty when not
// measured. UTF-8.
//
// With hourly rows (folded hours), the header has seven more columns (completed, failed,
// cancelled, not_checked, min_ms, p95_ms, max_ms) and each hour is a line of its own in time
// order among the pings: its start as the time, "hour" as the outcome, the average time as
// ms, the other ping columns empty. A ping's line leaves the seven empty.
QByteArray HistoryCsv(const QString &address, const QList<HistoryRow> &rows,
                      const QList<HistoryHour> &hours = {});

// The ping history, in an SQLite file shared by every process of the program (the window and
// the command line write the same file; mode 0600 in a folder of mode 0700). WAL mode, so
// readers never wait for the writer and a commit appends to the log without waiting for the
// disk; a commit survives a killed process.
//
// Every finished ping is a row of its own for "raw days" (SetRawDays, default 7); older pings
// are folded into one row per address and hour (HistoryHour: the count of each outcome, and of
// the times the least, the average, the greatest and a histogram for the 95th percentile),
// kept for the days Trim is given. Addresses are stored once, in a table of their own; rows
// hold its id, times in milliseconds and durations in microseconds, in the order of (address,
// time), so the rows of an address in a time range lie side by side.
//
// Upkeep runs on the history's own thread (HistoryUpkeep) in short transactions: the move of
// a file of the first layout (done in place: its rows move a step at a time, the newest file
// version is written at once so an older program leaves it alone), the rollup, the trims, the
// pages given back. Record and the reads run on the caller's thread.
//
// Failures never stop a ping: a file that is not a database or fails its quick check is kept
// as "<file>.bad" (its -wal and -shm beside it) and a new one begins; a file held by another
// writer makes a ping wait its turn on the history's thread, so none is lost to a lock; a file
// that cannot be written (read-only, a full disk) makes Record return false; a file of a newer
// layout is opened read only. Each is reported once through `problem`; a write failure is
// reported again only after a write succeeded in between. The quick check reads the whole file,
// so it runs on the history's thread after Open; `checked` tells when it is done.
//
// Runs of the program are recorded as sessions (start and last-seen time), so a chart can
// tell "not running" from "nothing happened": a session's last-seen time is renewed at most
// once a minute (by a timer, or with a ping), so a run killed without warning loses a minute
// at most. Gaps are not guessed from the spacing of pings, which depends on settings that
// change.
class HistoryStore : public QObject {
    Q_OBJECT
public:
    using Stats = HistoryStats;
    // What Rows reads: the time, the outcome and the time taken (what a chart and the
    // statistics need), or every column (an export, a reader of single rows).
    enum class RowDetail { Times, All };

    // path: the database file; DefaultPath() when empty. Nothing is opened before Open().
    explicit HistoryStore(const QString &path = QString(), QObject *parent = nullptr);
    // Ends the session, stops the upkeep (a check at once, a step after it ends), writes the
    // pings still waiting for a lock (waiting up to LockWaitMs), closes the file.
    ~HistoryStore() override;

    // $XDG_DATA_HOME/Lumo Dev/Vennatro/history.sqlite (~/.local/share when unset).
    static QString DefaultPath();
    QString Path() const { return m_path; }

    // Opens (creating the folders and the schema, or moving a file of the first layout to the
    // second) once; later calls only say whether it is open. A failure is reported through
    // `problem`; every use tries again.
    bool Open();
    bool IsOpen() const { return m_open; }
    // A file of a newer layout: read as far as this program can, never written.
    bool IsReadOnly() const { return m_readOnly; }
    // Whether Open starts the quick check (on by default). A short-lived process (the command
    // line) turns it off: it would wait for the check at its end, and the window checks anyway.
    void SetQuickCheck(bool on) { m_quickCheck = on; }
    // Without waiting for the disk: a short-lived writer (the command line) that must not
    // spend longer on its history than on its ping. A kill loses nothing; only a crash of the
    // whole system may lose the last rows, or the file (then set aside as .bad).
    void SetWaitForDisk(bool on) { m_waitForDisk = on; }
    // Days every ping is kept as a row of its own before it is folded into its hour (default
    // 7); 0: as long as the history. Used by the next Trim.
    void SetRawDays(int days) { m_rawDays = qMax(0, days); }
    int RawDays() const { return m_rawDays; }

    // Writes one finished ping. False, without throwing, when it cannot be written; true when
    // written, or waiting its turn behind another writer (then `recorded` comes once it is
    // written).
    bool Record(const PingResult &result);

    // Keeps the alert state of an address (a record with gone removes it), written on the
    // history's thread, behind the pings waiting there; the end of the store waits for it.
    void SaveAlert(const AlertRecord &record);
    // The alert states kept, for a run that starts.
    QList<AlertRecord> AlertRecords();

    // Asks the history's thread for an upkeep pass and returns at once: pings older than the
    // raw days are folded into hours, rows older than days go (0 keeps all), free pages go back.
    // The days count back from the clock, or from the newest ping recorded when the clock is
    // more than a day past it (said once through `problem`). `trimmed` tells the end.
    void Trim(int days);

    // Marks the start of a run; while it is open its last-seen time is renewed every minute.
    void BeginSession();
    // The run ends now (also done by the destructor).
    void EndSession();

    // Every address in the history, sorted.
    QStringList Addresses();
    // The single pings of an address finishing in [fromUtc, toUtc], oldest first (pings folded
    // into hours are not among them).
    QList<HistoryRow> Rows(const QString &address, const QDateTime &fromUtc, const QDateTime &toUtc,
                           RowDetail detail = RowDetail::Times);
    // Of the single pings in [fromUtc, toUtc] and the folded hours starting in it.
    Stats Statistics(const QString &address, const QDateTime &fromUtc, const QDateTime &toUtc);
    // Completed of all finished pings in the range (single pings and folded hours as
    // Statistics), NaN when none. Cancelled pings are left out: a cancel is the user's act and
    // says nothing about the address.
    double Uptime(const QString &address, const QDateTime &fromUtc, const QDateTime &toUtc);
    // The hours of [fromUtc, toUtc) that have any ping: single pings finishing in the range,
    // folded hours starting in it; both in one hour add up.
    QList<HistoryHour> Hours(const QString &address, const QDateTime &fromUtc,
                             const QDateTime &toUtc);
    // The folded hours alone (what an export writes beside the single pings).
    QList<HistoryHour> FoldedHours(const QString &address, const QDateTime &fromUtc,
                                   const QDateTime &toUtc);
    // The runs that overlap [fromUtc, toUtc], oldest first.
    QList<HistorySession> Sessions(const QDateTime &fromUtc, const QDateTime &toUtc);

    // ---- seams for tests and benchmarks ----
    // The clock of the sessions and the retention (UTC).
    void SetClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }
    QDateTime Now() const { return m_clock(); }
    // How long a ping waits on the caller's thread for another writer before it waits on the
    // history's thread instead.
    static constexpr int BusyTimeoutMs = 250;
    // Pings waiting on the history's thread longer than this are reported (and go on waiting);
    // the end of the store waits this long for them.
    static constexpr int LockWaitMs = 10000;
    void SetLockWaitMs(int ms) { m_lockWaitMs = ms; }
    // A session's last-seen time is renewed at most this often.
    static constexpr int SessionTouchMs = 60000;

signals:
    void problem(const QString &text);
    // A ping was written; views of the history refresh from it.
    void recorded(const PingResult &result);
    // The quick check of the file opened has ended; false: it was damaged and set aside.
    void checked(bool sound);
    // An upkeep pass asked for by Trim has ended.
    void trimmed(const HistoryTrimReport &report);

private:
    bool OpenFile(QString *reason, bool *damaged);
    bool OpenReadOnly(int version, QString *reason);
    bool CreateSchema(QString *reason, int *found);
    void CloseFile();
    void SetAside(const QString &reason);
    void SetAsideAndReopen(const QString &reason);
    void OpenFailed(const QString &reason);
    void WriteFailed(const QString &text);
    bool Insert(const PingResult &result, QSqlError *error);
    bool Exec(const QString &sql, QString *reason = nullptr);
    bool TouchSession();
    HistoryUpkeep *Worker();
    void ResetWorker();
    void StopWorker();
    void Queue(const PingResult &result);
    void CheckFinished(quint64 generation, const QString &damage);
    void Trimmed(const HistoryTrimReport &report);
    qint64 AddressId(const QString &address);
    // The folded hours of an address whose start lies in [fromMs, toMs] (both in ms), in order.
    QList<std::pair<qint64, HistoryTally>> Tallies(qint64 id, qint64 fromMs, qint64 toMs);

    QString m_path;
    QString m_connection; // unique per object: two stores in one process never share one
    QSqlDatabase m_db;
    std::unique_ptr<HistoryDb::PingWriter> m_writer;
    std::unique_ptr<QSqlQuery> m_begin;
    std::unique_ptr<QSqlQuery> m_commit;
    std::unique_ptr<QSqlQuery> m_touch;
    std::function<QDateTime()> m_clock;
    bool m_open = false;
    bool m_readOnly = false;
    bool m_waitForDisk = true;
    bool m_quickCheck = true;
    bool m_created = false;      // the file was made by this open: nothing to check
    bool m_writeFailing = false; // a failure was said; said again only after a success
    bool m_saidClock = false;    // the clock far past the history was said
    int m_rawDays = 7;
    int m_lockWaitMs = LockWaitMs;
    quint64 m_generation = 0;          // counts the files opened: a late check of a file set aside
                                       // says nothing about the new one
    QThread m_thread;                  // the history's own thread
    HistoryUpkeep *m_worker = nullptr; // lives on m_thread
    int m_queued = 0;                  // pings waiting on that thread for the lock
    quint64 m_resets = 0;              // files the thread was told to let go of
    qint64 m_sessionId = -1;
    qint64 m_lastTouchMs = 0;
    QTimer m_sessionTimer;
};
