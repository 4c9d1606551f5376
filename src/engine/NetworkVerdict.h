#pragma once

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>

class NetworkState;
class SleepWatch;
class QTcpSocket;

// Whether a failed ping is this computer's failure (no network, a sleep) rather than the site's,
// and an outage of this computer's network as one episode. One is shared by every engine of a
// session. It costs nothing while pings complete: it looks at the network only after a failure,
// and watches it only during an outage or the moments after a sleep.
class NetworkVerdict : public QObject {
    Q_OBJECT
public:
    static constexpr int ProbeTimeoutMs = 5000;    // a reference address's connect
    static constexpr int ProbeSpacingMs = 10000;   // at most one round of them in this time
    static constexpr int SettleMs = 30000;         // after a sleep, verdicts wait this long at most
    static constexpr qint64 SleepJumpMs = 5000;    // more time suspended than this is a sleep
    static constexpr int RecheckMs = 10000;        // during an outage, the network is looked at
    static constexpr int AsleepFallbackMs = 60000; // a sleep whose end was never announced

    enum class Answer { Site, NoNetwork, Pending };
    enum class State { Up, Down, Asleep, Settling };

    // A failed attempt, as the engine knows it.
    struct Failure {
        QString address;
        QList<QHostAddress> tried; // the addresses it connected to; none after a failed lookup
        int code = 0;              // the Windows Sockets number
        bool lookup = false;
    };
    // A reference address: a host and a port that answer a connect when the network works.
    struct Reference {
        QString host;
        quint16 port = 0;
    };

    // Neither is owned; both outlive the verdict.
    NetworkVerdict(NetworkState *state, SleepWatch *sleep, QObject *parent = nullptr);

    // "Tell network outages from site outages" and "Reference addresses" (one a line).
    void ApplySettings(bool on, const QString &references);
    bool On() const { return m_on; }
    const QList<Reference> &References() const { return m_references; }
    // The lines of "Reference addresses" that are not http, https or host:port, with the
    // reason, each a log entry (said at start and when the setting changes).
    const QStringList &SkippedReferences() const { return m_skipped; }

    // The verdict on a failed attempt: at once where the network's state tells, else Pending
    // and judged() follows for every failure that waits.
    Answer Judge(const Failure &failure);
    State CurrentState() const { return m_state; }
    // No outage known, no sleep being settled.
    bool NetworkUp() const { return m_state == State::Up; }

    // A ping ended not checked for lack of network: the first of an outage announces it.
    void NotChecked(const QString &address);
    // A ping completed: where nothing else can tell the network came back (the error alone
    // said it was gone, or a sleep is being settled), an answer from beyond this computer
    // does.
    void Completed(const QHostAddress &peer);

    // The time this computer spent suspended, in milliseconds, on the sleep watch's clock.
    qint64 SuspendedMs() const;
    // Compares the time suspended with the last check: a jump beyond SleepJumpMs is a sleep
    // nobody announced, handled as an announced one that already ended.
    void CheckClocks();
    // The sleep watch's announcement (logind's PrepareForSleep).
    void Preparing(bool sleep);

signals:
    // The answer of Pending judgements.
    void judged(bool noNetwork);
    // The network works again: attempts that wait for it go on.
    void back();
    void stateChanged(bool up);
    // The first ping not checked for lack of network in an outage; addresses: how many could
    // not be checked so far.
    void networkLost(int addresses);
    // The end of an outage that was announced, and how long it lasted.
    void networkBack(qint64 downSeconds);
    // The computer goes to sleep: pings under way end not checked, schedules stop.
    void sleeping();
    // The computer woke: schedules start afresh.
    void woke();
    // The clocks tell of a sleep of that many seconds that nobody announced.
    void sleptUnannounced(qint64 seconds);

private:
    enum class Cause { None, Facts, Error, References };

    Cause LocalCause(const Failure &failure);
    bool LocalFactsOk();
    void EnterDown(Cause cause);
    void SetState(State state);
    void GoUp();
    void Recheck();
    void StartProbe();
    void ProbeFinished(bool answered);
    void Woke();

    NetworkState *m_network;
    SleepWatch *m_sleep;
    bool m_on = false;
    QString m_referencesText;
    QList<Reference> m_references;
    QStringList m_skipped;
    State m_state = State::Up;
    Cause m_cause = Cause::None;
    QElapsedTimer m_downSince;
    bool m_announced = false;
    QSet<QString> m_unchecked; // addresses judged without network in this outage
    QStringList m_pending;     // addresses whose judgement waits for the probe
    bool m_judgeWaiting = false;
    QList<QTcpSocket *> m_probes;
    int m_probesLeft = 0;
    QElapsedTimer m_lastProbe;
    bool m_probeAnswered = true;
    QTimer m_probeTimer;
    QTimer m_recheck;
    QTimer m_settle;
    QTimer m_asleepFallback;
    qint64 m_lastSuspended = -1;
};
