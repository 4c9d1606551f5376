#include "engine/AlertPolicy.h"

AlertPolicy::AlertPolicy(QObject *parent) : QObject(parent) {}

QString AlertPolicy::Key(const QString &address) {
    // The recent list treats addresses that differ only in case as one; so does the policy.
    return address.toLower();
}

AlertPolicy::FailureDecision AlertPolicy::OnFailure(const QString &address, const QDateTime &when) {
    State &state = m_states[Key(address)];
    FailureDecision decision;
    if (!state.down) {
        state.down = true;
        state.downSince = when;
        decision.alert = true;
    } else if (m_repeatMinutes > 0 && state.lastAlertAt.isValid() &&
               state.lastAlertAt.secsTo(when) >= qint64(m_repeatMinutes) * 60) {
        decision.alert = true;
    }
    if (decision.alert) {
        state.alerted = true;
        state.lastAlertAt = when;
    } else {
        decision.lastAlertAt = state.lastAlertAt;
    }
    return decision;
}

AlertPolicy::SuccessDecision AlertPolicy::OnSuccess(const QString &address, const QDateTime &when) {
    const auto it = m_states.find(Key(address));
    SuccessDecision decision;
    if (it == m_states.end())
        return decision;
    if (it->down && it->alerted) {
        decision.recovered = true;
        decision.downSeconds = qMax<qint64>(0, it->downSince.secsTo(when));
    }
    m_states.erase(it);
    return decision;
}

bool AlertPolicy::IsDown(const QString &address) const {
    const auto it = m_states.constFind(Key(address));
    return it != m_states.cend() && it->down;
}

bool AlertPolicy::OnCompleted(const QString &address, bool slow) {
    const QString key = Key(address);
    if (!slow) {
        m_slow.remove(key);
        return false;
    }
    bool &was = m_slow[key];
    const bool begins = !was;
    was = true;
    return begins;
}

bool AlertPolicy::CertificateWarningDue(const QString &address, const QDateTime &when) {
    QDateTime &last = m_certificateWarned[Key(address)];
    if (last.isValid() && last.secsTo(when) < 24 * 3600)
        return false;
    last = when;
    return true;
}
