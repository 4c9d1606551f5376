#include "store/RegStore.h"

#include <cstddef>
#include <cstdint>

// Any file text parses or is refused with a line number; what parses survives being written
// and read back.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray text(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    RegParseError error;
    const std::optional<RegDocument> doc = ParseRegFile(text, QStringLiteral("fuzz.reg"), &error);
    if (!doc) {
        if (error.message.isEmpty())
            __builtin_trap();
        return 0;
    }
    RegParseError again;
    const std::optional<RegDocument> back =
        ParseRegFile(SerializeRegFile(*doc), QStringLiteral("fuzz.reg"), &again);
    if (!back)
        __builtin_trap();
    if (SerializeRegFile(*back) != SerializeRegFile(*doc))
        __builtin_trap();
    return 0;
}
