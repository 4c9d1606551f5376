#pragma once

#include "engine/AcceptedStatus.h"
#include "engine/AlertMessage.h"
#include "engine/AlertPolicy.h"
#include "engine/MailSender.h"
#include "engine/PingResult.h"
#include "engine/PingTarget.h"
#include "net/ScktComp.h"
#include "platform/Smtp.h"
#include "store/Options.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <exception>
#include <memory>

enum TPingOutcome { poPending, poSucceeded, poFailed, poCancelled, poNotChecked };

// What the engine needs besides the settings record: texts the program computes once.
struct EngineContext {
    QString userAgent;
    QString computerName;
    QString mailAgent;
};

class NetworkVerdict;
class Resolver;
class TlsClient;
class TlsContext;

// The ping of one address at a time: the attempt cycle driven by the client socket's
// notifications, the time-out of an attempt, retries, and the failure alerts (e-mail, error
// ping). It holds no widget and no presentation: it reports every step by a domain signal, in
// the order the effects must happen, and a view turns them into what it shows. The handlers
// keep the names a reader of the ping's description knows (StartPingAttempt,
// ClientSocketConnect, ...); they and the ping state are private (tests reach them through
// tests/support/EngineProbe.h).
class PingEngine : public QObject {
    Q_OBJECT
public:
    explicit PingEngine(QObject *parent = nullptr);
    ~PingEngine() override;

    // The settings are a value: a change in the options dialog reaches the engine only here.
    void ApplySettings(const TOptions &options, const EngineContext &context);
    const TOptions &Settings() const { return m_options; }

    // Takes an accepted address as the target of the next ping (the port of the address, or
    // the HTTP/HTTPS port setting). Returns false, changing nothing, for a refused one.
    bool SetTarget(const NormalisedAddress &target);
    // The port the socket uses for a target: the address's own, else the setting.
    int PortFor(const NormalisedAddress &target) const;
    // The normalised address of the target.
    const QString &Target() const { return TargetAddress; }

    // A new ping of the target: attempt counting starts anew.
    void Ping();
    // Ends the ping under way at once (also during the pause before a retry).
    void Cancel();
    // A ping is under way (also in the pause before a retry, and while a failure waits for the
    // network's verdict or the next attempt for the network).
    bool Busy() const { return PingBusy || m_judging || m_networkWait.isActive(); }
    // A ping is under way or its socket is still open: a new ping would have to wait.
    bool Active() const;
    // Marks the next ping as the ping of the error ping address.
    void SetErrorPing(bool on) { m_errorPing = on; }
    // The ping under way (or the last one) is the error ping's: a view must not show its
    // result as that of the address that failed.
    bool ErrorPingUnderWay() const { return m_pingIsErrorPing; }
    // The alert state of every address; shared by the engines of one program. Not owned; the
    // engine's own when none is given.
    void SetAlertPolicy(AlertPolicy *policy) { m_alerts = policy ? policy : &m_ownAlerts; }
    // Ends an e-mail under way (Exit, a signal): it fails as "aborted".
    void AbortMail() { m_mail.Abort(); }
    // Not owned; the system's resolver by default.
    void SetResolver(Resolver *resolver);
    // Tells a failure of this computer's network, or a sleep, from the site's: such a ping
    // ends not checked and alerts nothing. Not owned; none by default (every failure is the
    // site's).
    void SetNetworkVerdict(NetworkVerdict *verdict);
    // The computer goes to sleep: a ping waiting for its answer, a verdict or its next attempt
    // ends not checked, without a verdict.
    void Sleep();
    // The authorities of the TLS check, shared by the engines of a program; the engine makes
    // its own when none is given.
    void SetTlsContext(std::shared_ptr<TlsContext> context) { m_tlsContext = std::move(context); }

    // ---- seams for tests ----
    void SetRetryPauseMs(int ms) { m_retryPause.setInterval(ms); }
    // The time-out of an attempt in milliseconds; by default the "Ping timeout" setting.
    void SetAttemptTimeoutMs(int ms) { m_timeoutOverrideMs = ms; }

signals:
    // An attempt begins.
    void attemptStarted(const QString &address, int attempt, int attempts);
    // Once a second from 3 s on while an attempt waits for its answer.
    void attemptWaiting(const QString &address, int attempt, int attempts, int seconds);
    // The pause before a retry begins.
    void retryPaused(int ms);
    // A log entry, with its CR LF line breaks.
    void logText(const QString &entry);
    // The completion was logged: connectOnly for a connect (https), else the answer's first
    // line.
    void answered(const QString &address, bool connectOnly, const QString &firstLine);
    // The last attempt failed, before the alerts it may raise.
    void pingFailed(const QString &address, const QString &errorText);
    // An attempt failed; final: no attempt follows and the alerts ran.
    void attemptFailed(TErrorEvent kind, int code, const QString &text, bool final);
    // A failure of a kind no attempt expects.
    void unknownError(int code, const QString &text);
    // The ping was cancelled (its log entry is written).
    void cancelled(const QString &address);
    // The ping ends not checked (its log entry is written): this computer had no network or
    // slept. Nothing alerts; finished follows.
    void notChecked(const QString &address, NotCheckedReason reason);
    // The connection of the ping closed: it completed, or a cancel ended it.
    void connectionEnded(const QString &address, PingOutcomeKind outcome);
    // The attempt was logged as completed.
    void completed(const PingResult &result);
    // The ping is over, one signal a ping.
    void finished(const PingResult &result);
    // The address answers again after an alerted failure; its recovery e-mail follows.
    void recovered(const QString &address, qint64 downSeconds);
    // The alert policy raised an alert (down, a repeat, up), before its e-mail: for the
    // notification channels.
    void alertRaised(const AlertEvent &event);
    // A completed ping above "Slow above" begins a slow episode of the address.
    void slowStarted(const QString &address, double seconds);
    // The certificate of the address expires within "Warn before certificate expiry" days;
    // once a day. Its e-mail follows.
    void certificateExpiring(const QString &address, int days, const QDateTime &expiry);
    // The socket is closed and the ping is idle (also between attempts).
    void idle();
    void mailStarted();
    void mailFinished(bool sent);
    // The error ping address is due: the receiver validates it and calls SetTarget,
    // synchronously.
    void errorPingRequested(const QString &address);
    // Something went wrong that no ping step expects; its message for the user.
    void unexpectedError(const QString &message);
    // An exception escaped a handler (the socket's or the engine's own).
    void handlerException(std::exception_ptr error);

private:
    friend class EngineProbe;

    // ---- ping target and state ----
    QString TargetAddress;
    QString TargetHost;
    QString TargetHostHeader;
    QString TargetPath;
    int TargetPort = 0;
    bool TargetHttps = false;
    bool TargetPortGiven = false; // the address named its port
    quint32 AttemptCount = 0;
    QElapsedTimer PingStartTime; // monotonic: a clock change never distorts the figure
    bool PingBusy = false;
    TPingOutcome PingOutcome = poPending;
    bool LastErrorWasLookup = false;

    TClientSocket *ClientSocket = nullptr;
    TIdSMTP IdSMTP;
    TIdMessage IdMessage;

    // ---- handlers ----
    void StartPingAttempt();
    void actCancelExecute();
    void ClientSocketConnecting(QObject *Sender, TCustomWinSocket *Socket);
    void ClientSocketConnect(QObject *Sender, TCustomWinSocket *Socket);
    void ClientSocketWrite(QObject *Sender, TCustomWinSocket *Socket);
    void ClientSocketRead(QObject *Sender, TCustomWinSocket *Socket);
    void ClientSocketDisconnect(QObject *Sender, TCustomWinSocket *Socket);
    void ClientSocketError(QObject *Sender, TCustomWinSocket *Socket, TErrorEvent ErrorEvent,
                           int &ErrorCode);
    void AttemptTimeout();

    void OpenAttempt();
    void HandleFailure(TErrorEvent event, int code, const QString &text, TCustomWinSocket *socket,
                       bool closeSocket);
    void FinishFailure(TErrorEvent event, int code, const QString &text, TCustomWinSocket *socket,
                       bool closeSocket, bool lineLogged);
    void ConnectionFailure(TErrorEvent errorEvent, int errorCode, const QString &errorText,
                           const AlertPolicy::FailureDecision *decision, bool lineLogged);
    void AlertOnFailure(const AlertPolicy::FailureDecision &decision, TErrorEvent errorEvent,
                        int errorCode, const QString &errorText);
    void LogErrorLine(int errorCode, const QString &errorText);
    bool HoldForVerdict(TErrorEvent event, int code, const QString &text, TCustomWinSocket *socket,
                        bool closeSocket);
    void OnJudged(bool noNetwork);
    void MarkNotChecked(NotCheckedReason reason);
    void EndNotChecked(NotCheckedReason reason);
    bool NotMeasured(double seconds, bool timedOut) const;
    int AttemptTimeoutMs() const;
    void SendFailureEmail(TErrorEvent errorEvent, int errorCode, const QString &errorText);
    void SendRecoveryEmail(qint64 downSeconds);
    bool SendEmail(const QString &subject, const QString &body);
    void Recovered();
    void CheckCompleted();
    void WarnOfCertificate();
    bool RefuseAnswer(TCustomWinSocket *socket, bool closeSocket);
    bool CompletedSlow(double seconds) const;
    void StartTls();
    void TlsReceived(TCustomWinSocket *socket, const char *data, int size);
    bool FlushTls();
    void AnswerReceived(TCustomWinSocket *socket, const char *data, int size);
    void StartErrorPing();
    void LogCompletion();
    QString CompletionEntry(double seconds, bool slow) const;
    void CloseByUs(TCustomWinSocket *socket);
    void StopAttemptTimers();
    void EmitFinished(PingOutcomeKind outcome);
    PingResult MakeResult(PingOutcomeKind outcome) const;
    template <typename Fn> void Guard(Fn &&fn);
    bool HttpsExchange() const;
    bool ConnectOnly() const;
    double SecondsSinceStart() const;
    QString SocketErrorText(int code) const;
    QString LoggedHost() const;

    TOptions m_options;
    AlertPolicy m_ownAlerts;
    AlertPolicy *m_alerts = &m_ownAlerts;
    MailSender m_mail;
    EngineContext m_context;
    quint64 m_attemptSerial = 0;   // a retry posted after an error checks it
    quint32 m_attemptsStarted = 0; // for the result: a cancel raises AttemptCount past the limit
    QTimer m_retryPause;
    QTimer m_attemptTimer; // the time-out of one attempt
    QTimer m_waitTicker;   // the seconds waited, for the status
    int m_timeoutOverrideMs = -1;
    QByteArray m_answer; // the answer's head, up to the status line or the headers
    bool m_answerStarted = false;
    bool m_answerLogged = false;
    bool m_weClosed = false; // the close under way is ours, not the server's
    bool m_disconnectSeen = false;
    bool m_finishedEmitted = true;
    bool m_errorPing = false;
    bool m_pingIsErrorPing = false;
    bool m_targetAccepted = false; // SetTarget took an address (the error ping checks it)
    double m_lookupSeconds = -1;
    double m_connectSeconds = -1;
    double m_firstByteSeconds = -1;
    int m_lastErrorCode = 0;
    QString m_lastErrorText;
    NetworkVerdict *m_network = nullptr;
    bool m_judging = false;        // a failed attempt waits for the network's verdict
    bool m_waitForNetwork = false; // the next attempt waits for the network to come back
    QTimer m_networkWait;          // the longest it waits: an attempt's time-out
    TErrorEvent m_heldEvent = eeGeneral;
    int m_heldCode = 0;
    QString m_heldText;
    qint64 m_suspendedAtStart = -1; // the time suspended when the attempt opened
    NotCheckedReason m_notChecked = NotCheckedReason::None;
    AcceptedStatus m_acceptedStatus;
    std::shared_ptr<TlsContext> m_tlsContext;
    std::unique_ptr<TlsClient> m_tls; // the attempt's TLS session
    bool m_attemptTls = false;        // the attempt checks TLS (fixed at its start)
    QByteArray m_tlsOutgoing;         // for the server, not sent yet
    double m_tlsSeconds = -1;
    double m_endSeconds = -1; // when the attempt failed
    int m_ipProtocol = 0;
    bool m_slow = false;
};
