#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>

// How a ping ended: one value a ping, not an attempt. NotChecked: the site was not checked,
// this computer had no network or slept (the result's notChecked says which).
enum class PingOutcomeKind { Completed, Failed, Cancelled, NotChecked };

// Why a ping was not checked.
enum class NotCheckedReason { None, NoNetwork, Asleep };

// Everything known about one finished ping; what the history, the metrics and the command
// line record. Times are in seconds; a phase that was not reached is negative.
struct PingResult {
    QDateTime finishedAt; // UTC
    QString address;      // the normalised address, as the address box shows it
    PingOutcomeKind outcome = PingOutcomeKind::Failed;
    double seconds = -1; // the reported time: to the first answer bytes, or to the connect
    double lookupSeconds = -1;
    double connectSeconds = -1;   // from the start of the attempt
    double firstByteSeconds = -1; // from the start of the attempt; http only
    double tlsSeconds = -1;       // from the start of the attempt, to the end of the handshake
    double elapsedSeconds = -1;   // the last attempt from its start to its end, a failure too
    int ipProtocol = 0;           // 4 or 6: the family of the address connected; 0: none
    int httpStatus = 0;           // 0 for https (connect only) and for failures
    int errorCode = 0;            // the last attempt's error number; 0 when none
    QString errorText;            // the last attempt's error text
    int attempts = 0;             // attempts used
    bool errorPing = false;       // the ping of the error ping address
    bool slow = false;            // completed above "Slow above"
    bool tls = false;             // the answer came over TLS ("Check TLS on https")
    QString tlsVersion;           // "TLS 1.3"; empty without TLS
    QDateTime certificateExpiry;  // the leaf certificate's, UTC; invalid without TLS
    QDateTime earliestCertificateExpiry; // the earliest of the certificates presented
    NotCheckedReason notChecked = NotCheckedReason::None;
};

Q_DECLARE_METATYPE(PingResult)

// "completed", "failed", "cancelled", "not_checked": the words the metrics and the history
// use.
inline QString OutcomeName(PingOutcomeKind outcome) {
    switch (outcome) {
    case PingOutcomeKind::Completed:
        return QStringLiteral("completed");
    case PingOutcomeKind::Failed:
        return QStringLiteral("failed");
    case PingOutcomeKind::Cancelled:
        return QStringLiteral("cancelled");
    case PingOutcomeKind::NotChecked:
        return QStringLiteral("not_checked");
    }
    return QString();
}
