#pragma once

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QString>

// When a failure alerts (e-mail, error ping) and when a recovery is announced: once when an
// address goes down, again only after "Repeat alerts every" minutes, and a recovery notice
// when it answers after an alerted failure. State is kept per normalised address for the run;
// one policy is shared by every engine of the program.
class AlertPolicy : public QObject {
    Q_OBJECT
public:
    struct FailureDecision {
        bool alert = false;    // send the e-mail and start the error ping
        QDateTime lastAlertAt; // when not alerting: the alert already sent
    };
    struct SuccessDecision {
        bool recovered = false; // it was down and its failure alerted
        qint64 downSeconds = 0;
    };

    explicit AlertPolicy(QObject *parent = nullptr);

    // 0: never repeat while the address stays down.
    void SetRepeatMinutes(quint32 minutes) { m_repeatMinutes = minutes; }

    // A ping of address failed for good at `when`.
    FailureDecision OnFailure(const QString &address, const QDateTime &when);
    // A ping of address completed at `when`.
    SuccessDecision OnSuccess(const QString &address, const QDateTime &when);

    bool IsDown(const QString &address) const;

    // A completed ping of address, slow or not: true when it begins a slow episode (the first
    // slow one after one that was not). Failures neither begin nor end an episode.
    bool OnCompleted(const QString &address, bool slow);
    // The certificate of address expires soon: true when no warning of it was given in the
    // last 24 hours.
    bool CertificateWarningDue(const QString &address, const QDateTime &when);

private:
    struct State {
        bool down = false;
        bool alerted = false;
        QDateTime downSince;
        QDateTime lastAlertAt;
    };
    static QString Key(const QString &address);

    QHash<QString, State> m_states;
    QHash<QString, bool> m_slow;                   // by address: its last completed ping was slow
    QHash<QString, QDateTime> m_certificateWarned; // by address: the last warning
    quint32 m_repeatMinutes = 0;
};
