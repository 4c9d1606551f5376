// Automatic ping of one address every N minutes, and the idle status display.

#include "app/Main.h"
#include "engine/Formats.h"
#include "engine/NetworkVerdict.h"
#include "engine/PingTarget.h"
#include "platform/gui/MessageBox.h"
#include "platform/gui/Translation.h"

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QTimer>

namespace {
// The status image's hint while nothing is under way.
const char *const InactiveHint = QT_TRANSLATE_NOOP("TfMain_Vennatro", "Inactive");
} // namespace

bool TfMain_Vennatro::AutoPingOn() const { return Session->AutoPingOn(); }

void TfMain_Vennatro::SetAutoPingChecked(bool on) { actAutoPing->setChecked(on); }

void TfMain_Vennatro::actAutoPingExecute() {
    if (AutoPingOn()) {
        Session->StopAutoPing();
        SetAutoPingChecked(false);
        UpdateStatus();
        return;
    }
    if (cmbAddress->currentText().isEmpty()) {
        ShowMessageBox(this, tr("No address specified."), tr("Warning"), MessageIcon::Warning);
        // Every control bound to the command ends up showing it off.
        SetAutoPingChecked(true);
        SetAutoPingChecked(false);
        return;
    }
    if (!ValidateAddress()) {
        SetAutoPingChecked(false);
        return;
    }
    Session->StartAutoPing(NormaliseAddress(cmbAddress->currentText()));
    SetAutoPingChecked(true);
}

void TfMain_Vennatro::TimerTimer() { Session->Scheduler()->TimerTimer(); }

void TfMain_Vennatro::UpdateStatus() {
    if (Session->Busy() || TimerNotification->isActive())
        return;
    QString text;
    if (AutoPingOn()) {
        const AutoPingScheduler *scheduler = Session->Scheduler();
        const qint32 remaining = scheduler->Remaining();
        text = QString::asprintf(TranslatedFormat("Fmt", Fmt::AutoPingStatus).constData(),
                                 Session->AutoPingAddress().toUtf8().constData(),
                                 int(scheduler->AutoPingSeconds() / 60), remaining / 60,
                                 remaining % 60);
    }
    SetStatusText(text);
    m_watchSummary = WatchSummary();
    ShowTrayToolTip();
    const bool noNetwork = Session->Network()->CurrentState() == NetworkVerdict::State::Down;
    const QString hint =
        noNetwork ? QCoreApplication::translate("Fmt", Fmt::NoNetworkTip) : tr(InactiveHint);
    if (StatusHint() != hint) {
        SetStatusHint(hint);
        ShowStatusImage(noNetwork ? 5 : 1);
    }
}

void TfMain_Vennatro::TimerNotificationTimer() {
    TimerNotification->stop();
    UpdateStatus();
}
