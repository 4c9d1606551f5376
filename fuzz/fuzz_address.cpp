#include "engine/PingTarget.h"

#include <cstddef>
#include <cstdint>

// Any text normalises or is rejected; an accepted one splits back into what it shows.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const NormalisedAddress a = NormaliseAddress(text);
    if (a.accepted) {
        if (!a.path.startsWith(QLatin1Char('/')) || a.host.contains(QLatin1Char('/')))
            __builtin_trap();
        if (!a.boxText.endsWith(a.host + a.path))
            __builtin_trap();
        const NormalisedAddress again = NormaliseAddress(a.boxText);
        if (!again.accepted || again.boxText != a.boxText || again.host != a.host)
            __builtin_trap();
        (void)BuildHeadRequest(a.path, a.host, QStringLiteral("agent"));
    }
    QStringList recent{QStringLiteral("http://a/"), a.boxText};
    UpdateRecentList(recent, a.boxText);
    if (recent.isEmpty() || recent.constFirst() != a.boxText)
        __builtin_trap();
    return 0;
}
