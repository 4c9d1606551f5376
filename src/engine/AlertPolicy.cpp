#include "engine/AlertPolicy.h"

#include <limits>

AlertPolicy::AlertPolicy(QObject *parent) : QObject(parent) { m_mono.start(); }

AlertMoment AlertPolicy::Now() const {
    if (m_clock)
        return m_clock();
    return AlertMoment{m_mono.elapsed(), QDateTime::currentDateTimeUtc()};
}

AlertRecord AlertPolicy::RecordOf(const QString &key, const State &state,
                                  qint64 lastFailureMs) const {
    AlertRecord record;
    record.key = key;
    record.downSinceMs = state.firstFailure.wall.toMSecsSinceEpoch();
    record.lastAlertMs = state.alerted ? state.lastAlert.wall.toMSecsSinceEpoch() : 0;
    record.lastFailureMs = lastFailureMs;
    return record;
}

AlertPolicy::FailureDecision AlertPolicy::OnFailure(const QString &address, const AlertMoment &when,
                                                    const void *source) {
    const QString key = AlertKey(address);
    State &state = m_states[key];
    FailureDecision decision;
    state.failures =
        state.failures < std::numeric_limits<int>::max() ? state.failures + 1 : state.failures;
    if (state.failures == 1 && !state.down)
        state.firstFailure = when;
    decision.failures = state.failures;
    decision.downSeconds = qMax<qint64>(0, (when.monoMs - state.firstFailure.monoMs) / 1000);
    if (!state.down && state.failures < int(m_alertAfter))
        return decision; // Counting: a flapping site pages nobody
    const qint64 wallMs = when.wall.toMSecsSinceEpoch();
    bool changed = !state.down;
    state.down = true;

    const QDateTime snoozed = m_snoozes.Until(key, when.wall);
    const bool repeatDue = state.alerted && m_repeatMinutes > 0 &&
                           when.monoMs - state.lastAlert.monoMs >= qint64(m_repeatMinutes) * 60000;
    if (state.alerted && !repeatDue) {
        decision.verdict = Verdict::Held;
        decision.lastAlertAt = state.lastAlert.wall;
    } else if (snoozed.isValid()) {
        decision.verdict = Verdict::Snoozed;
        decision.snoozedUntil = snoozed;
        decision.sayHeld = !state.snoozeSaid;
        state.snoozeSaid = true;
        if (state.alerted)
            decision.lastAlertAt = state.lastAlert.wall;
    } else {
        decision.verdict = Verdict::Alert;
        decision.alert = true;
        decision.repeat = state.alerted;
        state.alerted = true;
        state.snoozeSaid = false;
        state.lastAlert = when;
        state.announcer = source;
        changed = true;
    }
    if (changed || wallMs - state.savedFailureMs >= RenewMs) {
        state.savedFailureMs = wallMs;
        emit stateChanged(RecordOf(key, state, wallMs));
    }
    return decision;
}

AlertPolicy::SuccessDecision AlertPolicy::OnSuccess(const QString &address,
                                                    const AlertMoment &when) {
    const QString key = AlertKey(address);
    const auto it = m_states.find(key);
    SuccessDecision decision;
    if (it == m_states.end())
        return decision;
    // A recovery nobody was alerted of is no news; nor is one while the address is snoozed.
    if (it->down && it->alerted && !m_snoozes.Until(key, when.wall).isValid()) {
        decision.recovered = true;
        decision.downSeconds = qMax<qint64>(0, (when.monoMs - it->firstFailure.monoMs) / 1000);
    }
    const bool kept = it->down;
    m_states.erase(it);
    if (kept) {
        AlertRecord gone;
        gone.key = key;
        gone.gone = true;
        emit stateChanged(gone);
    }
    return decision;
}

bool AlertPolicy::IsDown(const QString &address) const {
    const auto it = m_states.constFind(AlertKey(address));
    return it != m_states.cend() && it->down;
}

bool AlertPolicy::Quiet(const QString &address, const void *source) const {
    const QString key = AlertKey(address);
    if (m_snoozes.Until(key, Now().wall).isValid())
        return true;
    const auto it = m_states.constFind(key);
    if (it == m_states.cend())
        return false;
    if (!it->down)
        return it->failures > 0; // counting towards "Alert after"
    return it->announcer && it->announcer != source;
}

QDateTime AlertPolicy::SnoozedUntil(const QString &address) const {
    return m_snoozes.Until(address, Now().wall);
}

void AlertPolicy::Restore(const QList<AlertRecord> &records) {
    const AlertMoment now = Now();
    const qint64 nowMs = now.wall.toMSecsSinceEpoch();
    // A wall time before now lies that far back on the monotonic clock; one after now (a clock
    // set back since) counts as now.
    const auto moment = [&now, nowMs](qint64 wallMs) {
        return AlertMoment{now.monoMs - qMax<qint64>(0, nowMs - wallMs),
                           QDateTime::fromMSecsSinceEpoch(qMin(wallMs, nowMs), Qt::UTC)};
    };
    for (const AlertRecord &record : records) {
        if (record.key.isEmpty() || m_states.contains(record.key))
            continue;
        if (nowMs - record.lastFailureMs > StaleMs) {
            // Nobody saw it failing for a day: whether this is the same outage is unknown.
            AlertRecord gone;
            gone.key = record.key;
            gone.gone = true;
            emit stateChanged(gone);
            continue;
        }
        State state;
        state.failures = int(m_alertAfter);
        state.down = true;
        state.firstFailure = moment(record.downSinceMs);
        state.alerted = record.lastAlertMs > 0;
        if (state.alerted)
            state.lastAlert = moment(record.lastAlertMs);
        state.savedFailureMs = record.lastFailureMs;
        m_states.insert(record.key, state);
    }
}

bool AlertPolicy::OnCompleted(const QString &address, bool slow) {
    const QString key = AlertKey(address);
    if (!slow) {
        m_slow.remove(key);
        return false;
    }
    bool &was = m_slow[key];
    const bool begins = !was;
    was = true;
    return begins;
}

bool AlertPolicy::CertificateWarningDue(const QString &address, const AlertMoment &when) {
    const QString key = AlertKey(address);
    const auto it = m_certificateWarned.constFind(key);
    if (it != m_certificateWarned.cend() && when.monoMs - *it < qint64(24) * 3600 * 1000)
        return false;
    m_certificateWarned.insert(key, when.monoMs);
    return true;
}
