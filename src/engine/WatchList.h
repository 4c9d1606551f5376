#pragma once

#include "engine/PingEngine.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <array>
#include <functional>
#include <memory>

class AlertPolicy;
class HistoryStore;
class NetworkVerdict;
class Resolver;

// Several addresses watched at once, each pinged by an engine of its own every "Watch
// interval". Pings of different addresses run concurrently, at most MaxConcurrent at once,
// and their times are spread over the interval rather than all falling in one second. Only a
// single-shot timer to the next due ping runs: an idle list costs no CPU.
class WatchList : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxConcurrent = 8;
    static constexpr int MaxAddresses = 1000;

    // Row state, as the status images number it. NotChecked: this computer had no network or
    // slept; it says nothing of the address.
    enum State { UnderWay = 0, Idle = 1, Completed = 2, Failed = 3, Slow = 4, NotChecked = 5 };

    struct Row {
        QString address;            // normalised
        State state = Idle;         // UnderWay while pinged
        State outcome = Idle;       // of the last finished ping: kept while pinged again
        QDateTime lastPing;         // UTC; invalid before the first result
        QString lastResult;         // "completed in 0.042 s", "failed: Connection refused (10061)"
        int certificateDays = -1;   // days the certificate is still valid; -1: not checked
        qint64 msToNext = -1;       // -1: not scheduled
        double uptime24h = qQNaN(); // completed of all in the last 24 h of this run
    };

    explicit WatchList(AlertPolicy *alerts, QObject *parent = nullptr);
    ~WatchList() override;

    void ApplySettings(const TOptions &options, const EngineContext &context);
    // Not owned; the system's resolver by default. For tests.
    void SetResolver(Resolver *resolver);
    // Given to every address's engine. Not owned; none by default.
    void SetNetworkVerdict(NetworkVerdict *verdict);
    // The authorities of the TLS check, for every engine of the list.
    void SetTlsContext(std::shared_ptr<TlsContext> context);
    // Where the uptime of an address added from now on starts from: its last 24 hours there.
    // Not owned; none by default (the uptime of this run alone).
    void SetHistory(HistoryStore *history) { m_history = history; }
    // The interval in milliseconds; by default the "Watch interval" setting. For tests.
    void SetIntervalMs(qint64 ms);
    // The monotonic clock due times are on, in milliseconds; a steady clock by default. For
    // tests.
    void SetClock(std::function<qint64()> now) { m_now = std::move(now); }

    // Adds a normalised address at the end. False for a refused address (why says so), a
    // duplicate (kept once) or a full list.
    bool Add(const QString &text, QString *why = nullptr);
    // A removed address's ping is cancelled and logs nothing more.
    void Remove(int row);
    bool Replace(int row, const QString &text, QString *why = nullptr);
    void Move(int from, int to);
    void PingNow(int row);
    // Every address that is not under way is pinged within ms, one after the other (after an
    // outage of this computer's network).
    void PingAllWithin(qint64 ms);
    // The computer sleeps: no ping is started until Resume, which spreads them over the
    // interval afresh rather than start the ones due during the sleep in one burst.
    void Pause();
    void Resume();
    bool Paused() const { return m_paused; }

    // Reads the stored list (CR, LF or CR LF between lines). Refused lines are skipped and
    // each says why through logText; duplicates are kept once. Replaces the list.
    void Load(const QString &stored);
    // The stored form: every address followed by CR LF.
    QString Stored() const;

    int Count() const { return int(m_entries.size()); }
    Row RowAt(int row) const;
    QStringList Addresses() const;
    int Running() const { return m_running; }
    int Down() const; // rows whose last finished ping failed
    // Rows whose last finished ping completed, and failed: cheaper than a row each.
    struct Tally {
        int completed = 0;
        int failed = 0;
        int slow = 0; // completed, but slow: up all the same
    };
    Tally Outcomes() const;
    // The addresses whose last finished ping failed, the first max of them in list order.
    QStringList DownAddresses(int max) const;
    PingEngine *EngineAt(int row) const; // for tests

signals:
    void logText(const QString &entry);
    // An address went down (its first failed ping of an outage), and answers again.
    void addressDown(const QString &address, const QString &errorText);
    void addressRecovered(const QString &address, qint64 downSeconds);
    void addressSlow(const QString &address, double seconds);
    void certificateExpiring(const QString &address, int days, const QDateTime &expiry);
    // An alert of a watched address, for the notification channels.
    void alertRaised(const AlertEvent &event);
    void unknownError(int code, const QString &text);
    void unexpectedError(const QString &message);
    void rowChanged(int row);
    void rowsChanged(); // added, removed, moved
    void finished(const PingResult &result);
    void mailStarted();
    void mailFinished(bool sent);

private:
    struct Entry;
    void Schedule();
    void StartDue();
    void Start(Entry &entry);
    void OnFinished(Entry &entry, const PingResult &result);
    void Release(Entry *entry);
    void Spread(qint64 over = -1);
    int IndexOf(const Entry *entry) const;
    std::unique_ptr<Entry> MakeEntry(const NormalisedAddress &target);
    bool Check(const QString &text, const NormalisedAddress &target, int except,
               QString *why) const;
    void Retire(std::unique_ptr<Entry> entry);
    void RowsChanged();
    qint64 IntervalMs() const;
    qint64 Now() const;

    AlertPolicy *m_alerts;
    TOptions m_options;
    EngineContext m_context;
    Resolver *m_resolver = nullptr;
    std::shared_ptr<TlsContext> m_tlsContext;
    HistoryStore *m_history = nullptr;
    NetworkVerdict *m_network = nullptr;
    bool m_paused = false;
    qint64 m_intervalOverrideMs = -1;
    std::vector<std::unique_ptr<Entry>> m_entries;
    QElapsedTimer m_clock; // monotonic: due times are on it
    std::function<qint64()> m_now;
    QTimer m_next; // single shot to the earliest due ping
    int m_running = 0;
    bool m_loading = false; // one rowsChanged and one schedule for a whole list
};
