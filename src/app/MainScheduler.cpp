// Automatic ping of one address every N minutes, and the idle status display.

#include "app/Main.h"
#include "engine/PingTarget.h"
#include "platform/MessageBox.h"

#include <QAction>
#include <QComboBox>
#include <QTimer>
#include <limits>

namespace {

constexpr quint32 DefaultAutoPingMinutes = 15;
const QString InactiveHint = QStringLiteral("Inactive");

quint32 AutoPingPeriodSeconds(quint32 intervalMinutes) {
    // The countdown is kept in a signed 32-bit counter: a period that does not fit there (an
    // overflowing or a negative stored interval) falls back to the default.
    constexpr quint32 maxMinutes = quint32(std::numeric_limits<qint32>::max()) / 60;
    if (intervalMinutes > maxMinutes)
        intervalMinutes = DefaultAutoPingMinutes;
    return intervalMinutes * 60;
}

} // namespace

bool TfMain_Vennatro::AutoPingOn() const { return Timer->isActive(); }

void TfMain_Vennatro::SetAutoPingChecked(bool on) { actAutoPing->setChecked(on); }

void TfMain_Vennatro::actAutoPingExecute() {
    if (AutoPingOn()) {
        Timer->stop();
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
    AutoTargetAddress = TargetAddress;
    AutoTargetHost = TargetHost;
    AutoTargetPath = TargetPath;
    AutoPingSeconds = AutoPingPeriodSeconds(Options.AutoPingInterval);
    AttemptCount = 0;
    StartPingAttempt();
    AutoPingElapsed = 0;
    Timer->start();
    SetAutoPingChecked(true);
}

void TfMain_Vennatro::TimerTimer() {
    if (quint32(AutoPingElapsed) != AutoPingSeconds) {
        ++AutoPingElapsed;
    } else if (!ClientSocket->Active() && !PingBusy) {
        // Due and the socket is free (no attempt looking up, connecting or connected).
        AutoPingElapsed = 0;
        TargetAddress = AutoTargetAddress;
        TargetHost = AutoTargetHost;
        TargetPath = AutoTargetPath;
        // The port belongs to the target too: a manual ping in between may have left the
        // other scheme's port on the socket.
        ClientSocket->SetPort(
            AutoTargetAddress.startsWith(QLatin1String("https://"), Qt::CaseInsensitive)
                ? Options.HTTPSPort
                : Options.HTTPPort);
        AttemptCount = 0;
        StartPingAttempt();
    }
    UpdateStatus();
}

void TfMain_Vennatro::UpdateStatus() {
    if (PingBusy || TimerNotification->isActive())
        return;
    QString text;
    if (AutoPingOn()) {
        const qint32 remaining = qint32(AutoPingSeconds) - AutoPingElapsed;
        text = QString::asprintf(
            "Enabled automatic ping to [%s] each %d minutes (next ping in %.2d:%.2d)",
            AutoTargetAddress.toUtf8().constData(), int(AutoPingSeconds / 60), remaining / 60,
            remaining % 60);
    }
    SetStatusText(text);
    const QString title = QLatin1String(ApplicationTitle);
    NotifyIcon->SetToolTip(StatusText().isEmpty() ? title
                                                  : title + QLatin1Char('\r') + StatusText());
    if (StatusHint() != InactiveHint) {
        SetStatusHint(InactiveHint);
        ShowStatusImage(1);
    }
}

void TfMain_Vennatro::TimerNotificationTimer() {
    TimerNotification->stop();
    UpdateStatus();
}
