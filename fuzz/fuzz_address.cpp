#include "engine/PingTarget.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

bool HasControl(const QString &text) {
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return true;
    }
    return false;
}

// Any text normalises or is refused; an accepted one splits back into what it shows and
// carries no control character that could reach the wire.
void CheckAddress(const QString &text) {
    const NormalisedAddress a = NormaliseAddress(text);
    if (a.badPort && a.accepted)
        __builtin_trap();
    if (HasControl(a.boxText))
        __builtin_trap();
    if (a.accepted) {
        if (!a.path.startsWith(QLatin1Char('/')) || a.host.contains(QLatin1Char('/')))
            __builtin_trap();
        if (HasControl(a.host) || HasControl(a.path) || HasControl(a.hostHeader))
            __builtin_trap();
        if (!a.boxText.endsWith(a.path) || !a.boxText.contains(a.host))
            __builtin_trap();
        if (a.port < 0 || a.port > 65535)
            __builtin_trap();
        const QString header =
            a.port == 0 ? a.host : a.host + QLatin1Char(':') + QString::number(a.port);
        if (a.hostHeader != header)
            __builtin_trap();
        const NormalisedAddress again = NormaliseAddress(a.boxText);
        if (!again.accepted || again.boxText != a.boxText || again.host != a.host ||
            again.port != a.port || again.hostHeader != a.hostHeader || again.path != a.path)
            __builtin_trap();
        const QByteArray request = BuildHeadRequest(a.path, a.hostHeader, QStringLiteral("agent"));
        // The four header lines and the blank one, nothing else.
        if (request.count('\n') != 5 || request.count('\r') != 5)
            __builtin_trap();
    } else if (a.badPort && (a.port != 0 || !a.hostHeader.isEmpty())) {
        __builtin_trap();
    }
    // Without the password, the address pings the same place; nothing more goes a second time.
    const QString shown = AddressWithoutPassword(a.boxText);
    const NormalisedAddress same = NormaliseAddress(shown);
    if (same.accepted != a.accepted || same.hostHeader != a.hostHeader || same.path != a.path ||
        AddressWithoutPassword(shown) != shown || shown.size() > a.boxText.size())
        __builtin_trap();
    QStringList recent{QStringLiteral("http://a/"), a.boxText};
    UpdateRecentList(recent, a.boxText);
    if (recent.isEmpty() || recent.constFirst() != a.boxText)
        __builtin_trap();
}

// The same bytes read as an answer from a server.
void CheckAnswer(const QByteArray &bytes) {
    for (const QChar c : AnswerText(bytes)) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\r' && u != u'\n' && u != u'\t') || (u >= 0x7F && u <= 0x9F))
            __builtin_trap();
    }
    const int code = HttpStatusCode(bytes);
    if (code < 0 || code > 999 || (code != 0 && !bytes.startsWith("HTTP/")))
        __builtin_trap();
    const qsizetype lineEnd = StatusLineEnd(bytes);
    if (lineEnd != -1) {
        if (lineEnd < 1 || lineEnd > bytes.size())
            __builtin_trap();
        const char last = bytes.at(lineEnd - 1);
        if (last != '\n' && last != '\r')
            __builtin_trap();
    }
    const qsizetype end = HeaderBlockEnd(bytes);
    if (end != -1) {
        if (end < 2 || end > bytes.size() || bytes.at(end - 1) != '\n')
            __builtin_trap();
        // Found as soon as its last byte arrived, not a byte earlier.
        if (HeaderBlockEnd(bytes.left(end)) != end || HeaderBlockEnd(bytes.left(end - 1)) != -1)
            __builtin_trap();
        if (lineEnd == -1 || lineEnd > end)
            __builtin_trap();
    }
}

void CheckDownTime(const uint8_t *data, size_t size) {
    qint64 seconds = 0;
    std::memcpy(&seconds, data, size < sizeof seconds ? size : sizeof seconds);
    const QString text = DownTimeText(seconds);
    if (text.isEmpty() ||
        !text.endsWith(seconds < 60 ? QLatin1String(" s") : QLatin1String(" min")))
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    CheckAddress(QString::fromUtf8(bytes));
    CheckAddress(QString::fromLatin1(bytes)); // every byte, controls included, as a character
    CheckAnswer(bytes);
    CheckDownTime(data, size);
    return 0;
}
