#pragma once

#include "engine/AlertState.h"
#include "engine/SnoozeList.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <functional>

// A moment on both clocks: the monotonic one measures (when a repeat is due, how long an
// outage lasted), so a wall clock set forward or back changes neither; the wall clock is what
// is shown and what outlives the process.
struct AlertMoment {
    qint64 monoMs = 0;
    QDateTime wall; // UTC
};

// When a failure alerts (balloon, e-mail, channels, error ping) and when a recovery is
// announced. An address is down once "Alert after" pings in a row failed; it alerts then, again
// only after "Repeat alerts every" minutes, and announces its recovery on the first completed
// ping after an alerted outage. Snoozed addresses go through the same states without alerting.
// One policy is shared by every engine of the program, its state keyed by AlertKey, so the
// automatic ping and a watched row of one site raise one alert. The state of an address that is
// down is handed out (stateChanged) to be kept, and given back (Restore) after a restart.
class AlertPolicy : public QObject {
    Q_OBJECT
public:
    enum class Verdict {
        Counting, // fewer failed pings in a row than "Alert after"
        Alert,    // alert now: the outage's first alert, or a repeat
        Held,     // down and alerted; no repeat due
        Snoozed,  // down, its alerts snoozed
    };
    struct FailureDecision {
        Verdict verdict = Verdict::Counting;
        bool alert = false;     // send the e-mail and the channels' message, start the error ping
        bool repeat = false;    // the alert repeats one sent before
        bool sayHeld = false;   // Snoozed: the first of the outage, worth a log line
        QDateTime lastAlertAt;  // Held: when the alert went out (UTC)
        QDateTime snoozedUntil; // Snoozed: until when (UTC)
        qint64 downSeconds = 0; // since the first failed ping of the outage
        int failures = 0;       // failed pings in a row
    };
    struct SuccessDecision {
        bool recovered = false; // it was down and its outage alerted: announce it
        qint64 downSeconds = 0;
    };

    explicit AlertPolicy(QObject *parent = nullptr);

    // 0: never repeat while the address stays down.
    void SetRepeatMinutes(quint32 minutes) { m_repeatMinutes = minutes; }
    // Failed pings in a row that make an address down; 0 counts as 1.
    void SetAlertAfter(quint32 failures) { m_alertAfter = qMax<quint32>(1, failures); }
    quint32 AlertAfter() const { return m_alertAfter; }

    // The clocks; the process's monotonic clock and the system's wall clock by default.
    void SetClock(std::function<AlertMoment()> clock) { m_clock = std::move(clock); }
    AlertMoment Now() const;

    // A ping of address failed for good at `when`. source: the engine that pinged (a failure
    // notice of another engine's outage stays quiet, see Quiet).
    FailureDecision OnFailure(const QString &address, const AlertMoment &when,
                              const void *source = nullptr);
    // A ping of address completed at `when`.
    SuccessDecision OnSuccess(const QString &address, const AlertMoment &when);

    bool IsDown(const QString &address) const;
    // Whether the failure notice of a ping of address by source is better not shown: its
    // alerts are snoozed, it has not failed often enough yet, or another engine announced the
    // outage.
    bool Quiet(const QString &address, const void *source) const;

    // ---- snoozes ----
    void SetSnoozes(const SnoozeList &snoozes) { m_snoozes = snoozes; }
    const SnoozeList &Snoozes() const { return m_snoozes; }
    // Until when the alerts of address (or SnoozeList::All) are snoozed; invalid when not.
    QDateTime SnoozedUntil(const QString &address) const;

    // ---- kept across runs ----
    // The outages a previous run left, as it recorded them; one that was last seen failing
    // longer than StaleMs ago is dropped (stateChanged with gone) rather than trusted.
    void Restore(const QList<AlertRecord> &records);
    static constexpr qint64 StaleMs = 24 * 3600 * 1000;
    // While an address stays down its record's last failure is renewed this often.
    static constexpr qint64 RenewMs = 10 * 60 * 1000;

    // A completed ping of address, slow or not: true when it begins a slow episode (the first
    // slow one after one that was not). Failures neither begin nor end an episode.
    bool OnCompleted(const QString &address, bool slow);
    // The certificate of address expires soon: true when no warning of it was given in the
    // last 24 hours (on the monotonic clock).
    bool CertificateWarningDue(const QString &address, const AlertMoment &when);

signals:
    // An address went down, alerted, was renewed or came back (gone).
    void stateChanged(const AlertRecord &record);

private:
    struct State {
        int failures = 0; // in a row
        bool down = false;
        bool alerted = false;
        bool snoozeSaid = false;
        AlertMoment firstFailure;
        AlertMoment lastAlert;
        qint64 savedFailureMs = 0; // the last failure the record holds (wall)
        const void *announcer = nullptr;
    };
    AlertRecord RecordOf(const QString &key, const State &state, qint64 lastFailureMs) const;

    QHash<QString, State> m_states;
    SnoozeList m_snoozes;
    QHash<QString, bool> m_slow;                // by address: its last completed ping was slow
    QHash<QString, qint64> m_certificateWarned; // by address: the last warning (monoMs)
    quint32 m_repeatMinutes = 0;
    quint32 m_alertAfter = 1;
    QElapsedTimer m_mono;
    std::function<AlertMoment()> m_clock;
};
