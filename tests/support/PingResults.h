#pragma once

// A finished ping as the engine reports it, for the tests that record, count or show pings.

#include "engine/PingResult.h"

inline PingResult TestPing(const QString &address, const QDateTime &at, PingOutcomeKind outcome,
                           double seconds) {
    PingResult r;
    r.finishedAt = at;
    r.address = address;
    r.outcome = outcome;
    r.seconds = seconds;
    r.attempts = 1;
    return r;
}
