// Snoozed alerts: the tray menu's items, the muted mark of the icon and the tool-tip's line.
// The session keeps the snoozes; the window keeps them in the store so a restart keeps them.

#include "app/Main.h"
#include "engine/AlertPolicy.h"
#include "engine/SnoozeList.h"

#include <QAction>
#include <QMenu>

void TfMain_Vennatro::CreateSnoozeMenu() {
    // After the tray menu's own items.
    NotifyIconPopupMenu->addSeparator();
    mnSnooze = NotifyIconPopupMenu->addMenu(tr("&Snooze alerts"));
    mnSnooze->setObjectName(QStringLiteral("mnSnooze"));
    const struct {
        const char *name;
        const char *caption;
        SnoozeList::Choice choice;
    } items[] = {
        {"actSnoozeHour", QT_TR_NOOP("1 &hour"), SnoozeList::Choice::OneHour},
        {"actSnoozeFourHours", QT_TR_NOOP("&4 hours"), SnoozeList::Choice::FourHours},
        {"actSnoozeMorning", QT_TR_NOOP("Until &tomorrow 08:00"),
         SnoozeList::Choice::TomorrowMorning},
    };
    for (const auto &item : items) {
        QAction *action = mnSnooze->addAction(tr(item.caption));
        action->setObjectName(QLatin1String(item.name));
        connect(action, &QAction::triggered, this, [this, choice = item.choice] {
            Session->Snooze(SnoozeList::All,
                            SnoozeList::EndOf(choice, QDateTime::currentDateTime()));
        });
    }
    actResumeAlerts = NotifyIconPopupMenu->addAction(tr("&Resume alerts"));
    actResumeAlerts->setObjectName(QStringLiteral("actResumeAlerts"));
    actResumeAlerts->setEnabled(false);
    connect(actResumeAlerts, &QAction::triggered, this,
            [this] { Session->Resume(SnoozeList::All); });
    connect(Session, &PingSession::snoozeChanged, this, [this] {
        Options.SnoozedUntil = Session->Settings().SnoozedUntil;
        actResumeAlerts->setEnabled(!Options.SnoozedUntil.isEmpty());
        SaveSettings(); // a restart keeps the snooze
        UpdateTrayBadge();
        UpdateStatus();
    });
}

bool TfMain_Vennatro::AlertsMuted() const {
    if (Session->SnoozedUntil(SnoozeList::All).isValid())
        return true;
    return AutoPingOn() && Session->SnoozedUntil(Session->AutoPingAddress()).isValid();
}

QString TfMain_Vennatro::SnoozeSummary() const {
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime all = Session->SnoozedUntil(SnoozeList::All);
    if (all.isValid())
        return tr("Alerts snoozed until %1").arg(SnoozeEndText(all, now));
    int count = 0;
    for (const SnoozeList::Entry &entry : Session->Alerts()->Snoozes().Entries())
        count += entry.until > now ? 1 : 0;
    if (count == 0)
        return QString();
    const QDateTime first = Session->Alerts()->Snoozes().NextEnd(now);
    return count == 1 ? tr("Alerts of 1 address snoozed until %1").arg(SnoozeEndText(first, now))
                      : tr("Alerts of %1 addresses snoozed, the first until %2")
                            .arg(count)
                            .arg(SnoozeEndText(first, now));
}
