#include "engine/SnoozeList.h"

#include "engine/AlertState.h"
#include "engine/PingTarget.h"

#include <QLocale>

namespace {

constexpr int MaxEntries = 1000; // the most addresses a list can watch, and "*"

QString KeyOf(const QString &address) {
    return address == SnoozeList::All ? address : AlertKey(address);
}

} // namespace

QString SnoozeEndText(const QDateTime &until, const QDateTime &now) {
    const QDateTime local = until.toLocalTime();
    const QString time = local.toString(QStringLiteral("HH:mm"));
    if (local.date() == now.toLocalTime().date())
        return time;
    return QLocale().toString(local.date(), QLocale::ShortFormat) + QLatin1Char(' ') + time;
}

QDateTime SnoozeList::EndOf(Choice choice, const QDateTime &now) {
    switch (choice) {
    case Choice::OneHour:
        return now.toUTC().addSecs(3600);
    case Choice::FourHours:
        return now.toUTC().addSecs(4 * 3600);
    case Choice::TomorrowMorning:
        break;
    }
    const QDateTime local = now.toLocalTime();
    return QDateTime(local.date().addDays(1), QTime(8, 0), Qt::LocalTime).toUTC();
}

SnoozeList SnoozeList::Parse(const QString &stored, const QDateTime &now, QString *problem) {
    SnoozeList list;
    int unreadable = 0;
    int over = 0;
    QString first;
    for (const QString &line : SplitRecentList(stored)) {
        if (line.trimmed().isEmpty())
            continue;
        const qsizetype tab = line.indexOf(QLatin1Char('\t'));
        const QString address = tab > 0 ? line.left(tab).trimmed() : QString();
        QDateTime until =
            tab > 0 ? QDateTime::fromString(line.mid(tab + 1).trimmed(), Qt::ISODateWithMs)
                    : QDateTime();
        const bool readable =
            !address.isEmpty() && until.isValid() &&
            (address == All || (address.contains(QLatin1String("://")) && !address.contains(' ')));
        if (!readable || until <= now || list.m_entries.size() >= MaxEntries) {
            (readable ? over : unreadable) += 1;
            if (first.isEmpty())
                first = RemoveControl(line).left(200);
            continue;
        }
        list.Set(address, until);
    }
    if (problem) {
        problem->clear();
        if (unreadable + over > 0)
            *problem = QStringLiteral("Snoozed until: %1 line(s) ignored (%2 unreadable, %3 over "
                                      "or too many), the first: \"%4\"")
                           .arg(unreadable + over)
                           .arg(unreadable)
                           .arg(over)
                           .arg(first);
    }
    return list;
}

QString SnoozeList::Stored() const {
    QString text;
    for (const Entry &entry : m_entries)
        text += entry.address + QLatin1Char('\t') + entry.until.toUTC().toString(Qt::ISODate) +
                QStringLiteral("\r\n");
    return text;
}

qsizetype SnoozeList::IndexOf(const QString &address) const {
    const QString key = KeyOf(address);
    for (qsizetype i = 0; i < m_entries.size(); ++i) {
        if (m_entries.at(i).key == key)
            return i;
    }
    return -1;
}

void SnoozeList::Set(const QString &address, const QDateTime &until) {
    const qsizetype i = IndexOf(address);
    // Whole seconds: what the store keeps is what the list holds.
    QDateTime utc = until.toUTC();
    utc.setTime(QTime(utc.time().hour(), utc.time().minute(), utc.time().second()));
    if (i >= 0)
        m_entries[i].until = utc;
    else
        m_entries.append(Entry{address, utc, KeyOf(address)});
}

void SnoozeList::Clear(const QString &address) {
    if (address == All) {
        m_entries.clear();
        return;
    }
    const qsizetype i = IndexOf(address);
    if (i >= 0)
        m_entries.removeAt(i);
}

bool SnoozeList::DropEnded(const QDateTime &now) {
    return m_entries.removeIf([&now](const Entry &e) { return e.until <= now; }) > 0;
}

QDateTime SnoozeList::OwnUntil(const QString &address, const QDateTime &now) const {
    const qsizetype i = IndexOf(address);
    return i >= 0 && m_entries.at(i).until > now ? m_entries.at(i).until : QDateTime();
}

QDateTime SnoozeList::Until(const QString &address, const QDateTime &now) const {
    const QDateTime own = OwnUntil(address, now);
    const QDateTime all = OwnUntil(All, now);
    if (!own.isValid())
        return all;
    return all.isValid() && all > own ? all : own;
}

QDateTime SnoozeList::NextEnd(const QDateTime &now) const {
    QDateTime next;
    for (const Entry &entry : m_entries) {
        if (entry.until > now && (!next.isValid() || entry.until < next))
            next = entry.until;
    }
    return next;
}
