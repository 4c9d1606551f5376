#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

// A snooze's end as a tool-tip says it: "08:00" today, else the date too ("9 Dec 08:00" in
// the user's locale).
QString SnoozeEndText(const QDateTime &until, const QDateTime &now);

// The addresses whose alerts are snoozed, and until when (wall time: "until tomorrow 08:00"
// means the clock on the wall). Stored as the setting "Snoozed until": a line an address,
// "address<TAB>ISO 8601 time", "*" for every address. A snooze ends by itself at its time.
class SnoozeList {
public:
    static inline const QString All = QStringLiteral("*");

    struct Entry {
        QString address; // as given (the key compares); All for every address
        QDateTime until; // UTC
        QString key;     // AlertKey, or All
    };

    // The choices of the menus.
    enum class Choice { OneHour, FourHours, TomorrowMorning };
    // When a snooze chosen at now ends: in one or four hours, or tomorrow at 08:00 local time.
    static QDateTime EndOf(Choice choice, const QDateTime &now);

    // Reads the stored lines (CR, LF or CR LF between them). Lines that cannot be read and
    // snoozes already over are left out; *problem then says so in one line (empty otherwise).
    static SnoozeList Parse(const QString &stored, const QDateTime &now, QString *problem);
    // The stored form: every entry followed by CR LF, times in UTC.
    QString Stored() const;

    // Snoozes address (or All) until the time given; a later Set replaces an earlier one.
    void Set(const QString &address, const QDateTime &until);
    // Ends the snooze of address; All ends every snooze.
    void Clear(const QString &address);
    // Drops the snoozes over at now; true when one was.
    bool DropEnded(const QDateTime &now);

    // When the alerts of address are snoozed until (its own or every address's, the later),
    // invalid when they are not snoozed at now.
    QDateTime Until(const QString &address, const QDateTime &now) const;
    // The snooze of address itself (not every address's), invalid when none is in force.
    QDateTime OwnUntil(const QString &address, const QDateTime &now) const;
    // The first end of a snooze after now; invalid when none.
    QDateTime NextEnd(const QDateTime &now) const;
    bool IsEmpty() const { return m_entries.isEmpty(); }
    const QList<Entry> &Entries() const { return m_entries; }

    bool operator==(const SnoozeList &other) const { return Stored() == other.Stored(); }

private:
    qsizetype IndexOf(const QString &address) const;

    QList<Entry> m_entries;
};
