#include "engine/PingTarget.h"

#include <QLocale>
#include <QStringDecoder>

namespace {

bool IsControl(char16_t c) { return c < 0x20 || c == 0x7F; }

bool IsAsciiDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

// 1-65535, or 0 for anything else (empty, a sign, other digits, too large).
int ParsePort(const QString &text) {
    if (text.isEmpty())
        return 0;
    int value = 0;
    for (const QChar c : text) {
        if (!IsAsciiDigit(c))
            return 0;
        value = value * 10 + (c.unicode() - '0');
        if (value > 65535)
            return 0;
    }
    return value;
}

struct HostAndPort {
    QString host;
    QString portText;
    bool hasPort = false; // a ':' named a port (possibly an empty one)
};

HostAndPort SplitHostAndPort(const QString &authority) {
    HostAndPort result;
    // The user part is never sent; its ':' must not be read as a port.
    const QString hostPort = authority.mid(authority.lastIndexOf(QLatin1Char('@')) + 1);
    const qsizetype close = hostPort.indexOf(QLatin1Char(']'));
    if (hostPort.startsWith(QLatin1Char('[')) && close > 0) {
        const QString after = hostPort.mid(close + 1);
        if (after.isEmpty() || after.startsWith(QLatin1Char(':'))) {
            result.host = hostPort.left(close + 1);
            result.hasPort = !after.isEmpty();
            result.portText = after.mid(1);
            return result;
        }
        result.host = hostPort; // junk after the literal: left for the lookup to refuse
        return result;
    }
    if (hostPort.count(QLatin1Char(':')) == 1) {
        const qsizetype colon = hostPort.indexOf(QLatin1Char(':'));
        result.host = hostPort.left(colon);
        result.portText = hostPort.mid(colon + 1);
        result.hasPort = true;
        return result;
    }
    result.host = hostPort; // no ':', or a bare IPv6 literal
    return result;
}

QByteArray Utf8WithoutControl(const QString &text) { return RemoveControl(text).toUtf8(); }

char HexDigit(int value) { return "0123456789ABCDEF"[value & 0xF]; }

} // namespace

QString RemoveControl(const QString &text) {
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        if (!IsControl(c.unicode()))
            result += c;
    }
    return result;
}

NormalisedAddress NormaliseAddress(const QString &text) {
    NormalisedAddress result;
    // Removed everywhere, not only at the ends: a CR LF inside would end the request line.
    result.boxText = TrimControl(RemoveControl(text));
    const QString lower = result.boxText.toLower();
    QString rest;
    if (lower.startsWith(QLatin1String("https://"))) {
        result.https = true;
        rest = result.boxText.mid(8);
    } else if (lower.startsWith(QLatin1String("http://"))) {
        rest = result.boxText.mid(7);
    } else if (result.boxText.contains(QLatin1String("://"))) {
        return result; // rejected; the box keeps its (trimmed) text
    } else {
        result.boxText.prepend(QLatin1String("http://"));
        rest = result.boxText.mid(7);
    }
    if (!rest.contains(QLatin1Char('/'))) {
        result.boxText += QLatin1Char('/');
        rest += QLatin1Char('/');
    }
    const qsizetype slash = rest.indexOf(QLatin1Char('/'));
    result.path = rest.mid(slash);
    const HostAndPort parts = SplitHostAndPort(rest.left(slash));
    result.host = parts.host;
    if (parts.hasPort && !parts.portText.isEmpty()) {
        result.port = ParsePort(parts.portText);
        if (result.port == 0) {
            result.badPort = true;
            return result;
        }
    }
    result.hostHeader = result.host;
    if (result.port != 0)
        result.hostHeader += QLatin1Char(':') + QString::number(result.port);
    result.accepted = true;
    return result;
}

QString AddressWithoutPassword(const QString &address) {
    const qsizetype scheme = address.indexOf(QLatin1String("://"));
    const qsizetype begin = scheme < 0 ? 0 : scheme + 3;
    qsizetype end = address.indexOf(QLatin1Char('/'), begin);
    if (end < 0)
        end = address.size();
    // A negative start would search from the end of the text.
    const qsizetype at = end > begin ? address.lastIndexOf(QLatin1Char('@'), end - 1) : -1;
    if (at < begin)
        return address;
    const qsizetype colon = address.indexOf(QLatin1Char(':'), begin);
    if (colon < 0 || colon > at)
        return address;
    return address.left(colon) + address.mid(at);
}

void UpdateRecentList(QStringList &items, const QString &text) {
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (items.at(i).compare(text, Qt::CaseInsensitive) == 0) {
            items.removeAt(i);
            break;
        }
    }
    items.prepend(text);
}

QString JoinRecentList(const QStringList &items) {
    QString text;
    for (const QString &item : items)
        text += item + QStringLiteral("\r\n");
    return text;
}

QStringList SplitRecentList(const QString &text) {
    QStringList items;
    qsizetype start = 0;
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        const QChar c = text.at(i);
        if (c != QLatin1Char('\r') && c != QLatin1Char('\n'))
            continue;
        items << text.mid(start, i - start);
        if (c == QLatin1Char('\r') && i + 1 < size && text.at(i + 1) == QLatin1Char('\n'))
            ++i;
        start = i + 1;
    }
    if (start < size)
        items << text.mid(start);
    return items;
}

QString BuildUserAgent(const QString &programVersion, const QString &suffix,
                       const OsVersionInfo &os, bool withComputerName,
                       const QString &computerName) {
    QString cleanSuffix = suffix;
    const qsizetype blank = cleanSuffix.indexOf(QLatin1Char(' '));
    if (blank >= 0)
        cleanSuffix[blank] = QLatin1Char('-');
    QString servicePack = os.servicePack.left(128);
    if (!servicePack.isEmpty())
        servicePack.prepend(QLatin1Char(' '));
    // Built by concatenation: no piece is ever read as a placeholder.
    QString agent = QLatin1String(ApplicationTitle) + QLatin1Char('/') + programVersion +
                    cleanSuffix + QStringLiteral(" (") + os.name + os.family + QLatin1Char(' ') +
                    QString::number(os.major) + QLatin1Char('.') + QString::number(os.minor) +
                    servicePack + QLatin1Char(')');
    if (withComputerName)
        agent += QStringLiteral(" [") + computerName + QLatin1Char(']');
    return agent;
}

QByteArray BuildHeadRequest(const QString &path, const QString &host, const QString &userAgent) {
    return "HEAD " + Utf8WithoutControl(path) + " HTTP/1.0\r\nHost: " + Utf8WithoutControl(host) +
           "\r\nConnection: close\r\nUser-Agent: " + Utf8WithoutControl(userAgent) + "\r\n\r\n";
}

QString AnswerText(const QByteArray &bytes) {
    // A leading byte-order mark is part of the answer: kept, not swallowed.
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString decoded = utf8.decode(bytes);
    if (utf8.hasError())
        decoded = QString::fromLatin1(bytes);
    QString text;
    text.reserve(decoded.size());
    for (const QChar c : decoded) {
        const char16_t u = c.unicode();
        const bool shown = u == u'\r' || u == u'\n' || u == u'\t';
        if (!shown && (u < 0x20 || (u >= 0x7F && u <= 0x9F))) {
            text += QLatin1String("\\x");
            text += QLatin1Char(HexDigit(u >> 4));
            text += QLatin1Char(HexDigit(u));
        } else {
            text += c;
        }
    }
    return text;
}

int HttpStatusCode(const QByteArray &answer) {
    // "HTTP/1.0 200": 12 bytes at least; the code must not run on into a fourth digit.
    auto digit = [&answer](qsizetype i) {
        return i < answer.size() && answer.at(i) >= '0' && answer.at(i) <= '9';
    };
    if (!answer.startsWith("HTTP/") || !digit(5) || answer.size() < 12 || answer.at(6) != '.' ||
        !digit(7) || answer.at(8) != ' ' || !digit(9) || !digit(10) || !digit(11) || digit(12))
        return 0;
    return (answer.at(9) - '0') * 100 + (answer.at(10) - '0') * 10 + (answer.at(11) - '0');
}

qsizetype StatusLineEnd(const QByteArray &answer) {
    for (qsizetype i = 0; i < answer.size(); ++i) {
        if (answer.at(i) == '\n')
            return i + 1;
        if (answer.at(i) == '\r')
            return i + 1 < answer.size() && answer.at(i + 1) == '\n' ? i + 2 : i + 1;
    }
    return -1;
}

qsizetype HeaderBlockEnd(const QByteArray &answer) {
    // Every form ends a line with LF and is followed by LF or CR LF.
    const qsizetype size = answer.size();
    for (qsizetype i = 0; i + 1 < size; ++i) {
        if (answer.at(i) != '\n')
            continue;
        if (answer.at(i + 1) == '\n')
            return i + 2;
        if (answer.at(i + 1) == '\r' && i + 2 < size && answer.at(i + 2) == '\n')
            return i + 3;
    }
    return -1;
}

QString DownTimeText(qint64 seconds) {
    if (seconds < 0)
        seconds = 0;
    if (seconds < 60)
        return QString::number(seconds) + QStringLiteral(" s");
    const qint64 minutes = seconds / 60;
    if (minutes < 60)
        return QString::number(minutes) + QStringLiteral(" min");
    return QString::number(minutes / 60) + QStringLiteral(" h ") +
           QStringLiteral("%1").arg(minutes % 60, 2, 10, QLatin1Char('0')) + QStringLiteral(" min");
}

QString CutBeforeLastDot(const QString &version) {
    const qsizetype dot = version.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : version.left(dot);
}

QString TimeStamp(const QDateTime &when) {
    const QLocale locale;
    return locale.toString(when.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           locale.toString(when.time(), QLocale::LongFormat);
}

QString SessionBanner(const QString &timeStamp) {
    return QStringLiteral("= = = = = = = = = = = =  Session started at [") + timeStamp +
           QStringLiteral("]  = = = = = = = = = = = = =\r\n\r\n");
}
