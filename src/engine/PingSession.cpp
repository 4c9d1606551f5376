#include "engine/PingSession.h"

#include "engine/AcceptedStatus.h"
#include "engine/AlertChannels.h"
#include "engine/AlertPolicy.h"
#include "engine/Formats.h"
#include "engine/HistoryStore.h"
#include "engine/MetricsPublisher.h"
#include "engine/NetworkVerdict.h"
#include "engine/PingTarget.h"
#include "engine/ProbeRunner.h"
#include "engine/WatchList.h"
#include "net/TlsClient.h"
#include "platform/AppErrors.h"
#include "platform/NetworkState.h"
#include "platform/SleepWatch.h"
#include "support/Exceptions.h"

#include <QFileInfo>
#include <QTimer>

namespace {
constexpr int DayMs = 24 * 3600 * 1000;
constexpr int CatchUpMs = 10000; // after an outage every address is pinged within this time
} // namespace

PingSession::PingSession(Face face, QObject *parent) : QObject(parent), m_face(face) {
    m_options = DefaultOptions();
    m_alerts = new AlertPolicy(this);
    m_tlsContext = std::make_shared<TlsContext>();
    m_engine = new PingEngine(this);
    m_engine->SetAlertPolicy(m_alerts);
    m_engine->SetTlsContext(m_tlsContext);
    m_watched = new WatchList(m_alerts, this);
    m_watched->SetTlsContext(m_tlsContext);
    m_metrics = new MetricsPublisher(this);
    m_probes = new ProbeRunner(this);
    m_probes->SetTlsContext(m_tlsContext);
    m_probes->SetOwnPort([this] { return m_metrics->ListeningPort(); });
    m_metrics->SetProber(
        [this](const QString &target, int timeoutMs, std::function<void(const QByteArray &)> done) {
            return m_probes->Start(target, timeoutMs, std::move(done));
        });
    m_history = new HistoryStore(QString(), this);
    if (face == Face::CommandLine) {
        // The whole-file check and the wait for the disk are the long-running faces' job: a
        // command line must not wait for them before it ends.
        m_history->SetQuickCheck(false);
        m_history->SetWaitForDisk(false);
    }
    m_watched->SetHistory(m_history);
    m_scheduler = new AutoPingScheduler(this);
    m_networkState = new NetworkState(this);
    m_sleep = new SleepWatch(this);
    m_network = new NetworkVerdict(m_networkState, m_sleep, this);
    m_watched->SetNetworkVerdict(m_network);

    WireEngine(m_engine);
    // Direct connections: a view sees every step inside the engine's own, in its order.
    connect(m_engine, &PingEngine::attemptStarted, this, &PingSession::attemptStarted);
    connect(m_engine, &PingEngine::attemptWaiting, this, &PingSession::attemptWaiting);
    connect(m_engine, &PingEngine::retryPaused, this, &PingSession::retryPaused);
    connect(m_engine, &PingEngine::answered, this, &PingSession::answered);
    connect(m_engine, &PingEngine::pingFailed, this, &PingSession::pingFailed);
    connect(m_engine, &PingEngine::attemptFailed, this, &PingSession::attemptFailed);
    connect(m_engine, &PingEngine::unknownError, this, &PingSession::unknownError);
    connect(m_engine, &PingEngine::cancelled, this, &PingSession::cancelled);
    connect(m_engine, &PingEngine::notChecked, this, &PingSession::notChecked);
    connect(m_engine, &PingEngine::connectionEnded, this, &PingSession::connectionEnded);
    connect(m_engine, &PingEngine::completed, this, &PingSession::completed);
    connect(m_engine, &PingEngine::finished, this, &PingSession::finished);
    connect(m_engine, &PingEngine::recovered, this, &PingSession::addressRecovered);
    connect(m_engine, &PingEngine::slowStarted, this, &PingSession::addressSlow);
    connect(m_engine, &PingEngine::certificateExpiring, this, &PingSession::certificateExpiring);
    connect(m_engine, &PingEngine::idle, this, &PingSession::idle);
    connect(m_engine, &PingEngine::mailStarted, this, &PingSession::mailStarted);
    connect(m_engine, &PingEngine::mailFinished, this, &PingSession::mailFinished);
    connect(m_engine, &PingEngine::unexpectedError, this, &PingSession::unexpectedError);
    connect(m_engine, &PingEngine::errorPingRequested, this, [this](const QString &address) {
        if (m_errorPingHandler)
            m_errorPingHandler(address);
        else
            m_engine->SetTarget(NormaliseAddress(address));
    });

    connect(m_watched, &WatchList::logText, this,
            [this](const QString &entry) { Log(entry, true); });
    connect(m_watched, &WatchList::finished, m_metrics, &MetricsPublisher::Record);
    connect(m_watched, &WatchList::finished, m_history, &HistoryStore::Record);
    connect(m_watched, &WatchList::addressDown, this, &PingSession::addressDown);
    connect(m_watched, &WatchList::addressRecovered, this, &PingSession::addressRecovered);
    connect(m_watched, &WatchList::alertRaised, this, &PingSession::alertRaised);
    connect(m_watched, &WatchList::addressSlow, this, &PingSession::addressSlow);
    connect(m_watched, &WatchList::certificateExpiring, this, &PingSession::certificateExpiring);
    connect(m_watched, &WatchList::unknownError, this, &PingSession::unknownError);
    connect(m_watched, &WatchList::unexpectedError, this, &PingSession::unexpectedError);
    connect(m_watched, &WatchList::rowsChanged, this, [this] {
        // Every watched address is a target of the metrics, pinged yet or not.
        for (const QString &address : m_watched->Addresses())
            m_metrics->Registry()->AddTarget(address);
    });

    connect(m_history, &HistoryStore::problem, this,
            [this](const QString &text) { Report(QStringLiteral("History"), text); });
    connect(m_metrics, &MetricsPublisher::problem, this,
            [this](const QString &text) { Report(QStringLiteral("Metrics"), text); });

    m_scheduler->SetBusyCheck([this] { return m_engine->Active(); });
    connect(m_scheduler, &AutoPingScheduler::due, this, [this] {
        GuardedCall([this] {
            // The port belongs to the target too: a manual ping in between may have left the
            // other scheme's port on the socket.
            m_engine->SetTarget(m_autoTarget);
            m_engine->Ping();
        });
    });

    WireNetwork();

    if (face != Face::CommandLine) {
        // The command line alerts nobody; the faces that run on keep what they alerted of, and
        // send it further.
        m_channels = new AlertChannels(this);
        connect(m_channels, &AlertChannels::logText, this,
                [this](const QString &entry) { Log(entry, true); });
        connect(this, &PingSession::alertRaised, m_channels, &AlertChannels::Send);
        connect(m_alerts, &AlertPolicy::stateChanged, m_history, &HistoryStore::SaveAlert);
        m_snoozeEnd = new QTimer(this);
        m_snoozeEnd->setSingleShot(true);
        m_snoozeEnd->setTimerType(Qt::PreciseTimer); // an hour's coarse timer is minutes late
        connect(m_snoozeEnd, &QTimer::timeout, this, [this] {
            SnoozeList snoozes = m_alerts->Snoozes();
            if (snoozes.DropEnded(m_alerts->Now().wall))
                ApplySnoozes(snoozes);
            else
                ScheduleSnoozeEnd();
        });

        // Retention once a day besides the start; the setting is read when the time comes.
        m_historyTrim = new QTimer(this);
        m_historyTrim->setObjectName(QStringLiteral("TimerHistoryTrim"));
        m_historyTrim->setInterval(DayMs);
        connect(m_historyTrim, &QTimer::timeout, this, &PingSession::TrimHistory);
    }
}

PingSession::~PingSession() {
    // No part may report into a session that is going away.
    m_scheduler->Stop();
    m_engine->disconnect(this);
    m_watched->disconnect(this);
    m_network->disconnect(this);
    for (PingEngine *engine : std::as_const(m_extraEngines))
        engine->disconnect(this);
}

void PingSession::WireEngine(PingEngine *engine) {
    engine->SetNetworkVerdict(m_network);
    connect(engine, &PingEngine::logText, this, [this](const QString &entry) { Log(entry); });
    connect(engine, &PingEngine::finished, m_metrics, &MetricsPublisher::Record);
    connect(engine, &PingEngine::finished, m_history, &HistoryStore::Record);
    connect(engine, &PingEngine::alertRaised, this, &PingSession::alertRaised);
    connect(engine, &PingEngine::handlerException, this,
            [](std::exception_ptr error) { HandleApplicationException(error); });
}

void PingSession::Report(const QString &part, const QString &text) {
    if (m_face == Face::CommandLine)
        emit problem(text);
    else
        Log(QStringLiteral("[%1] %2: %3\r\n").arg(TimeStamp(), part, text));
}

void PingSession::ApplySettings(const TOptions &options, const EngineContext &context) {
    const QStringList skippedBefore = m_network->SkippedReferences();
    m_network->ApplySettings(options.TellNetworkOutages, options.ReferenceAddresses);
    if (m_open && m_network->SkippedReferences() != skippedBefore)
        LogSkippedReferences();
    if (m_open && m_face != Face::CommandLine && options.TellNetworkOutages)
        m_sleep->Listen();
    // The automatic ping that runs follows a new interval at once.
    if (m_scheduler->Active() && options.AutoPingInterval != m_options.AutoPingInterval)
        m_scheduler->SetInterval(options.AutoPingInterval);
    m_options = options;
    m_context = context;
    m_engine->ApplySettings(options, context);
    for (PingEngine *engine : std::as_const(m_extraEngines))
        engine->ApplySettings(options, context);
    m_alerts->SetRepeatMinutes(options.RepeatAlertsEvery);
    m_alerts->SetAlertAfter(options.AlertAfter);
    if (m_face != Face::CommandLine && options.SnoozedUntil != m_appliedSnoozes) {
        m_appliedSnoozes = options.SnoozedUntil;
        QString problem;
        const SnoozeList snoozes =
            SnoozeList::Parse(options.SnoozedUntil, m_alerts->Now().wall, &problem);
        m_alerts->SetSnoozes(snoozes);
        ScheduleSnoozeEnd();
        // Said once, after the log's start line.
        if (!problem.isEmpty() && m_open)
            Log(problem + QStringLiteral("\r\n"));
        else if (!problem.isEmpty())
            m_snoozeProblem = problem;
    }
    m_watched->ApplySettings(options, context);
    m_probes->ApplySettings(options, context);
    if (m_open) {
        ConfigureMetrics();
        ConfigureChannels();
        CheckSettings();
    }
}

void PingSession::ConfigureChannels() {
    if (!m_channels)
        return;
    m_channels->SetUserAgent(m_context.userAgent);
    m_channels->SetTemplate(m_options.AlertText);
    m_channels->SetUrls(m_options.NotifyUrls);
}

void PingSession::ApplySnoozes(const SnoozeList &snoozes) {
    m_alerts->SetSnoozes(snoozes);
    m_options.SnoozedUntil = snoozes.Stored();
    m_appliedSnoozes = m_options.SnoozedUntil;
    ScheduleSnoozeEnd();
    emit snoozeChanged();
}

void PingSession::ScheduleSnoozeEnd() {
    if (!m_snoozeEnd)
        return;
    const QDateTime now = m_alerts->Now().wall;
    const QDateTime next = m_alerts->Snoozes().NextEnd(now);
    if (!next.isValid()) {
        m_snoozeEnd->stop();
        return;
    }
    // An hour at most: the wall clock may be set meanwhile.
    m_snoozeEnd->start(int(qBound(qint64(0), now.msecsTo(next) + 1, qint64(3600) * 1000)));
}

void PingSession::Snooze(const QString &address, const QDateTime &until) {
    const QDateTime now = m_alerts->Now().wall;
    SnoozeList snoozes = m_alerts->Snoozes();
    snoozes.DropEnded(now);
    snoozes.Set(address, until);
    const bool all = address == SnoozeList::All;
    const QByteArray shown = all ? QByteArray() : AddressWithoutPassword(address).toUtf8();
    Log(QString::asprintf(all ? Fmt::SnoozedAllEntry : Fmt::SnoozedEntry, shown.constData(),
                          TimeStamp(until.toLocalTime()).toUtf8().constData()));
    ApplySnoozes(snoozes);
}

void PingSession::Resume(const QString &address) {
    SnoozeList snoozes = m_alerts->Snoozes();
    snoozes.DropEnded(m_alerts->Now().wall);
    snoozes.Clear(address);
    const bool all = address == SnoozeList::All;
    const QByteArray shown = all ? QByteArray() : AddressWithoutPassword(address).toUtf8();
    Log(QString::asprintf(all ? Fmt::ResumedAllEntry : Fmt::ResumedEntry, shown.constData()));
    ApplySnoozes(snoozes);
}

QDateTime PingSession::SnoozedUntil(const QString &address) const {
    return m_alerts->SnoozedUntil(address);
}

void PingSession::CheckSettings() {
    // A stored value the dialog would refuse: pinged as if empty, and said once.
    const QString &status = m_options.AcceptedHTTPStatus;
    if (AcceptedStatus::Parse(status) || status == m_reportedStatus)
        return;
    m_reportedStatus = status;
    const QString text = QString::asprintf(Fmt::AcceptedStatusIgnoredEntry,
                                           RemoveControl(status.left(200)).toUtf8().constData());
    if (m_face == Face::CommandLine)
        emit problem(text.trimmed());
    else
        Log(text);
}

void PingSession::TrimHistory() {
    m_history->SetRawDays(int(m_options.HistoryRawDays));
    m_history->Trim(int(m_options.HistoryDays));
}

void PingSession::ConfigureMetrics() {
    m_metrics->Configure(m_face == Face::CommandLine ? 0 : m_options.MetricsPort,
                         m_options.MetricsFile);
}

void PingSession::Open() {
    m_open = true;
    m_history->Open();
    if (m_face != Face::CommandLine) {
        m_history->BeginSession();
        TrimHistory();
        m_historyTrim->start();
    }
    ConfigureMetrics();
    LogSkippedReferences();
    // A command line lives for a few pings: the clocks alone tell it of a sleep.
    if (m_face != Face::CommandLine && m_options.TellNetworkOutages)
        m_sleep->Listen();
    CheckSettings();
    if (m_face != Face::CommandLine) {
        // What a previous run alerted of: no second failure alert for the same outage.
        m_alerts->Restore(m_history->AlertRecords());
        if (!m_snoozeProblem.isEmpty())
            Log(m_snoozeProblem + QStringLiteral("\r\n"));
        m_snoozeProblem.clear();
        ConfigureChannels();
        m_watched->Load(m_options.WatchedAddresses);
    }
}

void PingSession::LogSkippedReferences() {
    for (const QString &line : m_network->SkippedReferences())
        Report(QStringLiteral("Network"), line.trimmed()); // Report ends the line itself
}

void PingSession::WireNetwork() {
    connect(m_networkState, &NetworkState::problem, this,
            [this](const QString &text) { Report(QStringLiteral("Network"), text); });
    // Said when it matters: a computer without logind is told of a sleep by the clocks alone.
    connect(m_network, &NetworkVerdict::sleptUnannounced, this, [this](qint64 seconds) {
        Log(QStringLiteral("[%1] This computer slept for %2 without an announcement%3.\r\n")
                .arg(TimeStamp(), DownTimeText(seconds),
                     m_sleep->Problem().isEmpty() || m_sleepProblemSaid
                         ? QString()
                         : QStringLiteral(" (") + m_sleep->Problem() + QLatin1Char(')')));
        m_sleepProblemSaid = true;
    });
    connect(m_sleep, &SleepWatch::preparing, m_network, &NetworkVerdict::Preparing);
    connect(m_engine, &PingEngine::finished, this, [this](const PingResult &result) {
        if (!result.errorPing)
            m_mainNotChecked = result.outcome == PingOutcomeKind::NotChecked;
    });
    connect(m_network, &NetworkVerdict::networkLost, this, [this](int addresses) {
        Log(QString::asprintf(Fmt::NetworkLostEntry, TimeStamp().toUtf8().constData(), addresses,
                              addresses == 1 ? "address" : "addresses"));
        emit networkLost(addresses);
    });
    connect(m_network, &NetworkVerdict::networkBack, this, [this](qint64 downSeconds) {
        Log(QString::asprintf(Fmt::NetworkBackEntry, TimeStamp().toUtf8().constData(),
                              DownTimeText(downSeconds).toUtf8().constData()));
        emit networkBack(downSeconds);
        PingAllAgain();
    });
    connect(m_network, &NetworkVerdict::stateChanged, this, [this](bool up) {
        m_metrics->SetNetworkUp(up);
        emit networkStateChanged(up);
    });
    // Asleep, nothing counts: the automatic ping's countdown stops where it is and the watched
    // addresses start afresh, spread over their interval, once the computer woke.
    connect(m_network, &NetworkVerdict::sleeping, this, [this] {
        m_scheduler->Pause();
        m_watched->Pause();
    });
    connect(m_network, &NetworkVerdict::woke, this, [this] {
        m_scheduler->Resume();
        m_watched->Resume();
    });
}

void PingSession::PingAllAgain() {
    // Only these pings' results count: they are the first that could check the addresses.
    m_watched->PingAllWithin(CatchUpMs);
    if (m_face == Face::CommandLine || m_engine->Active())
        return;
    if (AutoPingOn()) {
        m_engine->SetTarget(m_autoTarget);
        m_engine->Ping();
    } else if (m_mainNotChecked) {
        m_engine->Ping();
    }
}

bool PingSession::SetTarget(const NormalisedAddress &target) { return m_engine->SetTarget(target); }

void PingSession::PingNow() { m_engine->Ping(); }

void PingSession::Cancel() { m_engine->Cancel(); }

bool PingSession::Busy() const { return m_engine->Busy(); }

void PingSession::SetErrorPingHandler(std::function<bool(const QString &)> handler) {
    m_errorPingHandler = std::move(handler);
}

void PingSession::StartAutoPing(const NormalisedAddress &target) {
    if (!m_engine->SetTarget(target))
        return;
    m_autoTarget = target;
    m_autoTargetAddress = m_engine->Target();
    m_engine->Ping();
    m_scheduler->Start(m_options.AutoPingInterval);
}

void PingSession::StopAutoPing() { m_scheduler->Stop(); }

bool PingSession::AutoPingOn() const { return m_scheduler->Active(); }

void PingSession::Log(const QString &entry, bool background) {
    const QByteArray bytes = LogFileText(entry);
    emit logEntry(entry, bytes.size(), background);
    if (m_face == Face::CommandLine)
        return;
    if (m_options.SaveLog)
        MirrorToLogFile(bytes);
    else if (m_face == Face::Window)
        m_log.Hold(bytes); // written once "Save log" is on again; the service printed it
}

void PingSession::MirrorToLogFile(const QByteArray &bytes) {
    // The entry reached every view whatever happens to the file. One failure is reported; the
    // same failure on every following entry would bury the user in messages.
    try {
        m_log.Append(m_options.LogFile, bytes);
        m_logFileFailing = false;
    } catch (const EFileError &) {
        if (!m_logFileFailing) {
            m_logFileFailing = true;
            HandleApplicationException(std::current_exception());
        }
    }
}

std::optional<LogTail> PingSession::OpenLogFile(qint64 maxBytes) {
    if (!m_options.SaveLog || m_options.LogFile.isEmpty())
        return std::nullopt;
    try {
        if (!QFileInfo::exists(m_options.LogFile)) {
            LogFile::CreateFolders(m_options.LogFile);
            return std::nullopt;
        }
        // Only the end of the file, so that a start costs the same however long the log is.
        return LogFile::ReadTail(m_options.LogFile, maxBytes);
    } catch (const EFileError &) {
        // Reported once: the entries that follow fail the same way and say nothing more.
        m_logFileFailing = true;
        HandleApplicationException(std::current_exception());
    }
    return std::nullopt;
}

void PingSession::FlushLog() {
    if (m_options.SaveLog && m_log.Waiting())
        MirrorToLogFile(QByteArray());
}

void PingSession::RestartLog() { m_log.Restart(); }

bool PingSession::CopyLogTo(const QString &path) const {
    if (!m_options.SaveLog || m_options.LogFile.isEmpty() || !QFileInfo(m_options.LogFile).isFile())
        return false;
    m_log.CopyTo(m_options.LogFile, path);
    return true;
}

void PingSession::AbortMail() {
    m_engine->AbortMail();
    for (PingEngine *engine : std::as_const(m_extraEngines))
        engine->AbortMail();
}

void PingSession::SetResolver(Resolver *resolver) {
    m_resolver = resolver;
    m_engine->SetResolver(resolver);
    m_watched->SetResolver(resolver);
    m_probes->SetResolver(resolver);
    for (PingEngine *engine : std::as_const(m_extraEngines))
        engine->SetResolver(resolver);
}

PingEngine *PingSession::AddEngine() {
    auto *engine = new PingEngine(this);
    engine->SetAlertPolicy(m_alerts);
    engine->SetTlsContext(m_tlsContext);
    engine->ApplySettings(m_options, m_context);
    if (m_resolver)
        engine->SetResolver(m_resolver);
    WireEngine(engine);
    m_extraEngines << engine;
    return engine;
}
