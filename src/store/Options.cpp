#include "store/Options.h"

TOptions Options;

TOptions DefaultOptions() {
    TOptions o;
    o.AlwaysOnTop = false;
    o.StartWithWindows = false;
    o.AutoPingAtStart = false;
    o.ShowNotifications = true;
    o.ShowOnlyErrorNotifications = false;
    o.ShowLog = true;
    o.SaveLog = false;
    o.LogHTTPHeaders = false;
    o.ComputerNameInUserAgent = false;
    o.SendEmailOnError = false;
    o.PingOnError = false;
    o.PingAttempts = 3;
    o.AutoPingInterval = 15;
    o.HTTPPort = 80;
    o.HTTPSPort = 443;
    o.SMTPPort = 25;
    o.AutoPingAddress = QStringLiteral("http://");
    o.ErrorPingAddress = QStringLiteral("http://");
    o.PingTimeout = 30;
    o.MetricsPort = 0;
    o.HistoryDays = 90;
    o.WatchInterval = 60;
    return o;
}
