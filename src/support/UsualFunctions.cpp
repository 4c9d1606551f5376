#include "support/UsualFunctions.h"

#include "platform/SingleInstance.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdint>

#ifndef VENNATRO_FILE_VERSION
#error "VENNATRO_FILE_VERSION must be set by the build"
#endif

// The version stamp every program linking this library carries: the marker, the version text,
// a closing NUL. `used` keeps the compiler from dropping it, the external name lets the build
// force it into every program (--undefined), and GetFileVersionString reads its marker from
// here, so the marker's bytes exist once in the file.
extern "C" __attribute__((used)) const char vn_embedded_file_version[] =
    "\x7f"
    "VNFV:Vennatro-FileVersion=" VENNATRO_FILE_VERSION;

namespace {

// Length of the marker in front of the version text: everything up to and including '='.
qsizetype markerLength() {
    const QByteArray stamp(vn_embedded_file_version);
    return stamp.indexOf('=') + 1;
}

// Longest version text accepted behind a marker; anything longer is a stray match.
constexpr qsizetype MaxVersionText = 64;
// Bytes read at a time, so a large file is never loaded whole.
constexpr qsizetype ReadChunk = 64 * 1024;

bool isVersionText(const QByteArray &text) {
    if (text.isEmpty() || text.size() > MaxVersionText)
        return false;
    for (char c : text) {
        const auto code = static_cast<unsigned char>(c);
        if (code < 0x20 || code > 0x7e)
            return false;
    }
    return true;
}

const QString ErrorText = QStringLiteral("(error)");

} // namespace

QByteArray EmbeddedFileVersionStamp() {
    return QByteArray(vn_embedded_file_version, sizeof vn_embedded_file_version);
}

QString GetFileVersionString(const QString &FileName) {
    // Regular files only: a pipe would block the open, a device may never end.
    if (FileName.isEmpty() || !QFileInfo(FileName).isFile())
        return ErrorText;
    QFile file(FileName);
    if (!file.open(QIODevice::ReadOnly))
        return ErrorText;

    // Copied at run time from the stamp itself: a literal needle elsewhere in the program
    // would be a second, false marker.
    const QByteArray needle(vn_embedded_file_version, markerLength());

    QByteArray window; // unsearched tail of the previous chunk plus the new chunk
    bool atEnd = false;
    while (!atEnd) {
        const QByteArray chunk = file.read(ReadChunk);
        if (chunk.isEmpty())
            atEnd = true;
        window.append(chunk);

        qsizetype keepFrom = -1; // where to keep the window when a match needs more bytes
        qsizetype from = 0;
        for (;;) {
            const qsizetype at = window.indexOf(needle, from);
            if (at < 0)
                break;
            const qsizetype textStart = at + needle.size();
            const qsizetype end = window.indexOf('\0', textStart);
            if (end < 0 && !atEnd && window.size() - textStart <= MaxVersionText) {
                keepFrom = at; // the text may go on in the next chunk
                break;
            }
            if (end >= 0) {
                const QByteArray text = window.mid(textStart, end - textStart);
                if (isVersionText(text))
                    return QString::fromLatin1(text);
            }
            from = at + 1;
        }
        if (keepFrom >= 0)
            window.remove(0, keepFrom);
        else if (window.size() >= needle.size())
            window.remove(0, window.size() - (needle.size() - 1)); // a marker may straddle
    }
    return ErrorText;
}

QString RegisterActivationMessage() { return QString::fromLatin1(ActivationMessageName); }

bool ActivatePreviousInstance(const QString &WindowClassName) {
    // The running instance is found by its lock folder, not by a window class.
    Q_UNUSED(WindowClassName);
    SingleInstance instance(QString::fromLatin1(SingleInstanceName),
                            QString::fromLatin1(ActivationMessageName));
    return instance.activateRunning();
}

char ScrambleSubstitute(char c) {
    const auto b = static_cast<unsigned char>(c);
    unsigned char out = b;
    if ((b >= 'A' && b <= 'M') || (b >= 'a' && b <= 'm'))
        out = b + 13;
    else if ((b >= 'N' && b <= 'Z') || (b >= 'n' && b <= 'z'))
        out = b - 13;
    else if (b >= 0x30 && b <= 0x39)
        out = b - 10;
    else if (b >= 0x26 && b <= 0x2f)
        out = b + 10;
    else if (b == 0x20)
        out = 0x25;
    else if (b == 0x25)
        out = 0x20;
    else if (b == 0xf1)
        out = 0xe7;
    else if (b == 0xe7)
        out = 0xf1;
    else if (b == 0xd1)
        out = 0xc7;
    else if (b == 0xc7)
        out = 0xd1;
    return static_cast<char>(out);
}

namespace {

constexpr qsizetype StoredLength = 256;
constexpr qsizetype MaxPlainLength = StoredLength - 1;

QByteArray substituted(const QByteArray &bytes) {
    QByteArray out(bytes);
    for (char &c : out)
        c = ScrambleSubstitute(c);
    return out;
}

} // namespace

QByteArray ScramblePassword(const QByteArray &Plain) {
    if (Plain.isEmpty())
        return {};
    const QByteArray s = substituted(Plain);
    const qsizetype n = s.size();

    std::uint32_t seed = 0;
    for (qsizetype i = 0; i < n; ++i)
        seed += static_cast<std::uint32_t>(i + 1) * static_cast<unsigned char>(s[i]);

    QByteArray out;
    out.reserve(std::max(StoredLength, n + 1));
    for (qsizetype i = n; i < MaxPlainLength; ++i) {
        seed = seed * 0x08088405u + 1u;
        const auto r = static_cast<std::uint32_t>((std::uint64_t(seed) * 96u) >> 32);
        out.append(static_cast<char>(32 + r));
    }
    out.append(s);
    out.append(static_cast<char>(n % 256));
    return out;
}

QByteArray UnscramblePassword(const QByteArray &Stored) {
    // Only the exact stored form is read: 256 bytes, a length code of 1 to 255, filler codes
    // 32 to 127. Anything else (a hand-edited value, a truncated line, a password written
    // beyond 255 bytes) gives an empty password instead of a wrong one.
    if (Stored.size() != StoredLength)
        return {};
    const qsizetype n = static_cast<unsigned char>(Stored.back());
    if (n < 1 || n > MaxPlainLength)
        return {};
    const qsizetype start = MaxPlainLength - n;
    for (qsizetype i = 0; i < start; ++i) {
        const auto code = static_cast<unsigned char>(Stored[i]);
        if (code < 32 || code > 127)
            return {};
    }
    return substituted(Stored.mid(start, n));
}
