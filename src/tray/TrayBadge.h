#pragma once

#include <QIcon>

// The state the tray icon shows at a glance, worst first when several are summed up.
// NoNetwork: this computer has no network, so no failure says anything of a site.
enum class TrayBadge { None, Completed, UnderWay, Slow, Failed, NoNetwork };

// The worse of two states: a failure outweighs a ping under way, which outweighs a success.
TrayBadge WorseBadge(TrayBadge a, TrayBadge b);

// The application icon with a small round badge in its lower right corner: green with a check
// mark completed, amber with three dots under way, orange with an exclamation mark slow, red
// with a cross failed, grey with a white stroke no network; None gives the icon as it is. Drawn
// at the usual tray sizes. muted: the alerts are snoozed; a grey mark with a slash in the upper
// left corner says so.
QIcon BadgedIcon(const QIcon &base, TrayBadge badge, bool muted = false);
// The icon with the muted mark alone (a watched row whose alerts are snoozed).
QIcon MutedIcon(const QIcon &base);

// The badge's colour, for tests that read the pixels back.
QColor BadgeColor(TrayBadge badge);
QColor MutedMarkColor();
