// The window's side of the ping: the address box feeds the session, the session's signals
// update the log, the status display, the tray and the commands.

#include "app/Main.h"
#include "app/PingNotifier.h"
#include "engine/Formats.h"
#include "engine/PingTarget.h"
#include "platform/AppErrors.h"
#include "platform/gui/MessageBox.h"
#include "platform/gui/Translation.h"

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>

namespace {
QByteArray U8(const QString &text) { return text.toUtf8(); }
// The window's language for a format of the engine (its log and e-mails stay English).
const char *Tr(const char *format, QByteArray &&kept = {}) {
    kept = TranslatedFormat("Fmt", format);
    return kept.constData();
}
} // namespace

bool TfMain_Vennatro::ValidateAddress() {
    const NormalisedAddress target = NormaliseAddress(cmbAddress->currentText());
    cmbAddress->setEditText(TrimControl(cmbAddress->currentText()));
    if (!Session->SetTarget(target)) {
        ShowMessageBox(this,
                       QCoreApplication::translate(
                           "PingTarget", target.badPort ? InvalidPortText : SchemeRejectedText),
                       windowTitle(), MessageIcon::Warning);
        return false;
    }
    cmbAddress->setEditText(target.boxText);

    QStringList recent;
    recent.reserve(cmbAddress->count());
    for (int i = 0; i < cmbAddress->count(); ++i)
        recent << cmbAddress->itemText(i);
    UpdateRecentList(recent, target.boxText);
    // Rebuilding the items clears the edit text, so the box text is written back.
    cmbAddress->clear();
    cmbAddress->addItems(recent);
    cmbAddress->setEditText(target.boxText);
    return true;
}

void TfMain_Vennatro::actPingExecute() {
    if (cmbAddress->currentText().isEmpty()) {
        ShowMessageBox(this, tr("No address specified."), tr("Warning"), MessageIcon::Warning);
        return;
    }
    if (!ValidateAddress())
        return;
    Session->PingNow();
}

void TfMain_Vennatro::actCancelExecute() { Session->Cancel(); }

void TfMain_Vennatro::SetPingCommandsIdle(bool idle) {
    actPing->setEnabled(idle);
    actAutoPing->setEnabled(idle);
    actCancel->setEnabled(!idle);
}

bool TfMain_Vennatro::ValidateErrorPingAddress(const QString &address) {
    // The error ping goes through the address box like a typed one; the box then shows what
    // it showed before.
    const QString saved = cmbAddress->currentText();
    cmbAddress->setEditText(address);
    const bool accepted = ValidateAddress();
    cmbAddress->setEditText(saved);
    return accepted;
}

void TfMain_Vennatro::ConnectSession() {
    // Direct connections: every effect happens inside the engine's step, in its order.
    connect(Session, &PingSession::attemptStarted, this,
            [this](const QString &address, int attempt, int attempts) {
                SetPingCommandsIdle(false);
                // The error ping leaves the failure on show: it is not the address that failed.
                if (Session->ErrorPingUnderWay())
                    return;
                ShowStatusImage(0);
                const QString hint = QString::asprintf(Tr(Fmt::PingingStatus),
                                                       U8(address).constData(), attempt, attempts);
                SetStatusHint(hint);
                SetStatusText(hint + QStringLiteral(" ..."));
                ShowTrayToolTip();
            });
    connect(Session, &PingSession::attemptWaiting, this,
            [this](const QString &address, int attempt, int attempts, int seconds) {
                if (Session->ErrorPingUnderWay())
                    return;
                SetStatusText(QString::asprintf(Tr(Fmt::PingingWaitedStatus),
                                                U8(address).constData(), attempt, attempts,
                                                seconds) +
                              QStringLiteral(" ..."));
                ShowTrayToolTip();
            });
    connect(Session, &PingSession::logEntry, this, &TfMain_Vennatro::AddEntry);
    connect(Notifier, &PingNotifier::balloon, this,
            [this](const QString &text, const QString &title, int kind) {
                NotifyIcon->ShowBalloon(text, title, kind, 0);
            });
    connect(Notifier, &PingNotifier::statusChanged, this, [this](int image, const QString &text) {
        ShowStatusImage(image);
        SetStatusHint(text);
        SetStatusText(text);
    });
    connect(Session, &PingSession::idle, this, [this] {
        TimerNotification->start();
        SetPingCommandsIdle(true);
        UpdateStatus();
    });
    connect(Session, &PingSession::mailStarted, this, [this] {
        // The window stays usable while the mail goes out: a status text, not an hourglass.
        m_statusBeforeMail = StatusText();
        SetStatusText(QCoreApplication::translate("Fmt", Fmt::SendingEmailStatus));
    });
    connect(Session, &PingSession::mailFinished, this, [this] {
        // Put back only over the mail's own text: a Cancel during the send has said "aborted."
        // meanwhile, and that is what the status bar must keep.
        if (StatusText() == QCoreApplication::translate("Fmt", Fmt::SendingEmailStatus))
            SetStatusText(m_statusBeforeMail);
    });
    Session->SetErrorPingHandler(
        [this](const QString &address) { return ValidateErrorPingAddress(address); });
}
