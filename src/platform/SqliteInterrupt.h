#pragma once

#include <QVariant>

// Asks SQLite to stop the statement a connection is running now (it then fails with
// SQLITE_INTERRUPT), from any thread: what lets a long read such as a whole-file check end at
// once when the program ends. handle: QSqlDriver::handle() of a QSQLITE connection. False
// where it cannot be done: SQLite is not a shared library of this process (it is built into
// the Qt plugin on Windows), or the handle is not SQLite's.
bool InterruptSqlite(const QVariant &handle);
