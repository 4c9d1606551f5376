// The watched addresses of the session: the window shows them in a dock and sums their state
// up in the tray's tool-tip and badge.

#include "app/Main.h"
#include "app/WatchPanel.h"
#include "engine/Formats.h"
#include "engine/WatchList.h"

#include <QAction>
#include <QComboBox>
#include <QMenu>
#include <QMenuBar>

void TfMain_Vennatro::CreateWatchList() {
    WatchList *watched = Session->Watched();
    connect(watched, &WatchList::rowChanged, this, [this] {
        UpdateTrayBadge();
        // Every watched ping changes its row twice; the tool-tip only when the summary does.
        if (WatchSummary() != m_watchSummary)
            UpdateStatus();
    });
    // The main ping's outcome stays on the icon until the next ping.
    connect(Session, &PingSession::attemptStarted, this, [this] {
        m_mainBadge = TrayBadge::UnderWay;
        UpdateTrayBadge();
    });
    connect(Session, &PingSession::finished, this, [this](const PingResult &result) {
        if (!result.errorPing)
            m_lastResultTip = LastResultTip(result);
        m_mainBadge = result.outcome == PingOutcomeKind::Completed ? TrayBadge::Completed
                      : result.outcome == PingOutcomeKind::Failed  ? TrayBadge::Failed
                                                                   : TrayBadge::None;
        UpdateTrayBadge();
    });
    connect(watched, &WatchList::rowsChanged, this, [this] {
        UpdateTrayBadge();
        UpdateStatus();
    });

    WatchPanel = new TWatchPanel(watched, ImageListStatus, this);
    WatchPanel->SetCurrentAddress([this] { return cmbAddress->currentText(); });
    WatchPanel->SetSnoozes(Session);
    addDockWidget(Qt::BottomDockWidgetArea, WatchPanel);
    WatchPanel->hide();
    actWatched = WatchPanel->toggleViewAction();
    actWatched->setObjectName(QStringLiteral("actWatched"));
    actWatched->setText(QStringLiteral("&Watched addresses"));
    actWatched->setToolTip(QStringLiteral("Watched addresses"));
    actWatched->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
    addAction(actWatched);
    if (mnPing)
        mnPing->addAction(actWatched);
}

QString TfMain_Vennatro::LastResultTip(const PingResult &result) {
    QString what;
    switch (result.outcome) {
    case PingOutcomeKind::Completed:
        what = QStringLiteral("completed in %1 s").arg(result.seconds, 0, 'f', 3);
        break;
    case PingOutcomeKind::Failed:
        what = result.errorText.isEmpty() ? QStringLiteral("failed")
                                          : QStringLiteral("failed (%1)").arg(result.errorText);
        break;
    case PingOutcomeKind::Cancelled:
        what = QStringLiteral("cancelled");
        break;
    }
    // The desktop cuts a tool-tip short: a long address must leave room for the result.
    QString address = result.address;
    if (address.size() > 60)
        address = address.left(57) + QStringLiteral("...");
    return QStringLiteral("%1 - %2: %3 at %4")
        .arg(QLatin1String(ApplicationTitle), address, what,
             result.finishedAt.toLocalTime().toString(QStringLiteral("HH:mm")));
}

QString TfMain_Vennatro::WatchSummary() const {
    const WatchList *watched = Session->Watched();
    const int count = watched->Count();
    if (count == 0)
        return QString();
    // Asked on every change of a row: a count, not a copy of each row.
    const int down = watched->Outcomes().failed;
    if (down == 0)
        return count == 1 ? QStringLiteral("1 watched address up")
                          : QStringLiteral("%1 watched addresses up").arg(count);
    // The tool-tip is short; the dock has the whole list.
    QString names = watched->DownAddresses(3).join(QStringLiteral(", "));
    if (down > 3)
        names += QStringLiteral(", ...");
    return QStringLiteral("%1 of %2 addresses down: %3").arg(down).arg(count).arg(names);
}

void TfMain_Vennatro::UpdateTrayBadge() {
    TrayBadge badge = m_mainBadge;
    // The last finished pings': a routine watched ping would make the icon flicker.
    const WatchList::Tally tally = Session->Watched()->Outcomes();
    if (tally.completed > 0)
        badge = WorseBadge(badge, TrayBadge::Completed);
    if (tally.failed > 0)
        badge = WorseBadge(badge, TrayBadge::Failed);
    const bool muted = AlertsMuted();
    if (badge == m_shownBadge && muted == m_shownMuted)
        return; // the desktop repaints the icon for every change it is handed
    m_shownBadge = badge;
    m_shownMuted = muted;
    NotifyIcon->SetIcon(BadgedIcon(windowIcon(), badge, muted));
}
