// Automatic ping of one address every N minutes, and the idle status display.

#include "app/Main.h"
#include "engine/Formats.h"
#include "engine/PingTarget.h"
#include "platform/gui/MessageBox.h"

#include <QAction>
#include <QComboBox>
#include <QTimer>

namespace {
const QString InactiveHint = QStringLiteral("Inactive");
} // namespace

bool TfMain_Vennatro::AutoPingOn() const { return Scheduler->Active(); }

void TfMain_Vennatro::SetAutoPingChecked(bool on) { actAutoPing->setChecked(on); }

void TfMain_Vennatro::actAutoPingExecute() {
    if (AutoPingOn()) {
        Scheduler->Stop();
        SetAutoPingChecked(false);
        UpdateStatus();
        return;
    }
    if (cmbAddress->currentText().isEmpty()) {
        ShowMessageBox(this, QStringLiteral("No address specified."), QStringLiteral("Warning"),
                       MessageIcon::Warning);
        // Every control bound to the command ends up showing it off.
        SetAutoPingChecked(true);
        SetAutoPingChecked(false);
        return;
    }
    if (!ValidateAddress()) {
        SetAutoPingChecked(false);
        return;
    }
    AutoTarget = NormaliseAddress(cmbAddress->currentText());
    AutoTargetAddress = Engine->TargetAddress;
    Engine->Ping();
    Scheduler->Start(Options.AutoPingInterval);
    SetAutoPingChecked(true);
}

void TfMain_Vennatro::TimerTimer() { Scheduler->TimerTimer(); }

void TfMain_Vennatro::UpdateStatus() {
    if (Engine->PingBusy || TimerNotification->isActive())
        return;
    QString text;
    if (AutoPingOn()) {
        const qint32 remaining = Scheduler->Remaining();
        text = QString::asprintf(Fmt::AutoPingStatus, AutoTargetAddress.toUtf8().constData(),
                                 int(Scheduler->AutoPingSeconds() / 60), remaining / 60,
                                 remaining % 60);
    }
    SetStatusText(text);
    // The last result stays until the next ping: a glance at the icon says how it went.
    QString tip = m_lastResultTip.isEmpty() ? QLatin1String(ApplicationTitle) : m_lastResultTip;
    if (!StatusText().isEmpty())
        tip += QLatin1Char('\r') + StatusText();
    m_watchSummary = WatchSummary();
    if (!m_watchSummary.isEmpty())
        tip += QLatin1Char('\r') + m_watchSummary;
    NotifyIcon->SetToolTip(tip);
    if (StatusHint() != InactiveHint) {
        SetStatusHint(InactiveHint);
        ShowStatusImage(1);
    }
}

void TfMain_Vennatro::TimerNotificationTimer() {
    TimerNotification->stop();
    UpdateStatus();
}
