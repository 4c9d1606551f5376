#include "platform/SqliteInterrupt.h"

#if defined(Q_OS_UNIX)
#include <dlfcn.h>
#endif

bool InterruptSqlite(const QVariant &handle) {
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return false;
    void *connection = *static_cast<void *const *>(handle.constData());
    if (!connection)
        return false;
#if defined(Q_OS_UNIX)
    // Qt's SQLite plugin links the system's library; it is already loaded when a connection
    // exists, and NOLOAD never loads a second one.
    void *library = ::dlopen("libsqlite3.so.0", RTLD_LAZY | RTLD_NOLOAD);
    if (!library)
        return false;
    using Interrupt = void (*)(void *);
    const auto interrupt = reinterpret_cast<Interrupt>(::dlsym(library, "sqlite3_interrupt"));
    if (interrupt)
        interrupt(connection);
    ::dlclose(library);
    return interrupt != nullptr;
#else
    return false;
#endif
}
