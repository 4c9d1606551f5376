// The watched addresses: each pinged by an engine of its own; the window shows them in a dock
// and sums their state up in the tray's tool-tip.

#include "app/Main.h"
#include "app/WatchPanel.h"
#include "engine/Formats.h"

#include <QAction>
#include <QComboBox>
#include <QMenu>
#include <QMenuBar>

void TfMain_Vennatro::CreateWatchList() {
    Alerts = new AlertPolicy(this);
    Engine->SetAlertPolicy(Alerts);
    Watched = new WatchList(Alerts, this);
    connect(Watched, &WatchList::logText, this, [this](const QString &entry) { AddToLog(entry); });
    connect(Watched, &WatchList::balloon, this,
            [this](const QString &text, const QString &title, int kind) {
                NotifyIcon->ShowBalloon(text, title, kind, 0);
            });
    connect(Watched, &WatchList::finished, Metrics, &MetricsPublisher::Record);
    connect(Watched, &WatchList::rowChanged, this, [this] { UpdateStatus(); });
    connect(Watched, &WatchList::rowsChanged, this, [this] {
        // Every watched address is a target of the metrics, pinged yet or not.
        for (const QString &address : Watched->Addresses())
            Metrics->Registry()->AddTarget(address);
        UpdateStatus();
    });

    WatchPanel = new TWatchPanel(Watched, ImageListStatus, this);
    WatchPanel->SetCurrentAddress([this] { return cmbAddress->currentText(); });
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

void TfMain_Vennatro::LoadWatchList() { Watched->Load(Options.WatchedAddresses); }

QString TfMain_Vennatro::WatchSummary() const {
    const int count = Watched ? Watched->Count() : 0;
    if (count == 0)
        return QString();
    QStringList down;
    for (int row = 0; row < count; ++row) {
        const WatchList::Row data = Watched->RowAt(row);
        if (data.state == WatchList::Failed)
            down << data.address;
    }
    if (down.isEmpty())
        return QStringLiteral("%1 watched addresses up").arg(count);
    // The tool-tip is short; the dock has the whole list.
    QString names = down.mid(0, 3).join(QStringLiteral(", "));
    if (down.size() > 3)
        names += QStringLiteral(", ...");
    return QStringLiteral("%1 of %2 addresses down: %3").arg(down.size()).arg(count).arg(names);
}
