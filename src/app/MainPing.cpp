// The ping engine of the main window: target validation, the attempt cycle driven by the
// client socket's notifications, failures, retries and the failure alerts.

#include "app/Main.h"
#include "engine/PingTarget.h"
#include "platform/MessageBox.h"
#include "platform/WsaErrors.h"

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <exception>

namespace {

const QString SuccessBar = QStringLiteral("* * * * * * * * * * * * * * * * * * * * * * * * *");
const QString FailureBar =
    QStringLiteral("|  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |");

constexpr int ReceiveBufferSize = 65536;
constexpr int RetryPauseMs = 1000;

// Every text of the engine is built from a printf format; QString::asprintf reads %s as
// UTF-8, so user texts (addresses, server replies) are never taken for placeholders.
QByteArray U8(const QString &text) { return text.toUtf8(); }

QString Title() { return QLatin1String(ApplicationTitle); }

double SecondsSince(const QElapsedTimer &start) {
    return start.isValid() ? double(start.nsecsElapsed()) / 1e9 : 0.0;
}

// The received bytes up to the first NUL; a failed read counts as no bytes.
QString ResponseText(const QByteArray &buffer, int received) {
    QByteArray bytes = buffer.left(received > 0 ? received : 0);
    const qsizetype nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    return QString::fromUtf8(bytes);
}

// The first line of a response for the balloon: up to its first CR, empty without one.
QString ResponseFirstLine(const QString &response) {
    const qsizetype cr = response.indexOf(QLatin1Char('\r'));
    return cr < 0 ? QString() : response.left(cr);
}

// The mail library's message on one log line.
QString OneLine(QString message) {
    while (message.endsWith(QLatin1String("\r\n")))
        message.chop(2);
    return message.replace(QLatin1String("\r\n"), QLatin1String(" - "));
}

// Shows the hourglass for its lifetime, whatever way the scope is left.
class WaitCursor {
public:
    WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

} // namespace

bool TfMain_Vennatro::ValidateAddress() {
    const NormalisedAddress target = NormaliseAddress(cmbAddress->currentText());
    cmbAddress->setEditText(TrimControl(cmbAddress->currentText()));
    // The port changes even for an address that is then refused.
    ClientSocket->SetPort(target.https ? Options.HTTPSPort : Options.HTTPPort);
    if (!target.accepted) {
        ShowMessageBox(this, QLatin1String(SchemeRejectedText), windowTitle(),
                       MessageIcon::Warning);
        return false;
    }
    cmbAddress->setEditText(target.boxText);
    TargetHost = target.host;
    TargetPath = target.path;
    TargetAddress = target.boxText;

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
        ShowMessageBox(this, QStringLiteral("No address specified."), QStringLiteral("Warning"),
                       MessageIcon::Warning);
        return;
    }
    if (!ValidateAddress())
        return;
    AttemptCount = 0;
    StartPingAttempt();
}

void TfMain_Vennatro::StartPingAttempt() {
    if (AttemptCount >= Options.PingAttempts)
        return;
    ++AttemptCount;
    ++m_attemptSerial;
    ClientSocket->SetActive(false);
    ClientSocket->SetHost(TargetHost);
    PingBusy = true;
    PingOutcome = poPending;
    actPing->setEnabled(false);
    actAutoPing->setEnabled(false);
    actCancel->setEnabled(true);
    ShowStatusImage(0);
    const QString hint =
        QString::asprintf("Pinging %s (%d of %d attempts)", U8(TargetAddress).constData(),
                          int(AttemptCount), int(Options.PingAttempts));
    SetStatusHint(hint);
    SetStatusText(hint + QStringLiteral(" ..."));
    NotifyIcon->SetToolTip(Title() + QLatin1Char('\r') + StatusText());
    // Paint the new status before the socket work (and the pause) begins. User commands may
    // run here, "Cancel" among them.
    QCoreApplication::processEvents();
    if (AttemptCount > 1) {
        if (PauseBeforeRetry)
            PauseBeforeRetry(RetryPauseMs);
        else
            QThread::msleep(RetryPauseMs);
    }
    if (PingOutcome == poCancelled) {
        // Cancelled before the socket was opened: there is no handle whose disconnect would
        // end the attempt, so end it here instead of opening a ping nobody wants.
        ClientSocketDisconnect(ClientSocket, ClientSocket->Connection());
        return;
    }
    PingStartTime.start();
    ClientSocket->SetActive(true);
}

void TfMain_Vennatro::ClientSocketConnect(QObject *, TCustomWinSocket *Socket) {
    // The port alone decides: an HTTPS ping is complete once the connection stands.
    if (ClientSocket->Port() != Options.HTTPSPort)
        return;
    Socket->CloseConnection();
    AddToLog(SuccessBar +
             QString::asprintf("\r\n[%s] Connection to [%s] (port %d) completed in %.3f "
                               "seconds.\r\n\r\n",
                               U8(TimeStamp()).constData(), U8(TargetAddress).constData(),
                               ClientSocket->Port(), SecondsSince(PingStartTime)));
    if (Options.ShowNotifications && !Options.ShowOnlyErrorNotifications) {
        NotifyIcon->ShowBalloon(QString(), QString(), 0, 0);
        NotifyIcon->ShowBalloon(
            QString::asprintf("Connection to [%s] completed.", U8(TargetAddress).constData()),
            QStringLiteral("Ping OK"), 1, 0);
    }
}

void TfMain_Vennatro::ClientSocketWrite(QObject *, TCustomWinSocket *) {
    const QByteArray request = BuildHeadRequest(TargetPath, ClientSocket->Host(), UserAgent);
    ClientSocket->Connection()->SendBytes(request.constData(), int(request.size()));
}

void TfMain_Vennatro::ClientSocketRead(QObject *, TCustomWinSocket *) {
    QByteArray buffer(ReceiveBufferSize, '\0');
    const int received = ClientSocket->Connection()->ReceiveBytes(buffer.data(), ReceiveBufferSize);
    // A receive that failed has been through the error handler, which ended the attempt: it
    // must not be logged as completed.
    if (PingOutcome != poPending)
        return;
    const double seconds = SecondsSince(PingStartTime);
    const QString response = ResponseText(buffer, received);
    AddToLog(SuccessBar +
             QString::asprintf("\r\n[%s] Connection to [%s] (port %d) completed in %.3f "
                               "seconds.\r\n",
                               U8(TimeStamp()).constData(), U8(TargetAddress).constData(),
                               ClientSocket->Port(), seconds));
    if (Options.LogHTTPHeaders)
        AddToLog(QStringLiteral("Headers received from the server:\r\n\r\n") + response);
    else
        AddToLog(QString());
    if (Options.ShowNotifications && !Options.ShowOnlyErrorNotifications) {
        NotifyIcon->ShowBalloon(QString(), QString(), 0, 0);
        NotifyIcon->ShowBalloon(QString::asprintf("Connection to [%s] completed.\rResponse: %s",
                                                  U8(TargetAddress).constData(),
                                                  U8(ResponseFirstLine(response)).constData()),
                                QStringLiteral("Ping OK"), 1, 0);
    }
}

void TfMain_Vennatro::ClientSocketDisconnect(QObject *, TCustomWinSocket *) {
    PingBusy = false;
    TimerNotification->start();
    actPing->setEnabled(true);
    actAutoPing->setEnabled(true);
    actCancel->setEnabled(false);
    if (PingOutcome == poPending) {
        PingOutcome = poSucceeded;
        ShowStatusImage(2);
        const QString text =
            QString::asprintf("Connection to [%s] completed.", U8(TargetAddress).constData());
        SetStatusHint(text);
        SetStatusText(text);
    } else if (PingOutcome == poCancelled) {
        ShowStatusImage(1);
        const QString text =
            QString::asprintf("Connection to [%s] aborted.", U8(TargetAddress).constData());
        SetStatusHint(text);
        SetStatusText(text);
    }
    UpdateStatus();
}

void TfMain_Vennatro::actCancelExecute() {
    PingOutcome = poCancelled;
    // One more than the limit, so that no further attempt starts (saturating at the top).
    AttemptCount = qMax(Options.PingAttempts, Options.PingAttempts + 1);
    ClientSocket->Connection()->CloseConnection();
    AddToLog(FailureBar + QString::asprintf("\r\n[%s] Ping to [%s] aborted.\r\n\r\n",
                                            U8(TimeStamp()).constData(),
                                            U8(TargetAddress).constData()));
    if (Options.ShowNotifications) {
        NotifyIcon->ShowBalloon(QString(), QString(), 0, 0);
        NotifyIcon->ShowBalloon(
            QString::asprintf("Connection to [%s] aborted.", U8(TargetAddress).constData()),
            QStringLiteral("Connection cancelled"), 2, 0);
    }
}

QString TfMain_Vennatro::SocketErrorText(int code) const {
    QString text = SystemErrorText(code).left(255);
    while (!text.isEmpty() && (text.back().unicode() <= 32 || text.back() == QLatin1Char('.')))
        text.chop(1);
    return text;
}

void TfMain_Vennatro::ClientSocketError(QObject *, TCustomWinSocket *Socket, TErrorEvent ErrorEvent,
                                        int &ErrorCode) {
    if (!Socket)
        Socket = ClientSocket->Connection();
    const std::exception_ptr handling = std::current_exception();
    const QString errorText = handling ? ExceptionMessage(handling) : SocketErrorText(ErrorCode);
    if (PingOutcome != poCancelled)
        PingOutcome = poFailed;
    const QString savedBoxText = cmbAddress->currentText();

    bool errorPingDue = false;
    switch (ErrorEvent) {
    case eeSend:
        NotifyIcon->ShowBalloon(QString::asprintf("Error sending data to %s (%s): %s.",
                                                  U8(Socket->PeerHostName()).constData(),
                                                  U8(Socket->PeerAddress()).constData(),
                                                  U8(errorText).constData()),
                                QStringLiteral("Connection error"), 3, 0);
        break;
    case eeReceive:
        NotifyIcon->ShowBalloon(QString::asprintf("Error receiving data from %s (%s): %s.",
                                                  U8(Socket->PeerHostName()).constData(),
                                                  U8(Socket->PeerAddress()).constData(),
                                                  U8(errorText).constData()),
                                QStringLiteral("Connection error"), 3, 0);
        break;
    case eeConnect:
    case eeDisconnect:
    case eeLookup:
        if (ErrorEvent != eeLookup && LastErrorWasLookup && ErrorCode == Wsa::AddrNotAvail) {
            // The echo of a failed lookup: try the same attempt number again, silently.
            --AttemptCount;
            LastErrorWasLookup = false;
            break;
        }
        errorPingDue = Options.PingOnError && PingOutcome != poCancelled &&
                       AttemptCount >= Options.PingAttempts;
        ConnectionFailure(ErrorEvent, ErrorCode, errorText);
        break;
    default:
        NotifyIcon->ShowBalloon(QString::asprintf("Unknown socket error (%d): %s.", ErrorCode,
                                                  U8(errorText).constData()),
                                QStringLiteral("Connection error"), 3, 0);
        break;
    }

    ErrorCode = 0;
    Socket->CloseConnection();
    // The error ping follows the close: a socket that is still open refuses a new port.
    if (errorPingDue)
        StartErrorPing();
    // The next attempt waits until the socket has finished its own error processing (after a
    // failed lookup it closes the handle that is current when this handler returns). A ping
    // started in the meantime by the user or the scheduler takes precedence.
    const quint64 serial = m_attemptSerial;
    QMetaObject::invokeMethod(
        this,
        [this, serial] {
            if (serial == m_attemptSerial)
                StartPingAttempt();
        },
        Qt::QueuedConnection);
    cmbAddress->setEditText(savedBoxText);
}

void TfMain_Vennatro::ConnectionFailure(TErrorEvent errorEvent, int errorCode,
                                        const QString &errorText) {
    if (PingOutcome != poCancelled) {
        AddToLog(FailureBar +
                 QString::asprintf("\r\n[%s] Error connecting to [%s] (port %d): %s (%d).\r\n\r\n",
                                   U8(TimeStamp()).constData(), U8(TargetHost).constData(),
                                   ClientSocket->Port(), U8(errorText).constData(), errorCode));
        if (AttemptCount >= Options.PingAttempts) {
            if (Options.ShowNotifications)
                NotifyIcon->ShowBalloon(QString::asprintf("Connection to [%s] failed.\rError: %s",
                                                          U8(TargetAddress).constData(),
                                                          U8(errorText).constData()),
                                        QStringLiteral("Connection error"), 3, 0);
            ShowStatusImage(3);
            const QString text =
                QString::asprintf("Connection to [%s] failed.", U8(TargetAddress).constData());
            SetStatusHint(text);
            SetStatusText(text);
            if (Options.SendEmailOnError)
                SendFailureEmail(errorEvent, errorCode, errorText);
            // The error ping is started by the caller once the connection is closed.
        }
    }
    LastErrorWasLookup = errorEvent == eeLookup;
}

void TfMain_Vennatro::SendFailureEmail(TErrorEvent, int errorCode, const QString &errorText) {
    AddToLog(QString::asprintf("Sending email to failure notification address [%s]...",
                               U8(Options.ErrorEmailAddress).constData()));
    const WaitCursor hourglass;
    try {
        IdMessage.Body = QString::asprintf(
            "This is an automatic notification from Vennatro at %s.\r\n\r\n[%s] Error "
            "connecting to [%s] (port %d): %s (%d).\r\n",
            U8(ComputerName).constData(), U8(TimeStamp()).constData(), U8(TargetHost).constData(),
            ClientSocket->Port(), U8(errorText).constData(), errorCode);
        IdSMTP.Connect();
        IdSMTP.Send(IdMessage);
        IdSMTP.Disconnect();
        AddToLog(QStringLiteral("Notification email sent sucessfully.\r\n"));
    } catch (const EIdException &e) {
        AddToLog(QString::asprintf("Error sending notification email: %s\r\n",
                                   U8(OneLine(e.Message())).constData()));
    } catch (...) {
        NotifyIcon->ShowBalloon(ExceptionMessage(std::current_exception()), Title(), 3, 0);
    }
}

void TfMain_Vennatro::StartErrorPing() {
    AddToLog(QString::asprintf("Starting ping to failure notification address [%s]...\r\n",
                               U8(Options.ErrorPingAddress).constData()));
    cmbAddress->setEditText(Options.ErrorPingAddress);
    if (ValidateAddress())
        AttemptCount = 0;
}
