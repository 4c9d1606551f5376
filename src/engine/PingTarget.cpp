#include "engine/PingTarget.h"

#include <QLocale>

QString TrimControl(const QString &text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin).unicode() <= 32)
        ++begin;
    while (end > begin && text.at(end - 1).unicode() <= 32)
        --end;
    return text.mid(begin, end - begin);
}

NormalisedAddress NormaliseAddress(const QString &text) {
    NormalisedAddress result;
    result.boxText = TrimControl(text);
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
    result.host = rest.left(slash);
    result.path = rest.mid(slash);
    result.accepted = true;
    return result;
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
    return "HEAD " + path.toUtf8() + " HTTP/1.0\r\nHost: " + host.toUtf8() +
           "\r\nConnection: close\r\nUser-Agent: " + userAgent.toUtf8() + "\r\n\r\n";
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
