#pragma once

#include "engine/PingResult.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QRandomGenerator>
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
};

// The finished pings of an address in one hour (hour: hours since the epoch, UTC).
struct HistoryHour {
    qint64 hour = 0;
    int completed = 0;
    int failed = 0;
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
QByteArray HistoryCsv(const QString &address, const QList<HistoryRow> &rows);

// The ping history: every finished ping, one row each, in an SQLite file shared by every
// process of the program (the window and the command line write the same file). WAL mode, so
// readers never wait for the writer and a commit appends to the log without waiting for the
// disk; a commit survives a killed process. One transaction a ping. The rows are kept in the
// order of (address, time), so the rows of an address in a time range lie side by side.
//
// Failures never stop a ping: a file that is not a database or fails its quick check is kept
// as "<file>.bad" (its -wal and -shm beside it) and a new one begins; a file that cannot be
// written (read-only, locked by another process past the busy time-out, a full disk) makes
// Record return false. Each is reported once through `problem`; a write failure is reported
// again only after a write succeeded in between. The quick check reads the whole file, so it
// runs on a thread of its own after Open; `checked` tells when it is done.
//
// Runs of the program are recorded as sessions (start and last-seen time), so a chart can
// tell "not running" from "nothing happened": a session's last-seen time is renewed at most
// once a minute (by a timer, or with a ping), so a run killed without warning loses a minute
// at most. Gaps are not guessed from the spacing of pings, which depends on settings that
// change.
//
// Retention is the caller's: Trim(days) deletes old rows in short transactions; the main
// window calls it at start and from a daily timer, with the "History days" setting of the
// moment.
class HistoryStore : public QObject {
    Q_OBJECT
public:
    using Stats = HistoryStats;
    // What Rows reads: the time, the outcome and the time taken (what a chart and the
    // statistics need), or every column (an export, a reader of single rows).
    enum class RowDetail { Times, All };

    // path: the database file; DefaultPath() when empty. Nothing is opened before Open().
    explicit HistoryStore(const QString &path = QString(), QObject *parent = nullptr);
    ~HistoryStore() override; // ends the session, waits for the quick check, closes the file

    // $XDG_DATA_HOME/Lumo Dev/Vennatro/history.sqlite (~/.local/share when unset).
    static QString DefaultPath();
    QString Path() const { return m_path; }

    // Opens (creating the folders and the schema) once; later calls only say whether it is
    // open. A failure is reported through `problem`; every use tries again.
    bool Open();
    bool IsOpen() const { return m_open; }
    // Whether Open starts the quick check (on by default). A short-lived process (the command
    // line) turns it off: it would wait for the check at its end, and the window checks anyway.
    void SetQuickCheck(bool on) { m_quickCheck = on; }
    // Without waiting for the disk: a short-lived writer (the command line) that must not
    // spend longer on its history than on its ping. A kill loses nothing; only a crash of the
    // whole system may lose the last rows, or the file (then set aside as .bad).
    void SetWaitForDisk(bool on) { m_waitForDisk = on; }

    // Writes one finished ping. False, without throwing, when it could not be written.
    bool Record(const PingResult &result);

    // Deletes the rows older than days (0 keeps all). Returns the number deleted, -1 on failure.
    int Trim(int days);

    // Marks the start of a run; while it is open its last-seen time is renewed every minute.
    void BeginSession();
    // The run ends now (also done by the destructor).
    void EndSession();

    // Every address in the history, sorted.
    QStringList Addresses();
    // The pings of an address finishing in [fromUtc, toUtc], oldest first.
    QList<HistoryRow> Rows(const QString &address, const QDateTime &fromUtc, const QDateTime &toUtc,
                           RowDetail detail = RowDetail::Times);
    Stats Statistics(const QString &address, const QDateTime &fromUtc, const QDateTime &toUtc);
    // Completed of all finished pings in the range, NaN when none. Cancelled pings are left
    // out: a cancel is the user's act and says nothing about the address.
    double Uptime(const QString &address, const QDateTime &fromUtc, const QDateTime &toUtc);
    // Completed and failed pings an hour, for the hours of [fromUtc, toUtc) that have any.
    QList<HistoryHour> Hours(const QString &address, const QDateTime &fromUtc,
                             const QDateTime &toUtc);
    // The runs that overlap [fromUtc, toUtc], oldest first.
    QList<HistorySession> Sessions(const QDateTime &fromUtc, const QDateTime &toUtc);

    // ---- seams for tests and benchmarks ----
    // The clock of the sessions and the retention (UTC).
    void SetClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }
    QDateTime Now() const { return m_clock(); }
    // How long a write waits for another process's write to end.
    static constexpr int BusyTimeoutMs = 250;
    // A session's last-seen time is renewed at most this often.
    static constexpr int SessionTouchMs = 60000;

signals:
    void problem(const QString &text);
    // A ping was written; views of the history refresh from it.
    void recorded(const PingResult &result);
    // The quick check of the file opened has ended; false: it was damaged and set aside.
    void checked(bool sound);

private:
    bool OpenFile(QString *reason, bool *damaged);
    bool CreateSchema(QString *reason);
    void CloseFile();
    void SetAside(const QString &reason);
    void SetAsideAndReopen(const QString &reason);
    void OpenFailed(const QString &reason);
    void WriteFailed(const QSqlError &error);
    bool Insert(const PingResult &result, QSqlError *error);
    bool Exec(const QString &sql, QString *reason = nullptr);
    bool TouchSession();
    void StartCheck();
    void CheckFinished(QThread *thread, quint64 generation, const QString &damage);

    QString m_path;
    QString m_connection; // unique per object: two stores in one process never share one
    QSqlDatabase m_db;
    std::unique_ptr<QSqlQuery> m_insert; // kept prepared
    std::unique_ptr<QSqlQuery> m_begin;
    std::unique_ptr<QSqlQuery> m_commit;
    std::unique_ptr<QSqlQuery> m_touch;
    std::function<QDateTime()> m_clock;
    QRandomGenerator m_random; // the tie-breaker of two pings of an address in one millisecond
    bool m_open = false;
    bool m_waitForDisk = true;
    bool m_quickCheck = true;
    bool m_created = false;      // the file was made by this open: nothing to check
    bool m_writeFailing = false; // a failure was said; said again only after a success
    quint64 m_generation = 0;    // counts the files opened: a late check of a file set aside
                                 // says nothing about the new one
    std::unique_ptr<QThread> m_check;
    qint64 m_sessionId = -1;
    qint64 m_lastTouchMs = 0;
    QTimer m_sessionTimer;
};
