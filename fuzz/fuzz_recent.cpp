#include "engine/PingTarget.h"

#include <cstddef>
#include <cstdint>

// The recent list's stored text splits without surprises, and a list of entries without line
// breaks survives the round trip.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QStringList items = SplitRecentList(text);
    for (const QString &item : items)
        if (item.contains(QLatin1Char('\r')) || item.contains(QLatin1Char('\n')))
            __builtin_trap();
    if (SplitRecentList(JoinRecentList(items)) != items)
        __builtin_trap();
    return 0;
}
