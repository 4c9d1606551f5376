#include "support/UsualFunctions.h"

#include <cstddef>
#include <cstdint>

// Unscrambling any stored value stays inside it; scrambling any password of up to 255 bytes
// comes back whole.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QByteArray plain = UnscramblePassword(bytes);
    if (plain.size() > bytes.size())
        __builtin_trap();
    if (bytes.size() <= 255 && !bytes.isEmpty()) {
        const QByteArray stored = ScramblePassword(bytes);
        if (stored.size() != 256 || UnscramblePassword(stored) != bytes)
            __builtin_trap();
    }
    return 0;
}
