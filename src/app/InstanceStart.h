#pragma once

#include <optional>

class SingleInstance;

// The window program's first step: take the single-instance lock. Nothing when this process
// is now the one instance; otherwise the exit code: 0 when a running instance was woken
// instead, 1 when no lock could be taken at all or the service holds it, after a message box
// that says why.
std::optional<int> ClaimSingleInstance(SingleInstance &instance);
