#pragma once

#include <cstdio>

// `vennatro --serve`: the session without a display. It takes the single-instance lock of the
// window (as a service), reads the settings store read only, and runs what the settings say:
// the watched addresses, the automatic ping when "Auto-ping at start" is on, the history, the
// metrics port and file, and the alerts. Every log entry goes to out (and to the log file when
// "Save log" is on). SIGTERM and SIGINT end it with status 0, SIGHUP reads the store again.
// Returns the exit status: 1 when another instance holds the lock. Needs a QCoreApplication.
int RunService(FILE *out, FILE *err);
