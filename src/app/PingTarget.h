#pragma once

#include "platform/SystemInfo.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

// Pure pieces of the ping target: the main window calls them, tests call them directly.

inline constexpr const char *ApplicationTitle = "Vennatro";
inline constexpr const char *SchemeRejectedText = "Only HTTP and HTTPS protocols are supported.";

// Removes every leading and trailing character whose code is 32 or less.
QString TrimControl(const QString &text);

struct NormalisedAddress {
    bool accepted = false; // false: a scheme other than http:// or https://
    bool https = false;    // the HTTPS port applies
    QString boxText;       // the text the address box shows afterwards
    QString host;          // up to the first '/' after the scheme, verbatim
    QString path;          // from that '/' on, never empty
};

// Normalises an address box text (trimmed first). Schemes are compared ignoring case; the
// text keeps its letters as typed.
NormalisedAddress NormaliseAddress(const QString &text);

// Moves text to the top of the recent list: an entry equal ignoring case is removed first.
void UpdateRecentList(QStringList &items, const QString &text);

// The stored form of the recent list: every entry followed by CR LF.
QString JoinRecentList(const QStringList &items);
// Splits at CR, LF or CR LF; a final line break gives no empty entry.
QStringList SplitRecentList(const QString &text);

// "Vennatro/1.0.1 (Linux 6.1)" and, with the computer name, " [name]" after it.
QString BuildUserAgent(const QString &programVersion, const QString &suffix,
                       const OsVersionInfo &os, bool withComputerName, const QString &computerName);

// The whole HEAD request, byte for byte.
QByteArray BuildHeadRequest(const QString &path, const QString &host, const QString &userAgent);

// "1.0.1.0" -> "1.0.1"; a text without '.' -> "".
QString CutBeforeLastDot(const QString &version);

// The log's start banner for a time stamp.
QString SessionBanner(const QString &timeStamp);

// Short date, a blank, long time, in the user's locale.
QString TimeStamp(const QDateTime &when = QDateTime::currentDateTime());
