#pragma once

#include <QString>

// The log-on start entry: $XDG_CONFIG_HOME/autostart/Vennatro.desktop whose Exec= is the
// program path (quoted by the desktop-entry rules when needed) followed by " -quiet"; on
// Windows the value "Vennatro" of the Run key
// (HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run):
// the program path, unquoted, and " -quiet" (AutostartWin.cpp).
QString AutostartPath();
// Writes the entry; throws ERegistryException on failure.
void WriteAutostart(const QString &programPath);
// Removes the entry; a missing one is no error. Failures are ignored.
void RemoveAutostart();
