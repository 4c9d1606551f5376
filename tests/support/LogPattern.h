#pragma once

// Log text matched against a pattern with holes: {STAMP} a time stamp of this run (between
// the start given and now), {SECS} seconds with three decimals, {ANY} any text on one line.
// The whole text must match.

#include "engine/PingTarget.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QString>

class LogPattern {
public:
    explicit LogPattern(QDateTime started = QDateTime::currentDateTime())
        : m_started(std::move(started)) {}

    void Restart() { m_started = QDateTime::currentDateTime(); }

    // A time stamp the program wrote in this run.
    bool StampOfThisRun(const QString &stamp) const {
        QDateTime t = m_started.addMSecs(-m_started.time().msec());
        const QDateTime end = QDateTime::currentDateTime().addSecs(1);
        for (; t <= end; t = t.addSecs(1)) {
            if (TimeStamp(t) == stamp)
                return true;
        }
        return false;
    }

    bool Matches(const QString &text, const QString &pattern) const {
        QString re = QRegularExpression::escape(pattern);
        re.replace(QRegularExpression::escape(QStringLiteral("{STAMP}")),
                   QStringLiteral("([^\\]\\r\\n]+)"));
        re.replace(QRegularExpression::escape(QStringLiteral("{SECS}")),
                   QStringLiteral("\\d+\\.\\d{3}"));
        re.replace(QRegularExpression::escape(QStringLiteral("{ANY}")),
                   QStringLiteral("[^\\r\\n]*"));
        const QRegularExpressionMatch match =
            QRegularExpression(QStringLiteral("\\A") + re + QStringLiteral("\\z")).match(text);
        if (!match.hasMatch())
            return false;
        for (int i = 1; i <= match.lastCapturedIndex(); ++i) {
            if (!StampOfThisRun(match.captured(i)))
                return false;
        }
        return true;
    }

    // Each entry against its pattern, as many of each.
    bool Matches(const QStringList &entries, const QStringList &patterns) const {
        if (entries.size() != patterns.size())
            return false;
        for (qsizetype i = 0; i < entries.size(); ++i) {
            if (!Matches(entries[i], patterns[i]))
                return false;
        }
        return true;
    }

private:
    QDateTime m_started;
};
