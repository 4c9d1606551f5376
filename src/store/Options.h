#pragma once

#include <QString>
#include <QtGlobal>

// The settings record. The window keeps the one instance `Options` (written by the settings
// load, the options dialog and the show-log command); the session and its engines hold the
// copy they were given, so nothing below the window reads the global.
struct TOptions {
    bool AlwaysOnTop = false;
    bool StartWithWindows = false;
    bool AutoPingAtStart = false;
    bool ShowNotifications = false;
    bool ShowOnlyErrorNotifications = false;
    bool ShowLog = false;
    bool SaveLog = false;
    bool LogHTTPHeaders = false;
    bool ComputerNameInUserAgent = false;
    bool SendEmailOnError = false;
    bool PingOnError = false;
    quint32 PingAttempts = 0;
    quint32 AutoPingInterval = 0;
    qint32 HTTPPort = 0;
    qint32 HTTPSPort = 0;
    qint32 SMTPPort = 0;
    QString LogFile;
    QString AutoPingAddress;
    QString ErrorPingAddress;
    QString ErrorEmailAddress;
    QString FromAddress;
    QString SMTPServer;
    QString SMTPUser;
    QString SMTPPassword; // plain in memory; scrambled in the store
    // Added later; each default keeps an older store working as before.
    quint32 PingTimeout = 0;         // seconds an attempt may take
    quint32 MetricsPort = 0;         // 0: no metrics endpoint
    QString MetricsFile;             // empty: no metrics file
    quint32 RepeatAlertsEvery = 0;   // minutes; 0: one alert an outage
    quint32 SMTPSecurity = 0;        // 0 STARTTLS when offered, 1 required, 2 SSL/TLS, 3 none
    quint32 WatchInterval = 0;       // seconds between two pings of a watched address
    QString WatchedAddresses;        // the normalised addresses, each followed by CR LF
    quint32 HistoryDays = 0;         // days of ping history kept; 0: all
    bool LogTimingDetails = false;   // the phases of a ping on its completion line
    bool HideHintShown = false;      // the notice of the first hide to the tray was given
    bool CheckTLS = false;           // https: a TLS handshake and the HEAD, not a connect only
    quint32 CertExpiryWarnDays = 0;  // days before a certificate's expiry that warn; 0: off
    QString AcceptedHTTPStatus;      // "200-399", "200,204,301-308"; empty: any answer
    quint32 SlowAbove = 0;           // milliseconds above which a completed ping is slow; 0: off
    quint32 HistoryRawDays = 0;      // days single pings are kept before they fold into hours
    bool TellNetworkOutages = false; // a failure of this computer's network is "not checked"
    QString ReferenceAddresses;      // asked after a failure whether the network works; CR LF
    QString NotifyUrls;              // one URL a line: every alert goes to each as well
    QString AlertText;               // the channels' message template; empty: the program's texts
    quint32 AlertAfter = 1;          // failed pings in a row before an address is down (0 as 1)
    QString SnoozedUntil;            // "address<TAB>ISO time" lines ("*": every address)

    bool operator==(const TOptions &) const = default;
};

// Zero-filled until the settings are loaded; lives for the whole run. The window's record.
extern TOptions Options;

// The values a setting takes when the store has none: the settings table's defaults.
TOptions DefaultOptions();

// Store value names, kept beside the fields so that loading and saving name them alike.
namespace OptionNames {
inline constexpr const char *AlwaysOnTop = "Always on top";
inline constexpr const char *StartWithWindows = "Start with Windows";
inline constexpr const char *AutoPingAtStart = "Auto-ping at start";
inline constexpr const char *ShowNotifications = "Show notifications";
inline constexpr const char *ShowOnlyErrorNotifications = "Show only error notifications";
inline constexpr const char *ShowLog = "Show log";
inline constexpr const char *SaveLog = "Save log";
inline constexpr const char *LogHTTPHeaders = "Log HTTP headers";
inline constexpr const char *ComputerNameInUserAgent = "Include computer name in user agent";
inline constexpr const char *SendEmailOnError = "Send email on error";
inline constexpr const char *PingOnError = "Ping on error";
inline constexpr const char *PingAttempts = "Ping attempts";
inline constexpr const char *AutoPingInterval = "Auto-ping interval";
inline constexpr const char *HTTPPort = "HTTP port";
inline constexpr const char *HTTPSPort = "HTTPS port";
inline constexpr const char *SMTPPort = "SMTP port";
inline constexpr const char *LogFile = "Log file";
inline constexpr const char *AutoPingAddress = "Auto-ping address";
inline constexpr const char *ErrorPingAddress = "Error ping address";
inline constexpr const char *ErrorEmailAddress = "Error email address";
inline constexpr const char *FromAddress = "From address";
inline constexpr const char *SMTPServer = "SMTP server";
inline constexpr const char *SMTPUser = "SMTP user";
inline constexpr const char *SMTPPassword = "SMTP password";
inline constexpr const char *PingTimeout = "Ping timeout";
inline constexpr const char *MetricsPort = "Metrics port";
inline constexpr const char *MetricsFile = "Metrics file";
inline constexpr const char *RepeatAlertsEvery = "Repeat alerts every";
inline constexpr const char *SMTPSecurity = "SMTP security";
inline constexpr const char *WatchInterval = "Watch interval";
inline constexpr const char *WatchedAddresses = "Watched addresses";
inline constexpr const char *HistoryDays = "History days";
inline constexpr const char *LogTimingDetails = "Log timing details";
inline constexpr const char *HideHintShown = "Hide hint shown";
inline constexpr const char *HistoryRawDays = "History raw days";
inline constexpr const char *CheckTLS = "Check TLS on https";
inline constexpr const char *CertExpiryWarnDays = "Warn before certificate expiry";
inline constexpr const char *AcceptedHTTPStatus = "Accepted HTTP status";
inline constexpr const char *SlowAbove = "Slow above";
inline constexpr const char *TellNetworkOutages = "Tell network outages from site outages";
inline constexpr const char *ReferenceAddresses = "Reference addresses";
inline constexpr const char *NotifyUrls = "Notify URLs";
inline constexpr const char *AlertText = "Alert text";
inline constexpr const char *AlertAfter = "Alert after";
inline constexpr const char *SnoozedUntil = "Snoozed until";
// Kept in the store beside the record.
inline constexpr const char *RecentURLs = "Recent URLs";
inline constexpr const char *WindowWidth = "Window width";
inline constexpr const char *WindowHeight = "Window height";
inline constexpr const char *WindowTop = "Window top";
inline constexpr const char *WindowLeft = "Window left";
inline constexpr const char *Maximized = "Maximized";
// The watched addresses' dock: shown or not, and its height (0: the layout's own).
inline constexpr const char *WatchPanelShown = "Watch panel shown";
inline constexpr const char *WatchPanelHeight = "Watch panel height";
} // namespace OptionNames

// Key of the program's values in the per-user store.
inline constexpr const char *SettingsKey = "Software\\Lumo Dev\\Vennatro";
