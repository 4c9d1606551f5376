#include "engine/WatchList.h"

#include "engine/AlertPolicy.h"
#include "engine/HistoryStore.h"
#include "engine/PingTarget.h"

#include <QMetaObject>
#include <algorithm>
#include <limits>
#include <utility>

namespace {
constexpr qint64 HourMs = 3600 * 1000;
// Hours since the epoch, rounded down, and their slot in a day: a clock before 1970 gives
// negative hours, which C++ division would round towards zero and index before the array.
qint64 HourOf(qint64 ms) { return ms / HourMs - (ms % HourMs < 0 ? 1 : 0); }
size_t SlotOf(qint64 hour) { return size_t((hour % 24 + 24) % 24); }
} // namespace

struct WatchList::Entry {
    NormalisedAddress target;
    PingEngine *engine = nullptr;
    qint64 dueMs = -1;  // on the list's clock; -1: not scheduled
    qint64 slotMs = -1; // its place in the spread while a catch-up ping comes first
    bool busy = false;
    bool errorPingPending = false;
    QString failedAddress; // of the last failed ping, for its alert
    QString failedText;
    State verdict = Idle; // of the last ping that checked the address: completed or failed
    Row row;
    // Completed and finished pings an hour, for the last 24 hours: flat in memory however
    // long the program runs.
    struct Bucket {
        qint64 hour = std::numeric_limits<qint64>::min(); // none yet
        int completed = 0;
        int finished = 0;
    };
    std::array<Bucket, 24> buckets;

    void Count(qint64 nowMs, bool completed) {
        const qint64 hour = HourOf(nowMs);
        Bucket &b = buckets[SlotOf(hour)];
        if (b.hour != hour)
            b = Bucket{hour, 0, 0};
        ++b.finished;
        if (completed)
            ++b.completed;
    }
    double Uptime(qint64 nowMs) const {
        const qint64 hour = HourOf(nowMs);
        int done = 0;
        int all = 0;
        for (const Bucket &b : buckets) {
            if (b.hour != Bucket().hour && hour - b.hour < 24) {
                done += b.completed;
                all += b.finished;
            }
        }
        return all == 0 ? qQNaN() : double(done) / all;
    }
};

WatchList::WatchList(AlertPolicy *alerts, QObject *parent) : QObject(parent), m_alerts(alerts) {
    m_clock.start();
    m_next.setSingleShot(true);
    connect(&m_next, &QTimer::timeout, this, &WatchList::StartDue);
    m_options = DefaultOptions();
}

WatchList::~WatchList() {
    for (auto &entry : m_entries)
        entry->engine->disconnect(this);
}

void WatchList::ApplySettings(const TOptions &options, const EngineContext &context) {
    const qint64 before = IntervalMs();
    m_options = options;
    m_context = context;
    for (auto &entry : m_entries)
        entry->engine->ApplySettings(m_options, m_context);
    if (IntervalMs() != before)
        Spread();
}

void WatchList::SetResolver(Resolver *resolver) {
    m_resolver = resolver;
    for (auto &entry : m_entries)
        entry->engine->SetResolver(resolver);
}

void WatchList::SetNetworkVerdict(NetworkVerdict *verdict) {
    m_network = verdict;
    for (auto &entry : m_entries)
        entry->engine->SetNetworkVerdict(verdict);
}

void WatchList::SetTlsContext(std::shared_ptr<TlsContext> context) {
    m_tlsContext = std::move(context);
    for (auto &entry : m_entries)
        entry->engine->SetTlsContext(m_tlsContext);
}

void WatchList::SetIntervalMs(qint64 ms) {
    m_intervalOverrideMs = ms;
    Spread();
}

qint64 WatchList::Now() const { return m_now ? m_now() : m_clock.elapsed(); }

qint64 WatchList::IntervalMs() const {
    if (m_intervalOverrideMs > 0)
        return m_intervalOverrideMs;
    return qint64(qBound<quint32>(10, m_options.WatchInterval, 86400)) * 1000;
}

std::unique_ptr<WatchList::Entry> WatchList::MakeEntry(const NormalisedAddress &target) {
    auto entry = std::make_unique<Entry>();
    entry->target = target;
    entry->row.address = target.boxText;
    entry->engine = new PingEngine(this);
    entry->engine->SetAlertPolicy(m_alerts);
    entry->engine->ApplySettings(m_options, m_context);
    if (m_resolver)
        entry->engine->SetResolver(m_resolver);
    entry->engine->SetNetworkVerdict(m_network);
    if (m_tlsContext)
        entry->engine->SetTlsContext(m_tlsContext);
    if (m_history && m_history->IsOpen()) {
        // The pings before now come from the history, the ones from now on are counted here.
        const QDateTime now =
            QDateTime::fromMSecsSinceEpoch(QDateTime::currentMSecsSinceEpoch(), Qt::UTC);
        for (const HistoryHour &h : m_history->Hours(target.boxText, now.addDays(-1), now))
            entry->buckets[SlotOf(h.hour)] =
                Entry::Bucket{h.hour, h.completed, h.completed + h.failed};
    }
    Entry *e = entry.get();
    PingEngine *engine = e->engine;
    connect(engine, &PingEngine::logText, this, &WatchList::logText);
    // A notice for every answer of many addresses, each minute, would bury the ones that
    // matter: a watched address tells of its outages and recoveries only, as the alert policy
    // decides them: once an outage, after "Alert after" failures, not while snoozed, and not
    // when another engine on the same address told of it.
    connect(engine, &PingEngine::pingFailed, this,
            [e](const QString &address, const QString &text) {
                e->failedAddress = address;
                e->failedText = text;
            });
    connect(engine, &PingEngine::alertRaised, this, [this, e](const AlertEvent &event) {
        if (event.event == QLatin1String("down") && !event.repeat)
            emit addressDown(e->failedAddress, e->failedText);
        emit alertRaised(event);
    });
    connect(engine, &PingEngine::unknownError, this, [this, e](int code, const QString &text) {
        if (e->verdict != Failed)
            emit unknownError(code, text);
    });
    connect(engine, &PingEngine::recovered, this, &WatchList::addressRecovered);
    connect(engine, &PingEngine::slowStarted, this, &WatchList::addressSlow);
    connect(engine, &PingEngine::certificateExpiring, this, &WatchList::certificateExpiring);
    connect(engine, &PingEngine::unexpectedError, this, &WatchList::unexpectedError);
    connect(engine, &PingEngine::mailStarted, this, &WatchList::mailStarted);
    connect(engine, &PingEngine::mailFinished, this, &WatchList::mailFinished);
    // The error ping of a watched address goes straight to its engine: there is no box.
    connect(engine, &PingEngine::errorPingRequested, this, [e](const QString &address) {
        e->errorPingPending = e->engine->SetTarget(NormaliseAddress(address));
    });
    connect(engine, &PingEngine::finished, this,
            [this, e](const PingResult &result) { OnFinished(*e, result); });
    return entry;
}

bool WatchList::Check(const QString &text, const NormalisedAddress &target, int except,
                      QString *why) const {
    const auto refuse = [why](const QString &reason) {
        if (why)
            *why = reason;
        return false;
    };
    if (TrimControl(text).isEmpty())
        return refuse(QStringLiteral("No address specified."));
    if (!target.accepted)
        return refuse(QLatin1String(target.badPort ? InvalidPortText : SchemeRejectedText));
    for (int i = 0; i < Count(); ++i) {
        if (i != except &&
            m_entries[size_t(i)]->row.address.compare(target.boxText, Qt::CaseInsensitive) == 0)
            // Named as the list has it: a row to look for when the list is long.
            return refuse(
                QStringLiteral("Already watched: %1").arg(m_entries[size_t(i)]->row.address));
    }
    return true;
}

void WatchList::RowsChanged() {
    if (m_loading)
        return;
    emit rowsChanged();
    Schedule();
}

bool WatchList::Add(const QString &text, QString *why) {
    const NormalisedAddress target = NormaliseAddress(text);
    if (!Check(text, target, -1, why))
        return false;
    if (Count() >= MaxAddresses) {
        if (why)
            *why = QStringLiteral("The list holds at most %1 addresses.").arg(MaxAddresses);
        return false;
    }
    auto entry = MakeEntry(target);
    // A new address is pinged within one interval, like the first round after start-up.
    entry->dueMs = Now() + IntervalMs() / 2;
    m_entries.push_back(std::move(entry));
    RowsChanged();
    return true;
}

void WatchList::Retire(std::unique_ptr<Entry> entry) {
    // Silenced first: the cancelled ping logs nothing more.
    entry->engine->disconnect(this);
    if (entry->engine->Busy())
        entry->engine->Cancel();
    entry->engine->AbortMail();
    entry->engine->deleteLater();
    if (entry->busy)
        --m_running;
}

void WatchList::Remove(int row) {
    if (row < 0 || row >= Count())
        return;
    std::unique_ptr<Entry> entry = std::move(m_entries[size_t(row)]);
    m_entries.erase(m_entries.begin() + row);
    Retire(std::move(entry));
    RowsChanged();
}

bool WatchList::Replace(int row, const QString &text, QString *why) {
    if (row < 0 || row >= Count())
        return false;
    // Checked like a new address, but against the others only; a refused edit leaves the row
    // as it was, its results and its place in the schedule with it.
    const NormalisedAddress target = NormaliseAddress(text);
    if (!Check(text, target, row, why))
        return false;
    std::unique_ptr<Entry> &slot = m_entries[size_t(row)];
    if (slot->row.address == target.boxText)
        return true;
    auto entry = MakeEntry(target);
    entry->dueMs = Now() + IntervalMs() / 2;
    std::swap(slot, entry);
    Retire(std::move(entry));
    RowsChanged();
    return true;
}

void WatchList::Move(int from, int to) {
    if (from < 0 || from >= Count() || to < 0 || to >= Count() || from == to)
        return;
    std::unique_ptr<Entry> entry = std::move(m_entries[size_t(from)]);
    m_entries.erase(m_entries.begin() + from);
    m_entries.insert(m_entries.begin() + to, std::move(entry));
    RowsChanged();
}

void WatchList::PingNow(int row) {
    if (row < 0 || row >= Count())
        return;
    Entry &entry = *m_entries[size_t(row)];
    if (entry.busy)
        return;
    entry.dueMs = Now();
    StartDue();
}

void WatchList::Load(const QString &stored) {
    m_loading = true;
    while (Count() > 0)
        Remove(Count() - 1);
    const QStringList lines = SplitRecentList(stored);
    int skipped = 0;
    for (const QString &line : lines) {
        if (TrimControl(line).isEmpty())
            continue;
        QString why;
        if (Add(line, &why))
            continue;
        // One line each for the first few; a damaged value of thousands of lines must not
        // flood the log.
        if (++skipped <= 10)
            emit logText(QStringLiteral("Watched address \"%1\" skipped: %2\r\n")
                             .arg(TrimControl(line).left(200), why));
    }
    if (skipped > 10)
        emit logText(QStringLiteral("%1 more watched addresses skipped.\r\n").arg(skipped - 10));
    m_loading = false;
    emit rowsChanged();
    Spread();
}

QString WatchList::Stored() const { return JoinRecentList(Addresses()); }

QStringList WatchList::Addresses() const {
    QStringList out;
    out.reserve(Count());
    for (const auto &entry : m_entries)
        out << entry->row.address;
    return out;
}

WatchList::Row WatchList::RowAt(int row) const {
    if (row < 0 || row >= Count())
        return Row();
    const Entry &entry = *m_entries[size_t(row)];
    Row out = entry.row;
    const qint64 now = Now();
    out.msToNext = entry.busy || entry.dueMs < 0 ? -1 : qMax<qint64>(0, entry.dueMs - now);
    out.uptime24h = entry.Uptime(QDateTime::currentMSecsSinceEpoch());
    return out;
}

int WatchList::Down() const { return Outcomes().failed; }

WatchList::Tally WatchList::Outcomes() const {
    Tally tally;
    for (const auto &entry : m_entries) {
        if (entry->row.outcome == Completed)
            ++tally.completed;
        else if (entry->row.outcome == Failed)
            ++tally.failed;
        else if (entry->row.outcome == Slow)
            ++tally.slow;
    }
    return tally;
}

QStringList WatchList::DownAddresses(int max) const {
    QStringList out;
    for (const auto &entry : m_entries) {
        if (out.size() >= max)
            break;
        if (entry->row.outcome == Failed)
            out << entry->row.address;
    }
    return out;
}

PingEngine *WatchList::EngineAt(int row) const {
    return row >= 0 && row < Count() ? m_entries[size_t(row)]->engine : nullptr;
}

int WatchList::IndexOf(const Entry *entry) const {
    for (int i = 0; i < Count(); ++i) {
        if (m_entries[size_t(i)].get() == entry)
            return i;
    }
    return -1;
}

void WatchList::PingAllWithin(qint64 ms) {
    // Each keeps its place in the spread for the pings after this one.
    const qint64 now = Now();
    const int n = Count();
    for (int i = 0; i < n; ++i) {
        Entry &entry = *m_entries[size_t(i)];
        if (entry.busy)
            continue;
        if (entry.slotMs < 0)
            entry.slotMs = entry.dueMs;
        entry.dueMs = now + ms * (2 * i + 1) / (2 * qint64(n));
    }
    Schedule();
}

void WatchList::Pause() {
    m_paused = true;
    m_next.stop();
}

void WatchList::Resume() {
    if (!m_paused)
        return;
    m_paused = false;
    Spread();
}

void WatchList::Spread(qint64 over) {
    // The first round falls within one interval, one address after the other.
    const qint64 now = Now();
    const qint64 interval = over > 0 ? over : IntervalMs();
    const int n = Count();
    for (int i = 0; i < n; ++i) {
        Entry &entry = *m_entries[size_t(i)];
        entry.slotMs = -1;
        if (!entry.busy)
            entry.dueMs = now + interval * (2 * i + 1) / (2 * qint64(n));
    }
    Schedule();
}

void WatchList::Schedule() {
    if (m_paused)
        return;
    qint64 earliest = -1;
    for (const auto &entry : m_entries) {
        if (entry->busy || entry->dueMs < 0)
            continue;
        if (earliest < 0 || entry->dueMs < earliest)
            earliest = entry->dueMs;
    }
    if (earliest < 0) {
        m_next.stop();
        return;
    }
    if (m_running >= MaxConcurrent)
        return; // the next idle engine schedules again
    m_next.start(int(qBound<qint64>(0, earliest - Now(), 24 * HourMs)));
}

void WatchList::StartDue() {
    if (m_paused)
        return;
    const qint64 now = Now();
    // The process stood still (a stopped or paused machine) past a whole interval: every
    // address is overdue at once. Spread them over the interval again rather than start them
    // all in one burst, which would then repeat every interval for good.
    qint64 earliest = -1;
    for (const auto &entry : m_entries) {
        if (!entry->busy && entry->dueMs >= 0 && (earliest < 0 || entry->dueMs < earliest))
            earliest = entry->dueMs;
    }
    if (earliest >= 0 && now - earliest > IntervalMs()) {
        Spread();
        return;
    }
    // The longest waiting first.
    std::vector<Entry *> due;
    for (auto &entry : m_entries) {
        if (!entry->busy && entry->dueMs >= 0 && entry->dueMs <= now)
            due.push_back(entry.get());
    }
    std::sort(due.begin(), due.end(), [](Entry *a, Entry *b) { return a->dueMs < b->dueMs; });
    for (Entry *entry : due) {
        if (m_running >= MaxConcurrent)
            break;
        Start(*entry);
    }
    Schedule();
}

void WatchList::Start(Entry &entry) {
    const qint64 now = Now();
    const qint64 interval = IntervalMs();
    // Keeps its place in the spread; one that is late starts anew from now instead of
    // catching up.
    if (entry.slotMs >= 0) {
        // Back to its place, but half an interval after this ping at least.
        entry.dueMs = std::exchange(entry.slotMs, -1);
        if (entry.dueMs <= now + interval / 2)
            entry.dueMs += ((now + interval / 2 - entry.dueMs) / interval + 1) * interval;
    } else {
        entry.dueMs += interval;
        if (entry.dueMs <= now)
            entry.dueMs = now + interval;
    }
    entry.busy = true;
    ++m_running;
    entry.row.state = UnderWay;
    entry.engine->SetTarget(entry.target);
    entry.engine->Ping();
    const int row = IndexOf(&entry);
    if (row >= 0)
        emit rowChanged(row);
}

void WatchList::Release(Entry *entry) {
    // After the engine's own processing: its error ping, if any, is requested by then.
    QMetaObject::invokeMethod(
        this,
        [this, entry] {
            if (IndexOf(entry) < 0 || !entry->busy || entry->errorPingPending)
                return;
            entry->busy = false;
            --m_running;
            Schedule();
        },
        Qt::QueuedConnection);
}

void WatchList::OnFinished(Entry &entry, const PingResult &result) {
    if (result.errorPing) {
        entry.errorPingPending = false;
        Release(&entry);
        emit finished(result);
        return; // the row shows its own address, not the error ping's
    }
    Release(&entry);
    entry.row.lastPing = result.finishedAt;
    switch (result.outcome) {
    case PingOutcomeKind::Completed:
        entry.row.state = entry.row.outcome = entry.verdict = result.slow ? Slow : Completed;
        entry.row.lastResult = QStringLiteral("completed in %1 s").arg(result.seconds, 0, 'f', 3);
        if (result.slow)
            entry.row.lastResult += QStringLiteral(" (slow)");
        entry.row.certificateDays = -1;
        if (result.certificateExpiry.isValid()) {
            entry.row.certificateDays = int(
                qMax<qint64>(0, result.finishedAt.secsTo(result.certificateExpiry) / (24 * 3600)));
            entry.row.lastResult +=
                QStringLiteral(", certificate %1 days left").arg(entry.row.certificateDays);
        }
        // A slow answer is an answer: up in the uptime.
        entry.Count(QDateTime::currentMSecsSinceEpoch(), true);
        break;
    case PingOutcomeKind::Failed:
        entry.row.state = entry.row.outcome = entry.verdict = Failed;
        entry.row.lastResult =
            QStringLiteral("failed: %1 (%2)").arg(result.errorText).arg(result.errorCode);
        entry.Count(QDateTime::currentMSecsSinceEpoch(), false);
        break;
    case PingOutcomeKind::Cancelled:
        entry.row.state = entry.row.outcome = Idle;
        entry.row.lastResult = QStringLiteral("cancelled");
        break;
    case PingOutcomeKind::NotChecked:
        // Counts for no uptime: the address was not reached either way.
        entry.row.state = entry.row.outcome = NotChecked;
        entry.row.lastResult = result.notChecked == NotCheckedReason::Asleep
                                   ? QStringLiteral("not checked: asleep")
                                   : QStringLiteral("not checked: no network");
        break;
    }
    const int row = IndexOf(&entry);
    if (row >= 0)
        emit rowChanged(row);
    emit finished(result);
}
