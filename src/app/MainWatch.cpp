// The watched addresses of the session: the window shows them in a dock and sums their state
// up in the tray's tool-tip and badge.

#include "app/Main.h"
#include "app/WatchPanel.h"
#include "engine/Formats.h"
#include "engine/NetworkVerdict.h"
#include "engine/WatchList.h"
#include "platform/gui/Translation.h"

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QMenu>
#include <QMenuBar>
#include <QToolBar>

void TfMain_Vennatro::CreateWatchList() {
    WatchList *watched = Session->Watched();
    connect(watched, &WatchList::rowChanged, this, [this] {
        UpdateTrayBadge();
        // Every watched ping changes its row twice; the tool-tip only when the summary does.
        if (WatchSummary() != m_watchSummary) {
            UpdateStatus();
            UpdateLastPanel();
        }
    });
    // The main ping's outcome stays on the icon until the next ping.
    // The error ping's own state never stands for the address that failed.
    connect(Session, &PingSession::attemptStarted, this, [this] {
        if (Session->ErrorPingUnderWay())
            return;
        m_mainBadge = TrayBadge::UnderWay;
        UpdateTrayBadge();
    });
    connect(Session, &PingSession::finished, this, [this](const PingResult &result) {
        if (result.errorPing)
            return;
        m_lastAddress = result.address;
        m_lastResult = LastResultText(result);
        UpdateLastPanel();
        m_mainBadge = result.outcome == PingOutcomeKind::Completed
                          ? (result.slow ? TrayBadge::Slow : TrayBadge::Completed)
                      : result.outcome == PingOutcomeKind::Failed ? TrayBadge::Failed
                                                                  : TrayBadge::None;
        UpdateTrayBadge();
    });
    // Grey, not red, while this computer has no network.
    connect(Session, &PingSession::networkStateChanged, this, [this] {
        UpdateTrayBadge();
        UpdateStatus();
    });
    connect(watched, &WatchList::rowsChanged, this, [this] {
        UpdateTrayBadge();
        UpdateStatus();
        UpdateLastPanel();
    });

    WatchPanel = new TWatchPanel(watched, ImageListStatus, this);
    WatchPanel->SetCurrentAddress([this] { return cmbAddress->currentText(); });
    WatchPanel->SetSnoozes(Session);
    connect(WatchPanel, &TWatchPanel::historyRequested, this,
            [this](const QString &address) { ShowHistoryFor(address); });
    addDockWidget(Qt::BottomDockWidgetArea, WatchPanel);
    WatchPanel->hide();
    actWatched = WatchPanel->toggleViewAction();
    actWatched->setObjectName(QStringLiteral("actWatched"));
    actWatched->setText(tr("&Watched addresses"));
    actWatched->setToolTip(tr("Show or hide the watched addresses"));
    actWatched->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
    m_themedIcons.append({actWatched, QStringLiteral("watched")});
    ApplyToolIcons();
    actWatched->setIconText(tr("Watched"));
    addAction(actWatched);
    if (mnPing)
        mnPing->addAction(actWatched);
    // On the tool bar beside History: the panel is as much a view of the pings.
    const QList<QAction *> tools = ToolBar->actions();
    const qsizetype history = tools.indexOf(actHistory);
    AddToolBarButton(actWatched, tr("Watched"), tools.value(history + 1, nullptr));
    // Shown again with the height it had (the store's). A window that starts maximised gets
    // its size after the dock is shown, so the height is asked for again at each resize of
    // the window until the dock has it.
    connect(WatchPanel, &QDockWidget::visibilityChanged, this, [this](bool visible) {
        if (visible)
            ApplyWatchPanelHeight();
    });
    WatchPanel->installEventFilter(this);
}

void TfMain_Vennatro::ApplyWatchPanelHeight() {
    if (m_watchPanelHeight <= 0 || !WatchPanel || !WatchPanel->isVisible())
        return;
    resizeDocks({WatchPanel}, {m_watchPanelHeight}, Qt::Vertical);
}

QString TfMain_Vennatro::LastResultText(const PingResult &result) {
    QString what;
    switch (result.outcome) {
    case PingOutcomeKind::Completed:
        what = (result.slow ? tr("completed in %1 s (slow)") : tr("completed in %1 s"))
                   .arg(LocalNumber(result.seconds, 3));
        break;
    case PingOutcomeKind::Failed:
        what = result.errorText.isEmpty() ? tr("failed") : tr("failed (%1)").arg(result.errorText);
        break;
    case PingOutcomeKind::Cancelled:
        what = tr("cancelled");
        break;
    case PingOutcomeKind::NotChecked:
        what = tr("not checked");
        break;
    }
    return tr("%1 at %2").arg(what, LocalShortTime(result.finishedAt.toLocalTime().time()));
}

void TfMain_Vennatro::ShowTrayToolTip() {
    // The status lines come first, as the icon always had them: the countdown of automatic
    // ping is never pushed out by the lines added below.
    QString first = QLatin1String(ApplicationTitle);
    // Grey on the icon needs its reason in words: said before anything else.
    if (Session->Network()->CurrentState() == NetworkVerdict::State::Down)
        first = QCoreApplication::translate("Fmt", Fmt::NoNetworkTip) + QLatin1Char('\r') + first;
    if (!StatusText().isEmpty())
        first += QLatin1Char('\r') + StatusText();
    QStringList added;
    // The last result stays until the next ping: a glance at the icon says how it went.
    if (!m_lastResult.isEmpty()) {
        // The desktop cuts a tool-tip short: a long address must leave room for the result.
        QString address = m_lastAddress;
        if (address.size() > 60)
            address = address.left(57) + QStringLiteral("...");
        added << address + QStringLiteral(": ") + m_lastResult;
    }
    if (!m_watchSummary.isEmpty())
        added << m_watchSummary;
    const QString snoozed = SnoozeSummary();
    if (!snoozed.isEmpty())
        added << snoozed;
    NotifyIcon->SetToolTip(first, added.join(QLatin1Char('\r')));
}

void TfMain_Vennatro::UpdateLastPanel() {
    QStringList parts;
    if (!m_lastResult.isEmpty())
        parts << tr("Last: %1").arg(m_lastResult);
    const WatchList *watched = Session->Watched();
    if (watched->Count() > 0)
        parts << tr("%1 of %2 down").arg(watched->Outcomes().failed).arg(watched->Count());
    const QString text = parts.join(QStringLiteral("  \u00b7  "));
    if (text == StatusLastPanel->text())
        return;
    StatusLastPanel->setText(text);
    StatusLastPanel->setAccessibleName(text.isEmpty() ? tr("No ping yet") : text); // announced
}

QString TfMain_Vennatro::WatchSummary() const {
    const WatchList *watched = Session->Watched();
    const int count = watched->Count();
    if (count == 0)
        return QString();
    // Asked on every change of a row: a count, not a copy of each row.
    const int down = watched->Outcomes().failed;
    if (down == 0)
        return count == 1 ? tr("1 watched address up") : tr("%1 watched addresses up").arg(count);
    // The tool-tip is short; the dock has the whole list.
    QString names = watched->DownAddresses(3).join(QStringLiteral(", "));
    if (down > 3)
        names += QStringLiteral(", ...");
    return tr("%1 of %2 addresses down: %3").arg(down).arg(count).arg(names);
}

void TfMain_Vennatro::UpdateTrayBadge() {
    TrayBadge badge = m_mainBadge;
    // The last finished pings': a routine watched ping would make the icon flicker.
    const WatchList::Tally tally = Session->Watched()->Outcomes();
    if (tally.completed > 0)
        badge = WorseBadge(badge, TrayBadge::Completed);
    if (tally.slow > 0)
        badge = WorseBadge(badge, TrayBadge::Slow);
    if (tally.failed > 0)
        badge = WorseBadge(badge, TrayBadge::Failed);
    if (Session->Network()->CurrentState() == NetworkVerdict::State::Down)
        badge = TrayBadge::NoNetwork;
    const bool muted = AlertsMuted();
    if (badge == m_shownBadge && muted == m_shownMuted)
        return; // the desktop repaints the icon for every change it is handed
    m_shownBadge = badge;
    m_shownMuted = muted;
    NotifyIcon->SetIcon(BadgedIcon(windowIcon(), badge, muted));
}
