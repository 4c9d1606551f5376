#pragma once

// Every text the ping engine, the failure alerts and the log write, in one place. They are
// printf formats: QString::asprintf reads %s as UTF-8, so user texts (addresses, server
// replies) pass through arguments and are never taken for placeholders. The window shows
// the balloon and status texts in the user's language (context "Fmt", platform/gui/
// Translation); what reaches the log and the e-mails stays English.

#include <QtGlobal>

namespace Fmt {

// ---- log entries ----
inline constexpr const char *SuccessBar = "* * * * * * * * * * * * * * * * * * * * * * * * *";
inline constexpr const char *FailureBar =
    "|  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |";
// Time stamp, address, port, seconds.
inline constexpr const char *CompletedEntry =
    "\r\n[%s] Connection to [%s] (port %d) completed in %.3f seconds.\r\n";
// The same with the phases: lookup, connect, answer.
inline constexpr const char *CompletedDetailedEntry =
    "\r\n[%s] Connection to [%s] (port %d) completed in %.3f seconds (lookup %.3f, connect "
    "%.3f, answer %.3f).\r\n";
// The same for a connect only (https): lookup, connect.
inline constexpr const char *CompletedConnectDetailedEntry =
    "\r\n[%s] Connection to [%s] (port %d) completed in %.3f seconds (lookup %.3f, connect "
    "%.3f).\r\n";
// The same over TLS: lookup, connect, tls, answer.
inline constexpr const char *CompletedTlsDetailedEntry =
    "\r\n[%s] Connection to [%s] (port %d) completed in %.3f seconds (lookup %.3f, connect "
    "%.3f, tls %.3f, answer %.3f).\r\n";
// Appended to the completion line of a ping above "Slow above".
inline constexpr const char *SlowMark = " (slow)";
inline constexpr const char *HeadersEntry = "Headers received from the server:\r\n\r\n";
// Time stamp, address.
inline constexpr const char *AbortedEntry = "\r\n[%s] Ping to [%s] aborted.\r\n\r\n";
// Time stamp, host, port, error text, error number.
inline constexpr const char *ErrorEntry =
    "\r\n[%s] Error connecting to [%s] (port %d): %s (%d).\r\n\r\n";
inline constexpr const char *SendingEmailEntry =
    "Sending email to failure notification address [%s]...";
inline constexpr const char *EmailSentEntry = "Notification email sent sucessfully.\r\n";
inline constexpr const char *EmailErrorEntry = "Error sending notification email: %s\r\n";
inline constexpr const char *ErrorPingEntry =
    "Starting ping to failure notification address [%s]...\r\n";
// Address, days left, the expiry's time stamp.
inline constexpr const char *CertificateExpiryEntry =
    "Certificate of [%s] expires in %d days (%s).\r\n";
// The stored value.
inline constexpr const char *AcceptedStatusIgnoredEntry =
    "The setting \"Accepted HTTP status\" (\"%s\") is not valid and is ignored: every answer "
    "completes a ping.\r\n";
// Address, time of the alert.
inline constexpr const char *AlertHeldEntry =
    "Alert for [%s] already sent at %s; not repeated.\r\n";
// Address, time the snooze ends.
inline constexpr const char *AlertSnoozedEntry = "Alerts for [%s] snoozed until %s; not sent.\r\n";
// Address, failed pings in a row, the number that makes it down ("Alert after").
inline constexpr const char *AlertCountingEntry =
    "Alert for [%s] waits: %d of %d failed pings in a row.\r\n";

// Address (or none), time the snooze ends.
inline constexpr const char *SnoozedEntry = "Alerts for [%s] snoozed until %s.\r\n";
inline constexpr const char *SnoozedAllEntry = "All alerts%s snoozed until %s.\r\n";
inline constexpr const char *ResumedEntry = "Alerts for [%s] resumed.\r\n";
inline constexpr const char *ResumedAllEntry = "All alerts%s resumed.\r\n";

// ---- notification channels ----
// The URL without its secrets, the reason.
inline constexpr const char *ChannelFailedEntry = "Cannot notify %s: %s.\r\n";
inline constexpr const char *ChannelBackEntry = "Notifying %s works again.\r\n";
inline constexpr const char *AppriseMissingEntry =
    "Notify URLs other than http:// and https:// need Apprise: install the Debian package "
    "\"apprise\".\r\n";
inline constexpr const char *TestAlertSubject = "Vennatro - Test notification";
// Computer name.
inline constexpr const char *TestAlertBody = "This is a test notification from Vennatro at %s.";

// Address. A ping that tells nothing of the site: this computer had no network, or slept.
inline constexpr const char *NotCheckedNetworkEntry =
    "Connection to [%s] not checked: this computer has no network connection.\r\n";
inline constexpr const char *NotCheckedAsleepEntry =
    "Connection to [%s] not checked: this computer was asleep.\r\n";
// Time stamp, addresses not checked so far.
inline constexpr const char *NetworkLostEntry =
    "\r\n[%s] Network connection lost: %d %s could not be checked.\r\n";
// Time stamp, time down.
inline constexpr const char *NetworkBackEntry =
    "\r\n[%s] Network connection back after %s; every address is pinged again.\r\n";

// ---- balloons: text and title ----
inline constexpr const char *CompletedBalloon =
    QT_TRANSLATE_NOOP("Fmt", "Connection to [%s] completed.");
inline constexpr const char *CompletedResponseBalloon =
    QT_TRANSLATE_NOOP("Fmt", "Connection to [%s] completed.\rResponse: %s");
inline constexpr const char *PingOkTitle = QT_TRANSLATE_NOOP("Fmt", "Ping OK");
inline constexpr const char *AbortedBalloon =
    QT_TRANSLATE_NOOP("Fmt", "Connection to [%s] aborted.");
inline constexpr const char *CancelledTitle = QT_TRANSLATE_NOOP("Fmt", "Connection cancelled");
inline constexpr const char *FailedBalloon =
    QT_TRANSLATE_NOOP("Fmt", "Connection to [%s] failed.\rError: %s");
inline constexpr const char *ConnectionErrorTitle = QT_TRANSLATE_NOOP("Fmt", "Connection error");
inline constexpr const char *UnknownErrorBalloon =
    QT_TRANSLATE_NOOP("Fmt", "Unknown socket error (%d): %s.");
// Address, time down.
inline constexpr const char *RestoredBalloon =
    QT_TRANSLATE_NOOP("Fmt", "Connection to [%s] restored after %s.");
inline constexpr const char *RestoredTitle = QT_TRANSLATE_NOOP("Fmt", "Ping OK");
// Addresses not checked so far, "address" or "addresses".
inline constexpr const char *NetworkLostBalloon = QT_TRANSLATE_NOOP(
    "Fmt", "This computer has no network connection: %d %s could not be checked.");
inline constexpr const char *NetworkLostTitle = QT_TRANSLATE_NOOP("Fmt", "Network connection lost");
// Time down.
inline constexpr const char *NetworkBackBalloon =
    QT_TRANSLATE_NOOP("Fmt", "Network connection back after %s.");
inline constexpr const char *NetworkBackTitle = QT_TRANSLATE_NOOP("Fmt", "Network connection back");

// Address, seconds.
inline constexpr const char *SlowBalloon =
    QT_TRANSLATE_NOOP("Fmt", "Connection to [%s] is slow: %.3f seconds.");
inline constexpr const char *SlowTitle = QT_TRANSLATE_NOOP("Fmt", "Slow connection");
// Address, days left, the expiry's time stamp.
inline constexpr const char *CertificateExpiryBalloon =
    QT_TRANSLATE_NOOP("Fmt", "Certificate of [%s] expires in %d days (%s).");
inline constexpr const char *CertificateExpiryTitle =
    QT_TRANSLATE_NOOP("Fmt", "Certificate expiry");

// ---- status bar and status image hint ----
inline constexpr const char *PingingStatus =
    QT_TRANSLATE_NOOP("Fmt", "Pinging %s (%d of %d attempts)");
inline constexpr const char *PingingWaitedStatus =
    QT_TRANSLATE_NOOP("Fmt", "Pinging %s (%d of %d attempts, %d s)");
inline constexpr const char *CompletedStatus =
    QT_TRANSLATE_NOOP("Fmt", "Connection to [%s] completed.");
inline constexpr const char *SlowStatus =
    QT_TRANSLATE_NOOP("Fmt", "Connection to [%s] completed (slow).");
inline constexpr const char *AbortedStatus =
    QT_TRANSLATE_NOOP("Fmt", "Connection to [%s] aborted.");
inline constexpr const char *FailedStatus = QT_TRANSLATE_NOOP("Fmt", "Connection to [%s] failed.");
inline constexpr const char *NotCheckedStatus =
    QT_TRANSLATE_NOOP("Fmt", "Connection to [%s] not checked.");
inline constexpr const char *NoNetworkTip = QT_TRANSLATE_NOOP("Fmt", "No network connection");
inline constexpr const char *AutoPingStatus = QT_TRANSLATE_NOOP(
    "Fmt", "Enabled automatic ping to [%s] each %d minutes (next ping in %.2d:%.2d)");
inline constexpr const char *SendingEmailStatus =
    QT_TRANSLATE_NOOP("Fmt", "Sending notification email...");

// ---- the e-mails ----
inline constexpr const char *FailureSubject = "Vennatro - Ping failure notification";
inline constexpr const char *RecoverySubject = "Vennatro - Ping recovery notification";
// Computer name, time stamp, host, port, error text, error number.
inline constexpr const char *FailureBody =
    "This is an automatic notification from Vennatro at %s.\r\n\r\n[%s] Error connecting to "
    "[%s] (port %d): %s (%d).\r\n";
inline constexpr const char *CertificateSubject = "Vennatro - Certificate expiry warning";
// Computer name, time stamp, address, days left, the expiry's time stamp.
inline constexpr const char *CertificateBody =
    "This is an automatic notification from Vennatro at %s.\r\n\r\n[%s] Certificate of [%s] "
    "expires in %d days (%s).\r\n";
// Computer name, time stamp, address, time down.
inline constexpr const char *RecoveryBody =
    "This is an automatic notification from Vennatro at %s.\r\n\r\n[%s] Connection to [%s] "
    "restored after %s.\r\n";

// The options dialog's trial of the e-mail settings. Computer name, time stamp.
inline constexpr const char *TestMailSubject = "Vennatro - Test notification";
inline constexpr const char *TestMailBody =
    "This is a test notification from Vennatro at %s.\r\n\r\n[%s] The notification e-mail "
    "settings work.\r\n";

// The program's own error text for an http server that closed without answering (code 0).
inline constexpr const char *ClosedWithoutAnswer =
    "Connection closed by the server without an answer";

// An answer outside "Accepted HTTP status" (code 0): the status code.
inline constexpr const char *StatusNotAccepted = "HTTP status %d is not accepted";

} // namespace Fmt
