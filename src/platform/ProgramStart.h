#pragma once

// Runs the program `name` from this program's folder in this process's place, with this
// process's arguments (argv[0] included): by exec where the system has it, so this returns
// only when the program cannot be started (after saying why on the standard error, status 1).
// On Windows the program is started and waited for, and its exit status is returned.
int RunProgramInstead(const char *name, char *argv[]);
