#pragma once

#include "engine/AutoPingScheduler.h"
#include "engine/LogFile.h"
#include "engine/PingEngine.h"
#include "engine/PingResult.h"
#include "engine/PingTarget.h"
#include "engine/SnoozeList.h"
#include "store/Options.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class AlertChannels;
class AlertPolicy;
class HistoryStore;
class MetricsPublisher;
class NetworkState;
class NetworkVerdict;
class ProbeRunner;
class QTimer;
class SleepWatch;
class Resolver;
class TlsContext;
class WatchList;

// The monitor: the settings it was given, the alert policy, the main ping engine, the watched
// addresses, the history, the metrics, the log file and the automatic ping, shared by every
// face of the program: the window is its view, the command line and the headless service run
// it without one. It never reads the window's settings record; it holds what ApplySettings
// gives it.
class PingSession : public QObject {
    Q_OBJECT
public:
    // Who runs the session. The command line keeps no log file, pings no watched address,
    // keeps the history without waiting for the disk, and says problems on its error stream.
    enum class Face { Window, CommandLine, Service };

    explicit PingSession(Face face = Face::Window, QObject *parent = nullptr);
    ~PingSession() override;

    Face WhoRuns() const { return m_face; }

    // The settings, and the texts the program computes once. Before Open only kept.
    void ApplySettings(const TOptions &options, const EngineContext &context);
    const TOptions &Settings() const { return m_options; }
    const EngineContext &Context() const { return m_context; }

    // Opens the history (its session mark and trim), serves the metrics and loads the watched
    // addresses, as the settings say. Problems are logged, so the start line goes first.
    void Open();

    // ---- the main ping ----
    // Takes an accepted address as the target; false, changing nothing, for a refused one.
    bool SetTarget(const NormalisedAddress &target);
    void PingNow();
    void Cancel();
    bool Busy() const;
    // The main ping under way (or the last one) is the error ping: it checks the second
    // address, and its result never stands for the address that failed.
    bool ErrorPingUnderWay() const { return m_engine->ErrorPingUnderWay(); }
    // How the error ping address is validated and set as the target (the window goes
    // through its address box); by default it is set directly. True when it was accepted.
    void SetErrorPingHandler(std::function<bool(const QString &address)> handler);

    // ---- automatic ping ----
    // Pings the target now and then every "Auto-ping interval" minutes.
    void StartAutoPing(const NormalisedAddress &target);
    void StopAutoPing();
    bool AutoPingOn() const;
    const QString &AutoPingAddress() const { return m_autoTargetAddress; }
    const NormalisedAddress &AutoPingTarget() const { return m_autoTarget; }

    // ---- the log ----
    // An entry (CR LF line breaks) for every face, and for the log file when "Save log" is
    // on; a background one (a watched address's) may wait for a busy view's next repaint.
    void Log(const QString &entry, bool background = false);
    // The end of the log file for a view that starts (its folders made when it is missing);
    // nothing when "Save log" is off, the file is new, or it could not be read (said once).
    std::optional<LogTail> OpenLogFile(qint64 maxBytes);
    // Entries that wait for the file are written (the end of the run).
    void FlushLog();
    // "Clear log": the next entry starts the log file anew.
    void RestartLog();
    // Copies the whole log file to path; false when there is no log file to copy.
    bool CopyLogTo(const QString &path) const;

    // Ends every e-mail under way (Exit, a signal).
    void AbortMail();
    // Not owned; the system's resolver by default. For tests.
    void SetResolver(Resolver *resolver);

    // ---- snoozes: no balloon, e-mail or channel message for an address while they last ----
    // Snoozes the alerts of address (SnoozeList::All: every address) until the time given;
    // the setting "Snoozed until" follows (Settings()).
    void Snooze(const QString &address, const QDateTime &until);
    // Ends the snooze of address (All: every snooze).
    void Resume(const QString &address);
    // Until when the alerts of address (or All) are snoozed; invalid when they are not.
    QDateTime SnoozedUntil(const QString &address) const;

    // An engine of its own for a one-off ping (the command line's): it shares the settings,
    // the alert policy, the history, the metrics and the log. Owned by the session.
    PingEngine *AddEngine();

    // ---- the parts, for the views that show them ----
    PingEngine *Engine() const { return m_engine; }
    WatchList *Watched() const { return m_watched; }
    HistoryStore *History() const { return m_history; }
    MetricsPublisher *Metrics() const { return m_metrics; }
    AlertPolicy *Alerts() const { return m_alerts; }
    AutoPingScheduler *Scheduler() const { return m_scheduler; }
    // The notification channels ("Notify URLs"); none for the command line.
    AlertChannels *Channels() const { return m_channels; }
    // Whether a failure is this computer's network's or a sleep's, and its outages.
    NetworkVerdict *Network() const { return m_network; }
    SleepWatch *Sleep() const { return m_sleep; }
    NetworkState *NetworkFacts() const { return m_networkState; }

signals:
    // ---- the main ping, in the engine's order ----
    void attemptStarted(const QString &address, int attempt, int attempts);
    void attemptWaiting(const QString &address, int attempt, int attempts, int seconds);
    void retryPaused(int ms);
    void answered(const QString &address, bool connectOnly, const QString &firstLine);
    void pingFailed(const QString &address, const QString &errorText);
    void attemptFailed(TErrorEvent kind, int code, const QString &text, bool final);
    void cancelled(const QString &address);
    void notChecked(const QString &address, NotCheckedReason reason);
    void connectionEnded(const QString &address, PingOutcomeKind outcome);
    void completed(const PingResult &result);
    void finished(const PingResult &result);
    void idle();
    void mailStarted();
    void mailFinished(bool sent);
    // ---- any address ----
    // A watched address went down (the first failure of its outage).
    void addressDown(const QString &address, const QString &errorText);
    // An address answers again after an alerted failure.
    void addressRecovered(const QString &address, qint64 downSeconds);
    // An address's completed pings became slow (once an episode).
    void addressSlow(const QString &address, double seconds);
    // An address's certificate expires within the days of the setting (once a day).
    void certificateExpiring(const QString &address, int days, const QDateTime &expiry);
    void unknownError(int code, const QString &text);
    void unexpectedError(const QString &message);
    // A log entry: its text (CR LF line breaks), its size in the log file, and whether it is a
    // watched address's.
    void logEntry(const QString &text, qint64 fileBytes, bool background);
    // A problem of the history or the metrics, for a face without a log (the command line).
    void problem(const QString &text);
    // An alert of any address (down, a repeat, up), as the channels send it.
    void alertRaised(const AlertEvent &event);
    // A snooze began or ended (also by itself, at its time).
    void snoozeChanged();
    // ---- this computer's network ----
    // The first ping of an outage that could not be checked, and how many addresses so far.
    void networkLost(int addresses);
    // The outage is over, after downSeconds; every address is pinged again.
    void networkBack(qint64 downSeconds);
    // The network works (no outage, no sleep being settled), or not.
    void networkStateChanged(bool up);

private:
    void Report(const QString &part, const QString &text);
    void WireEngine(PingEngine *engine);
    void MirrorToLogFile(const QByteArray &bytes);
    void ConfigureMetrics();
    void TrimHistory(); // folds and trims as the settings say, on the history's thread
    void ConfigureChannels();
    void ApplySnoozes(const SnoozeList &snoozes);
    void ScheduleSnoozeEnd();
    void WireNetwork();
    void PingAllAgain(); // after an outage of this computer's network
    void LogSkippedReferences();
    void CheckSettings();

    Face m_face;
    TOptions m_options;
    EngineContext m_context;
    bool m_open = false;
    AlertPolicy *m_alerts = nullptr;
    PingEngine *m_engine = nullptr;
    WatchList *m_watched = nullptr;
    HistoryStore *m_history = nullptr;
    MetricsPublisher *m_metrics = nullptr;
    AutoPingScheduler *m_scheduler = nullptr;
    NetworkState *m_networkState = nullptr;
    SleepWatch *m_sleep = nullptr;
    NetworkVerdict *m_network = nullptr;
    bool m_mainNotChecked = false; // the main ping's last ping was not checked
    bool m_sleepProblemSaid = false;
    ProbeRunner *m_probes = nullptr; // /probe on the metrics port
    QTimer *m_historyTrim = nullptr;
    QList<PingEngine *> m_extraEngines;
    Resolver *m_resolver = nullptr;
    std::shared_ptr<TlsContext> m_tlsContext; // one set of authorities for every engine
    QString m_reportedStatus;                 // an invalid "Accepted HTTP status" said once
    LogFile m_log;
    bool m_logFileFailing = false; // a log-file error was reported and not yet followed by success
    NormalisedAddress m_autoTarget;
    QString m_autoTargetAddress;
    std::function<bool(const QString &)> m_errorPingHandler;
    AlertChannels *m_channels = nullptr;
    QTimer *m_snoozeEnd = nullptr;
    QString m_appliedSnoozes; // the "Snoozed until" value last read
    QString m_snoozeProblem;  // said once the log has its start line
};
