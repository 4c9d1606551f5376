#pragma once

#include "platform/SystemInfo.h"
#include "support/UsualFunctions.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

// Pure pieces of the ping target: the main window calls them, tests call them directly.

inline constexpr const char *ApplicationTitle = "Vennatro";
inline constexpr const char *SchemeRejectedText =
    QT_TRANSLATE_NOOP("PingTarget", "Only HTTP and HTTPS protocols are supported.");
inline constexpr const char *InvalidPortText =
    QT_TRANSLATE_NOOP("PingTarget", "Invalid port in the address.");

// Removes every character below 32 and 127, wherever it stands.
QString RemoveControl(const QString &text);

struct NormalisedAddress {
    bool accepted = false; // false: a scheme other than http:// or https://, or a bad port
    bool badPort = false;  // the port is 0, above 65535 or not a number (InvalidPortText)
    bool https = false;    // the HTTPS port applies unless the address names one
    int port = 0;          // 0: the address names no port (an empty one, "h:", names none)
    QString boxText;       // the text the address box shows afterwards, port as written
    QString host;          // what the socket resolves: no user part, no port; "[::1]" kept
    QString hostHeader;    // host, plus ":port" whenever the address names one
    QString path;          // from the first '/' after the scheme on, never empty
};

// Normalises an address box text: control characters removed everywhere, then trimmed.
// Schemes are compared ignoring case; the text keeps its letters as typed. The part before
// the first '/' is [user@]host[:port]: the user part is never sent, a bracketed literal
// ("[::1]", "[fe80::1%25lo]") is the host up to its ']', and an unbracketed host with more
// than one ':' is a bare IPv6 literal without a port. On a bad port host and path are still
// filled, port is 0 and hostHeader empty.
NormalisedAddress NormaliseAddress(const QString &text);

// The address without the password of its user part: "http://user:pw@host/" gives
// "http://user@host/". The user part is what NormaliseAddress skips: up to the last '@'
// before the first '/' after the scheme. Any other text comes back unchanged.
QString AddressWithoutPassword(const QString &address);

// Moves text to the top of the recent list: an entry equal ignoring case is removed first.
void UpdateRecentList(QStringList &items, const QString &text);

// The stored form of the recent list: every entry followed by CR LF.
QString JoinRecentList(const QStringList &items);
// Splits at CR, LF or CR LF; a final line break gives no empty entry.
QStringList SplitRecentList(const QString &text);

// "Vennatro/1.0.1 (Linux 6.1)" and, with the computer name, " [name]" after it.
QString BuildUserAgent(const QString &programVersion, const QString &suffix,
                       const OsVersionInfo &os, bool withComputerName, const QString &computerName);

// The whole HEAD request, byte for byte. Control characters of the pieces are dropped, so
// none of them can end a line early. host is the Host header's value.
QByteArray BuildHeadRequest(const QString &path, const QString &host, const QString &userAgent);

// Answer bytes as the log shows them: UTF-8 when valid, else Latin-1; every control character
// other than CR, LF and TAB (NUL, 127 and 128-159 too) as "\xHH".
QString AnswerText(const QByteArray &bytes);

// The code of a status line "HTTP/<d>.<d> NNN ..." at the start of the answer, else 0.
int HttpStatusCode(const QByteArray &answer);

// Index just past the first line end (LF, CR LF or a lone CR; a CR as the last byte counts
// as a lone one); -1 when there is none yet.
qsizetype StatusLineEnd(const QByteArray &answer);

// Index just past the blank line that ends the headers (CR LF CR LF, LF LF, CR LF LF or
// LF CR LF); -1 when it has not arrived yet.
qsizetype HeaderBlockEnd(const QByteArray &answer);

// How long an address has been down: "45 s", "3 min", "1 h 05 min", "26 h 00 min".
QString DownTimeText(qint64 seconds);

// "1.0.1.0" -> "1.0.1"; a text without '.' -> "".
QString CutBeforeLastDot(const QString &version);

// The log's start banner for a time stamp.
QString SessionBanner(const QString &timeStamp);

// Short date, a blank, long time, in the user's locale.
QString TimeStamp(const QDateTime &when = QDateTime::currentDateTime());
