#include "engine/PingEngine.h"

#include "engine/Formats.h"
#include "engine/NetworkVerdict.h"
#include "net/TlsClient.h"
#include "platform/Resolver.h"
#include "platform/WsaErrors.h"

#include <QDateTime>
#include <QMetaObject>
#include <utility>

namespace {

constexpr int ReceiveBufferSize = 65536;
constexpr int HeadLimit = 65536; // the most of an answer's head ever kept
constexpr int RetryPauseMs = 1000;
constexpr int WaitShownAfterSeconds = 2;
constexpr int TimeoutErrorCode = 10060;
// A time-out that came this much past its time, or 10% of it, came late because the process
// stood still: nothing was measured.
constexpr double StallMarginSeconds = 2.0;

QByteArray U8(const QString &text) { return text.toUtf8(); }

QString F(const char *format) { return QString::fromUtf8(format); }

// The first line of an answer: up to its first CR, empty without one.
QString FirstLine(const QString &answer) {
    const qsizetype cr = answer.indexOf(QLatin1Char('\r'));
    return cr < 0 ? QString() : answer.left(cr);
}

// The mail library's message on one log line.
QString OneLine(QString message) {
    while (message.endsWith(QLatin1String("\r\n")))
        message.chop(2);
    return message.replace(QLatin1String("\r\n"), QLatin1String(" - "));
}

} // namespace

PingEngine::PingEngine(QObject *parent) : QObject(parent) {
    ClientSocket = new TClientSocket(this);
    ClientSocket->SetClientType(ctNonBlocking);
    ClientSocket->SetPort(80);
    ClientSocket->OnConnecting = [this](QObject *s, TCustomWinSocket *c) {
        ClientSocketConnecting(s, c);
    };
    ClientSocket->OnConnect = [this](QObject *s, TCustomWinSocket *c) {
        ClientSocketConnect(s, c);
    };
    ClientSocket->OnWrite = [this](QObject *s, TCustomWinSocket *c) { ClientSocketWrite(s, c); };
    ClientSocket->OnRead = [this](QObject *s, TCustomWinSocket *c) { ClientSocketRead(s, c); };
    ClientSocket->OnDisconnect = [this](QObject *s, TCustomWinSocket *c) {
        ClientSocketDisconnect(s, c);
    };
    ClientSocket->OnError = [this](QObject *s, TCustomWinSocket *c, TErrorEvent e, int &code) {
        ClientSocketError(s, c, e, code);
    };
    connect(ClientSocket, &TClientSocket::handlerException, this, &PingEngine::handlerException);

    m_retryPause.setSingleShot(true);
    m_retryPause.setInterval(RetryPauseMs);
    m_retryPause.setTimerType(Qt::PreciseTimer); // a second means at least a second
    connect(&m_retryPause, &QTimer::timeout, this, [this] { Guard([this] { OpenAttempt(); }); });
    m_attemptTimer.setSingleShot(true);
    // A coarse timer may end an attempt up to 5 % early: "--timeout 2" would give 1.9 s.
    m_attemptTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_attemptTimer, &QTimer::timeout, this,
            [this] { Guard([this] { AttemptTimeout(); }); });
    m_waitTicker.setInterval(1000);
    m_waitTicker.setTimerType(Qt::PreciseTimer); // "3 s" is shown at three seconds, not before
    connect(&m_waitTicker, &QTimer::timeout, this, [this] {
        const int waited = int(SecondsSinceStart());
        if (waited > WaitShownAfterSeconds)
            emit attemptWaiting(TargetAddress, int(AttemptCount), int(m_options.PingAttempts),
                                waited);
    });
    m_networkWait.setSingleShot(true);
    connect(&m_networkWait, &QTimer::timeout, this, [this] { Guard([this] { OpenAttempt(); }); });
    m_options = DefaultOptions();
}

PingEngine::~PingEngine() {
    // No handler may run into a half-destroyed engine.
    ClientSocket->OnConnecting = nullptr;
    ClientSocket->OnConnect = nullptr;
    ClientSocket->OnDisconnect = nullptr;
    ClientSocket->OnRead = nullptr;
    ClientSocket->OnWrite = nullptr;
    ClientSocket->OnError = nullptr;
}

template <typename Fn> void PingEngine::Guard(Fn &&fn) {
    try {
        fn();
    } catch (...) {
        emit handlerException(std::current_exception());
    }
}

void PingEngine::ApplySettings(const TOptions &options, const EngineContext &context) {
    m_options = options;
    m_context = context;
    IdSMTP.Host = options.SMTPServer;
    IdSMTP.Port = options.SMTPPort;
    IdSMTP.Username = options.SMTPUser;
    IdSMTP.Password = options.SMTPPassword;
    IdSMTP.MailAgent = context.mailAgent;
    IdMessage.From = options.FromAddress;
    IdMessage.Recipients = QStringList{options.ErrorEmailAddress};
    IdSMTP.Security = int(options.SMTPSecurity);
    m_ownAlerts.SetRepeatMinutes(options.RepeatAlertsEvery);
    m_ownAlerts.SetAlertAfter(options.AlertAfter);
    // A value that is not a list of codes accepts every answer (the session says so once).
    m_acceptedStatus = AcceptedStatus::Parse(options.AcceptedHTTPStatus).value_or(AcceptedStatus());
}

int PingEngine::PortFor(const NormalisedAddress &target) const {
    if (target.port > 0)
        return target.port;
    return target.https ? m_options.HTTPSPort : m_options.HTTPPort;
}

bool PingEngine::SetTarget(const NormalisedAddress &target) {
    // The port changes even for an address that is then refused.
    ClientSocket->SetPort(PortFor(target));
    if (!target.accepted)
        return false;
    TargetAddress = target.boxText;
    TargetHost = target.host;
    TargetHostHeader = target.hostHeader.isEmpty() ? target.host : target.hostHeader;
    TargetPath = target.path;
    TargetPort = PortFor(target);
    TargetHttps = target.https;
    TargetPortGiven = target.port > 0;
    m_targetAccepted = true;
    return true;
}

void PingEngine::Ping() {
    m_judging = false;
    m_waitForNetwork = false;
    m_networkWait.stop();
    m_notChecked = NotCheckedReason::None;
    m_pingIsErrorPing = m_errorPing;
    m_errorPing = false;
    m_finishedEmitted = false;
    AttemptCount = 0;
    StartPingAttempt();
}

bool PingEngine::HttpsExchange() const {
    // With a port in the address the scheme decides; otherwise the port alone, as it always
    // did: an address on the HTTPS port is complete once the connection stands.
    if (TargetPortGiven)
        return TargetHttps;
    return ClientSocket->Port() == m_options.HTTPSPort;
}

bool PingEngine::ConnectOnly() const { return HttpsExchange() && !m_attemptTls; }

double PingEngine::SecondsSinceStart() const {
    return PingStartTime.isValid() ? double(PingStartTime.nsecsElapsed()) / 1e9 : 0.0;
}

bool PingEngine::Active() const { return ClientSocket->Active() || PingBusy; }

void PingEngine::SetResolver(Resolver *resolver) { ClientSocket->SetResolver(resolver); }

void PingEngine::SetNetworkVerdict(NetworkVerdict *verdict) {
    if (m_network)
        m_network->disconnect(this);
    m_network = verdict;
    if (!verdict)
        return;
    connect(verdict, &NetworkVerdict::judged, this,
            [this](bool noNetwork) { Guard([this, noNetwork] { OnJudged(noNetwork); }); });
    connect(verdict, &NetworkVerdict::back, this, [this] {
        if (m_networkWait.isActive()) {
            m_networkWait.stop();
            Guard([this] { OpenAttempt(); });
        }
    });
    connect(verdict, &NetworkVerdict::sleeping, this, [this] { Guard([this] { Sleep(); }); });
}

int PingEngine::AttemptTimeoutMs() const {
    return m_timeoutOverrideMs >= 0 ? m_timeoutOverrideMs
                                    : int(qBound<quint32>(1, m_options.PingTimeout, 3600) * 1000);
}

void PingEngine::Cancel() { actCancelExecute(); }

void PingEngine::StartPingAttempt() {
    if (AttemptCount >= m_options.PingAttempts)
        return;
    ++AttemptCount;
    m_attemptsStarted = AttemptCount;
    ++m_attemptSerial;
    StopAttemptTimers();
    ClientSocket->SetActive(false);
    ClientSocket->SetHost(TargetHost);
    if (TargetPort > 0 && ClientSocket->Port() != TargetPort && !ClientSocket->Active())
        ClientSocket->SetPort(TargetPort);
    PingBusy = true;
    PingOutcome = poPending;
    m_answer.clear();
    m_answerStarted = false;
    m_answerLogged = false;
    m_weClosed = false;
    m_lookupSeconds = m_connectSeconds = m_firstByteSeconds = -1;
    m_tls.reset();
    m_tlsOutgoing.clear();
    // An https address only: an http one on the HTTPS port stays a connect, as it always was.
    m_attemptTls = m_options.CheckTLS && TargetHttps && HttpsExchange();
    m_tlsSeconds = m_endSeconds = -1;
    m_ipProtocol = 0;
    m_slow = false;
    PingStartTime.invalidate();
    emit attemptStarted(TargetAddress, int(AttemptCount), int(m_options.PingAttempts));
    if (std::exchange(m_waitForNetwork, false) && m_network && !m_network->NetworkUp()) {
        // No retry storm while the network is gone: the attempt waits for it to come back,
        // an attempt's time-out at most.
        emit retryPaused(AttemptTimeoutMs());
        m_networkWait.start(AttemptTimeoutMs());
        return;
    }
    if (AttemptCount > 1 && m_retryPause.interval() > 0) {
        // A timer, not a sleep: the program stays responsive and Cancel ends the pause.
        emit retryPaused(m_retryPause.interval());
        m_retryPause.start();
        return;
    }
    OpenAttempt();
}

void PingEngine::OpenAttempt() {
    if (PingOutcome == poCancelled) {
        // Cancelled before the socket was opened: there is no handle whose disconnect would
        // end the attempt, so end it here instead of opening a ping nobody wants.
        ClientSocketDisconnect(ClientSocket, ClientSocket->Connection());
        return;
    }
    if (m_attemptTls) {
        // The authorities are loaded before the clock starts: the time is the network's.
        if (!m_tlsContext)
            m_tlsContext = std::make_shared<TlsContext>();
        m_tlsContext->Prepare();
    }
    PingStartTime.start();
    if (m_network) {
        m_network->CheckClocks();
        m_suspendedAtStart = m_network->SuspendedMs();
    }
    m_attemptTimer.start(AttemptTimeoutMs());
    m_waitTicker.start();
    ClientSocket->SetActive(true);
}

void PingEngine::StopAttemptTimers() {
    m_attemptTimer.stop();
    m_waitTicker.stop();
}

void PingEngine::ClientSocketConnecting(QObject *, TCustomWinSocket *) {
    if (PingStartTime.isValid())
        m_lookupSeconds = SecondsSinceStart();
}

void PingEngine::ClientSocketConnect(QObject *, TCustomWinSocket *Socket) {
    m_connectSeconds = SecondsSinceStart();
    m_ipProtocol = Socket && Socket->IPv6() ? 6 : 4;
    if (m_attemptTls) {
        StartTls();
        return;
    }
    if (!HttpsExchange())
        return;
    StopAttemptTimers();
    m_answerLogged = true;
    if (NotMeasured(m_connectSeconds, false)) {
        MarkNotChecked(NotCheckedReason::Asleep);
        CloseByUs(Socket);
        return;
    }
    m_slow = CompletedSlow(m_connectSeconds);
    // Logged and announced before the close, as the http path does: the close ends the ping,
    // and a recovery it reports (notice, e-mail) must come after the completion, not be hidden
    // by the completion balloon's hiding call.
    emit logText(CompletionEntry(m_connectSeconds, m_slow) + QStringLiteral("\r\n"));
    emit answered(TargetAddress, true, QString());
    CloseByUs(Socket);
}

void PingEngine::ClientSocketWrite(QObject *, TCustomWinSocket *) {
    if (m_attemptTls) {
        FlushTls();
        return;
    }
    const QByteArray request = BuildHeadRequest(TargetPath, TargetHostHeader, m_context.userAgent);
    ClientSocket->Connection()->SendBytes(request.constData(), int(request.size()));
}

void PingEngine::ClientSocketRead(QObject *, TCustomWinSocket *Socket) {
    QByteArray buffer(ReceiveBufferSize, '\0');
    const int received = ClientSocket->Connection()->ReceiveBytes(buffer.data(), ReceiveBufferSize);
    // A receive that failed has been through the error handler, which ended the attempt.
    if (PingOutcome != poPending || m_answerLogged || received <= 0)
        return;
    if (m_tls)
        TlsReceived(Socket, buffer.constData(), received);
    else
        AnswerReceived(Socket, buffer.constData(), received);
}

void PingEngine::AnswerReceived(TCustomWinSocket *Socket, const char *data, int size) {
    if (!m_answerStarted) {
        // The first answer bytes complete the ping and fix its time.
        m_answerStarted = true;
        m_firstByteSeconds = SecondsSinceStart();
    }
    m_answer.append(data, qMin<qsizetype>(size, HeadLimit - m_answer.size()));
    // Read on only to the status line, or to the end of the headers when they are logged;
    // the body is never read.
    const bool done =
        m_answer.size() >= HeadLimit ||
        (m_options.LogHTTPHeaders ? HeaderBlockEnd(m_answer) >= 0 : StatusLineEnd(m_answer) >= 0);
    if (!done)
        return;
    StopAttemptTimers();
    if (RefuseAnswer(Socket, true))
        return;
    LogCompletion();
    CloseByUs(Socket);
}

void PingEngine::StartTls() {
    if (!m_tlsContext)
        m_tlsContext = std::make_shared<TlsContext>();
    m_tls = std::make_unique<TlsClient>(*m_tlsContext, TargetHost);
    // The client's first message goes out with the write notification that follows.
    const TlsClient::State state = m_tls->Advance();
    m_tlsOutgoing = m_tls->TakeOutgoing();
    if (state == TlsClient::State::Failed)
        HandleFailure(eeConnect, 0, m_tls->ErrorText(), ClientSocket->Connection(), true);
}

bool PingEngine::FlushTls() {
    TCustomWinSocket *connection = ClientSocket->Connection();
    while (!m_tlsOutgoing.isEmpty() && PingOutcome == poPending && connection->Connected()) {
        const int sent =
            connection->SendBytes(m_tlsOutgoing.constData(), int(m_tlsOutgoing.size()));
        if (sent <= 0)
            break; // would block: the next write notification sends the rest
        m_tlsOutgoing.remove(0, sent);
    }
    return PingOutcome == poPending;
}

void PingEngine::TlsReceived(TCustomWinSocket *socket, const char *data, int size) {
    m_tls->Feed(data, size);
    if (m_tls->CurrentState() == TlsClient::State::Handshaking) {
        const TlsClient::State state = m_tls->Advance();
        m_tlsOutgoing += m_tls->TakeOutgoing();
        if (state == TlsClient::State::Failed) {
            // The alert that tells the server why goes out before the close.
            if (FlushTls())
                HandleFailure(eeConnect, 0, m_tls->ErrorText(), socket, true);
            return;
        }
        if (state == TlsClient::State::Handshaking) {
            FlushTls();
            return;
        }
        m_tlsSeconds = SecondsSinceStart();
        m_tls->Write(BuildHeadRequest(TargetPath, TargetHostHeader, m_context.userAgent));
        m_tlsOutgoing += m_tls->TakeOutgoing();
    }
    const QByteArray plain = m_tls->Read();
    m_tlsOutgoing += m_tls->TakeOutgoing();
    if (!FlushTls() || plain.isEmpty())
        return;
    AnswerReceived(socket, plain.constData(), int(plain.size()));
}

bool PingEngine::RefuseAnswer(TCustomWinSocket *socket, bool closeSocket) {
    if (m_acceptedStatus.AcceptsAll())
        return false;
    const int status = HttpStatusCode(m_answer);
    if (m_acceptedStatus.Accepts(status))
        return false;
    HandleFailure(eeReceive, 0, QString::asprintf(Fmt::StatusNotAccepted, status), socket,
                  closeSocket);
    return true;
}

bool PingEngine::CompletedSlow(double seconds) const {
    return m_options.SlowAbove > 0 && seconds * 1000.0 > double(m_options.SlowAbove);
}

QString PingEngine::CompletionEntry(double seconds, bool slow) const {
    const QByteArray stamp = U8(TimeStamp());
    const QByteArray address = U8(TargetAddress);
    QString entry;
    // Each phase from the end of the one before; a phase not reached counts as nothing.
    const double lookup = qMax(0.0, m_lookupSeconds);
    const double connect = qMax(0.0, m_connectSeconds - lookup);
    if (!m_options.LogTimingDetails) {
        entry = QString::asprintf(Fmt::CompletedEntry, stamp.constData(), address.constData(),
                                  ClientSocket->Port(), seconds);
    } else if (m_firstByteSeconds < 0) {
        entry =
            QString::asprintf(Fmt::CompletedConnectDetailedEntry, stamp.constData(),
                              address.constData(), ClientSocket->Port(), seconds, lookup, connect);
    } else if (m_tlsSeconds >= 0) {
        const double tls = qMax(0.0, m_tlsSeconds - qMax(0.0, m_connectSeconds));
        const double answer = qMax(0.0, m_firstByteSeconds - m_tlsSeconds);
        entry = QString::asprintf(Fmt::CompletedTlsDetailedEntry, stamp.constData(),
                                  address.constData(), ClientSocket->Port(), seconds, lookup,
                                  connect, tls, answer);
    } else {
        const double answer = qMax(0.0, m_firstByteSeconds - qMax(0.0, m_connectSeconds));
        entry =
            QString::asprintf(Fmt::CompletedDetailedEntry, stamp.constData(), address.constData(),
                              ClientSocket->Port(), seconds, lookup, connect, answer);
    }
    if (slow) {
        entry.chop(2); // the line's CR LF, after the mark
        entry += QLatin1String(Fmt::SlowMark) + QStringLiteral("\r\n");
    }
    return F(Fmt::SuccessBar) + entry;
}

void PingEngine::LogCompletion() {
    if (m_answerLogged)
        return;
    m_answerLogged = true;
    // The caller closes the connection, whose end then finishes the ping.
    if (NotMeasured(m_firstByteSeconds, false)) {
        MarkNotChecked(NotCheckedReason::Asleep);
        return;
    }
    QByteArray head = m_answer;
    const qsizetype end = HeaderBlockEnd(head);
    if (end >= 0)
        head.truncate(end);
    const QString answer = AnswerText(head);
    m_slow = CompletedSlow(m_firstByteSeconds);
    emit logText(CompletionEntry(m_firstByteSeconds, m_slow));
    if (m_options.LogHTTPHeaders)
        emit logText(F(Fmt::HeadersEntry) + answer);
    else
        emit logText(QString());
    emit answered(TargetAddress, false, FirstLine(answer));
}

void PingEngine::CloseByUs(TCustomWinSocket *socket) {
    m_weClosed = true;
    if (socket)
        socket->CloseConnection();
}

PingResult PingEngine::MakeResult(PingOutcomeKind outcome) const {
    PingResult result;
    result.finishedAt = QDateTime::currentDateTimeUtc();
    result.address = TargetAddress;
    result.outcome = outcome;
    result.lookupSeconds = m_lookupSeconds;
    result.connectSeconds = m_connectSeconds;
    result.firstByteSeconds = m_firstByteSeconds;
    result.attempts = int(m_attemptsStarted);
    result.errorPing = m_pingIsErrorPing;
    result.tlsSeconds = m_tlsSeconds;
    result.ipProtocol = m_ipProtocol;
    if (m_tls && m_tls->CurrentState() == TlsClient::State::Established) {
        result.tls = true;
        result.tlsVersion = m_tls->Version();
        result.certificateExpiry = m_tls->LeafExpiry();
        result.earliestCertificateExpiry = m_tls->EarliestExpiry();
    }
    if (outcome == PingOutcomeKind::Completed) {
        const bool connectOnly = ConnectOnly();
        result.seconds = connectOnly ? m_connectSeconds : m_firstByteSeconds;
        result.elapsedSeconds = result.seconds;
        result.httpStatus = connectOnly ? 0 : HttpStatusCode(m_answer);
        result.slow = m_slow;
    } else if (outcome == PingOutcomeKind::Failed ||
               (outcome == PingOutcomeKind::NotChecked &&
                m_notChecked == NotCheckedReason::NoNetwork)) {
        result.errorCode = m_lastErrorCode;
        result.errorText = m_lastErrorText;
        result.elapsedSeconds = m_endSeconds;
        // An answer refused for its status still tells which it was.
        result.httpStatus = HttpStatusCode(m_answer);
    }
    if (outcome == PingOutcomeKind::NotChecked)
        result.notChecked = m_notChecked;
    return result;
}

void PingEngine::EmitFinished(PingOutcomeKind outcome) {
    if (m_finishedEmitted)
        return;
    m_finishedEmitted = true;
    const PingResult result = MakeResult(outcome);
    if (outcome == PingOutcomeKind::Completed)
        emit completed(result);
    emit finished(result);
}

void PingEngine::ClientSocketDisconnect(QObject *, TCustomWinSocket *Socket) {
    m_disconnectSeen = true;
    StopAttemptTimers();
    if (PingOutcome == poPending && !m_answerLogged) {
        if (m_answerStarted) {
            // The server closed before the head was whole: what arrived is the answer.
            if (!RefuseAnswer(Socket, false))
                LogCompletion();
        } else if (!m_weClosed && !ConnectOnly() && PingStartTime.isValid()) {
            // A server that closes without a byte has not answered; over TLS, one that
            // closes in the handshake has failed it.
            QString text = F(Fmt::ClosedWithoutAnswer);
            if (m_tls && m_tls->CurrentState() == TlsClient::State::Handshaking) {
                m_tls->FeedEnd();
                m_tls->Advance();
                text = m_tls->ErrorText();
            }
            HandleFailure(eeDisconnect, 0, text, Socket, false);
        }
    }
    PingBusy = false;
    if (PingOutcome == poPending) {
        PingOutcome = poSucceeded;
        emit connectionEnded(TargetAddress, PingOutcomeKind::Completed);
        if (m_network && !ClientSocket->Connection()->Addresses().isEmpty())
            m_network->Completed(ClientSocket->Connection()->Addresses().constFirst());
        EmitFinished(PingOutcomeKind::Completed);
        Recovered();
        CheckCompleted();
    } else if (PingOutcome == poCancelled) {
        emit connectionEnded(TargetAddress, PingOutcomeKind::Cancelled);
        EmitFinished(PingOutcomeKind::Cancelled);
    } else if (PingOutcome == poNotChecked) {
        EmitFinished(PingOutcomeKind::NotChecked);
    }
    emit idle();
}

void PingEngine::actCancelExecute() {
    PingOutcome = poCancelled;
    // One more than the limit, so that no further attempt starts (saturating at the top).
    AttemptCount = qMax(m_options.PingAttempts, m_options.PingAttempts + 1);
    StopAttemptTimers();
    // No socket is open while the pause before a retry runs, nor while a failure waits for the
    // network.
    const bool pausing = m_retryPause.isActive() || m_networkWait.isActive() || m_judging;
    m_judging = false;
    m_networkWait.stop();
    m_mail.Abort();
    m_retryPause.stop();
    CloseByUs(ClientSocket->Connection());
    emit logText(F(Fmt::FailureBar) + QString::asprintf(Fmt::AbortedEntry,
                                                        U8(TimeStamp()).constData(),
                                                        U8(TargetAddress).constData()));
    emit cancelled(TargetAddress);
    // Cancelled in the pause before a retry: no socket is open whose close would end it.
    if (pausing)
        ClientSocketDisconnect(ClientSocket, ClientSocket->Connection());
}

QString PingEngine::SocketErrorText(int code) const {
    QString text = SystemErrorText(code).left(255);
    while (!text.isEmpty() && (text.back().unicode() <= 32 || text.back() == QLatin1Char('.')))
        text.chop(1);
    return text;
}

void PingEngine::AttemptTimeout() {
    if (!PingBusy || PingOutcome != poPending)
        return;
    TCustomWinSocket *connection = ClientSocket->Connection();
    if (m_answerStarted) {
        // The answer began in time: what arrived is logged, the rest is not waited for.
        if (RefuseAnswer(connection, true))
            return;
        LogCompletion();
        CloseByUs(connection);
        return;
    }
    m_disconnectSeen = false;
    HandleFailure(eeConnect, TimeoutErrorCode, SocketErrorText(TimeoutErrorCode), connection, true);
    // A lookup under way has no handle whose close would report the end of the attempt.
    if (!m_disconnectSeen && PingBusy)
        ClientSocketDisconnect(ClientSocket, connection);
}

void PingEngine::ClientSocketError(QObject *, TCustomWinSocket *Socket, TErrorEvent ErrorEvent,
                                   int &ErrorCode) {
    if (!Socket)
        Socket = ClientSocket->Connection();
    const std::exception_ptr handling = std::current_exception();
    const QString errorText = handling ? ExceptionMessage(handling) : SocketErrorText(ErrorCode);
    const int code = ErrorCode;
    ErrorCode = 0;
    if (m_answerStarted && PingOutcome == poPending) {
        // A reset after the first answer bytes is no error of the ping.
        StopAttemptTimers();
        if (RefuseAnswer(Socket, true))
            return;
        LogCompletion();
        CloseByUs(Socket);
        return;
    }
    HandleFailure(ErrorEvent, code, errorText, Socket, true);
}

void PingEngine::HandleFailure(TErrorEvent event, int code, const QString &text,
                               TCustomWinSocket *socket, bool closeSocket) {
    StopAttemptTimers();
    if (PingStartTime.isValid())
        m_endSeconds = SecondsSinceStart();
    if (PingOutcome != poCancelled)
        PingOutcome = poFailed;
    const bool attempt = event == eeSend || event == eeReceive || event == eeConnect ||
                         event == eeDisconnect || event == eeLookup;
    const bool echo = event != eeLookup && LastErrorWasLookup && code == Wsa::AddrNotAvail;
    if (attempt && !echo && HoldForVerdict(event, code, text, socket, closeSocket))
        return;
    FinishFailure(event, code, text, socket, closeSocket, false);
}

void PingEngine::FinishFailure(TErrorEvent event, int code, const QString &text,
                               TCustomWinSocket *socket, bool closeSocket, bool lineLogged) {
    bool errorPingDue = false;
    bool final = false;
    switch (event) {
    case eeSend:
    case eeReceive:
    case eeConnect:
    case eeDisconnect:
    case eeLookup:
        if (event != eeLookup && LastErrorWasLookup && code == Wsa::AddrNotAvail) {
            // The echo of a failed lookup: try the same attempt number again, silently.
            --AttemptCount;
            LastErrorWasLookup = false;
            break;
        }
        {
            final = PingOutcome != poCancelled && AttemptCount >= m_options.PingAttempts;
            // The error ping's own failure raises no alerts: one failing error address would
            // otherwise start series after series.
            AlertPolicy::FailureDecision decision;
            const bool alertable = final && !m_pingIsErrorPing;
            if (alertable)
                decision = m_alerts->OnFailure(TargetAddress, m_alerts->Now(), this);
            m_lastErrorCode = code;
            m_lastErrorText = text;
            ConnectionFailure(event, code, text, alertable ? &decision : nullptr, lineLogged);
            // Cancel may have come while the e-mail was sent.
            errorPingDue =
                alertable && decision.alert && m_options.PingOnError && PingOutcome != poCancelled;
            emit attemptFailed(event, code, text, final);
            break;
        }
    default:
        emit unknownError(code, text);
        break;
    }

    if (closeSocket)
        CloseByUs(socket);
    if (final)
        EmitFinished(PingOutcomeKind::Failed);
    if (lineLogged && final && !errorPingDue)
        emit idle(); // the close was long ago, while the verdict was awaited
    // The error ping follows the close: a socket that is still open refuses a new port.
    if (errorPingDue)
        StartErrorPing();
    // The next attempt waits until the socket has finished its own error processing (after a
    // failed lookup it closes the handle that is current when this handler returns). A ping
    // started in the meantime takes precedence.
    const quint64 serial = m_attemptSerial;
    QMetaObject::invokeMethod(
        this,
        [this, serial] {
            if (serial == m_attemptSerial)
                Guard([this] { StartPingAttempt(); });
        },
        Qt::QueuedConnection);
}

void PingEngine::LogErrorLine(int errorCode, const QString &errorText) {
    emit logText(F(Fmt::FailureBar) +
                 QString::asprintf(Fmt::ErrorEntry, U8(TimeStamp()).constData(),
                                   U8(LoggedHost()).constData(), ClientSocket->Port(),
                                   U8(errorText).constData(), errorCode));
}

void PingEngine::ConnectionFailure(TErrorEvent errorEvent, int errorCode, const QString &errorText,
                                   const AlertPolicy::FailureDecision *decision, bool lineLogged) {
    if (PingOutcome != poCancelled) {
        if (!lineLogged)
            LogErrorLine(errorCode, errorText);
        if (AttemptCount >= m_options.PingAttempts) {
            emit pingFailed(TargetAddress, errorText);
            if (decision)
                AlertOnFailure(*decision, errorEvent, errorCode, errorText);
            // The error ping is started by the caller once the connection is closed.
        }
    }
    LastErrorWasLookup = errorEvent == eeLookup;
}

void PingEngine::AlertOnFailure(const AlertPolicy::FailureDecision &decision,
                                TErrorEvent errorEvent, int errorCode, const QString &errorText) {
    const QByteArray address = U8(TargetAddress);
    switch (decision.verdict) {
    case AlertPolicy::Verdict::Alert:
        emit alertRaised(DownAlert(TargetAddress, errorText, errorCode, decision.downSeconds,
                                   decision.repeat, QDateTime::currentDateTimeUtc()));
        if (m_options.SendEmailOnError)
            SendFailureEmail(errorEvent, errorCode, errorText);
        break;
    case AlertPolicy::Verdict::Held:
        // Still down: the alert of this outage went out already.
        if (m_options.SendEmailOnError || m_options.PingOnError ||
            !m_options.NotifyUrls.trimmed().isEmpty())
            emit logText(
                QString::asprintf(Fmt::AlertHeldEntry, address.constData(),
                                  U8(TimeStamp(decision.lastAlertAt.toLocalTime())).constData()));
        break;
    case AlertPolicy::Verdict::Snoozed:
        if (decision.sayHeld)
            emit logText(
                QString::asprintf(Fmt::AlertSnoozedEntry, address.constData(),
                                  U8(TimeStamp(decision.snoozedUntil.toLocalTime())).constData()));
        break;
    case AlertPolicy::Verdict::Counting:
        emit logText(QString::asprintf(Fmt::AlertCountingEntry, address.constData(),
                                       decision.failures, int(m_alerts->AlertAfter())));
        break;
    }
}

QString PingEngine::LoggedHost() const {
    // The entry puts the host in brackets of its own: an IPv6 literal shows as "[::1]".
    if (TargetHost.startsWith(QLatin1Char('[')) && TargetHost.endsWith(QLatin1Char(']')))
        return TargetHost.mid(1, TargetHost.size() - 2);
    return TargetHost;
}

void PingEngine::SendFailureEmail(TErrorEvent, int errorCode, const QString &errorText) {
    SendEmail(F(Fmt::FailureSubject),
              QString::asprintf(Fmt::FailureBody, U8(m_context.computerName).constData(),
                                U8(TimeStamp()).constData(), U8(LoggedHost()).constData(),
                                ClientSocket->Port(), U8(errorText).constData(), errorCode));
}

void PingEngine::SendRecoveryEmail(qint64 downSeconds) {
    SendEmail(F(Fmt::RecoverySubject),
              QString::asprintf(Fmt::RecoveryBody, U8(m_context.computerName).constData(),
                                U8(TimeStamp()).constData(), U8(TargetAddress).constData(),
                                U8(DownTimeText(downSeconds)).constData()));
}

bool PingEngine::SendEmail(const QString &subject, const QString &body) {
    emit logText(
        QString::asprintf(Fmt::SendingEmailEntry, U8(m_options.ErrorEmailAddress).constData()));
    emit mailStarted();
    bool sent = false;
    try {
        IdMessage.Subject = subject;
        IdMessage.Body = body;
        // Off this thread; events go on meanwhile, and the steps after it wait for its end.
        m_mail.Send(IdSMTP, IdMessage);
        sent = true;
        emit logText(F(Fmt::EmailSentEntry));
    } catch (const EIdException &e) {
        emit logText(QString::asprintf(Fmt::EmailErrorEntry, U8(OneLine(e.Message())).constData()));
    } catch (...) {
        emit unexpectedError(ExceptionMessage(std::current_exception()));
    }
    emit mailFinished(sent);
    return sent;
}

void PingEngine::Recovered() {
    if (m_pingIsErrorPing)
        return; // the error ping address raises no alerts of its own
    const AlertPolicy::SuccessDecision decision =
        m_alerts->OnSuccess(TargetAddress, m_alerts->Now());
    if (!decision.recovered)
        return;
    emit recovered(TargetAddress, decision.downSeconds);
    const PingResult result = MakeResult(PingOutcomeKind::Completed);
    emit alertRaised(UpAlert(TargetAddress, result.seconds, result.httpStatus, decision.downSeconds,
                             result.finishedAt));
    if (m_options.SendEmailOnError)
        SendRecoveryEmail(decision.downSeconds);
}

void PingEngine::CheckCompleted() {
    if (m_pingIsErrorPing)
        return;
    if (m_alerts->OnCompleted(TargetAddress, m_slow))
        emit slowStarted(TargetAddress, ConnectOnly() ? m_connectSeconds : m_firstByteSeconds);
    WarnOfCertificate();
}

void PingEngine::WarnOfCertificate() {
    if (m_options.CertExpiryWarnDays == 0 || !m_tls ||
        m_tls->CurrentState() != TlsClient::State::Established)
        return;
    const QDateTime expiry = m_tls->LeafExpiry();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (!expiry.isValid() || now.secsTo(expiry) >= qint64(m_options.CertExpiryWarnDays) * 86400 ||
        !m_alerts->CertificateWarningDue(TargetAddress, m_alerts->Now()))
        return;
    const int days = int(qMax<qint64>(0, now.secsTo(expiry) / 86400));
    const QByteArray when = U8(TimeStamp(expiry.toLocalTime()));
    emit logText(QString::asprintf(Fmt::CertificateExpiryEntry, U8(TargetAddress).constData(), days,
                                   when.constData()));
    emit certificateExpiring(TargetAddress, days, expiry);
    // A snooze keeps it in the log only.
    if (m_alerts->SnoozedUntil(TargetAddress).isValid())
        return;
    emit alertRaised(CertificateAlert(TargetAddress, days, expiry, now));
    if (m_options.SendEmailOnError)
        SendEmail(F(Fmt::CertificateSubject),
                  QString::asprintf(Fmt::CertificateBody, U8(m_context.computerName).constData(),
                                    U8(TimeStamp()).constData(), U8(TargetAddress).constData(),
                                    days, when.constData()));
}

void PingEngine::StartErrorPing() {
    emit logText(
        QString::asprintf(Fmt::ErrorPingEntry, U8(m_options.ErrorPingAddress).constData()));
    m_targetAccepted = false;
    emit errorPingRequested(m_options.ErrorPingAddress);
    if (m_targetAccepted) {
        AttemptCount = 0;
        m_pingIsErrorPing = true;
        m_finishedEmitted = false;
    }
}

bool PingEngine::NotMeasured(double seconds, bool timedOut) const {
    // Past the time-out only when the process stood still (a stopped or paused machine), or
    // the attempt spanned a sleep: the figure would be the stall's, not the site's.
    const double limit = AttemptTimeoutMs() / 1000.0;
    const double margin = timedOut ? qMax(StallMarginSeconds, limit / 10) : 0.0;
    if (seconds > limit + margin)
        return true;
    return m_network && m_network->On() && m_suspendedAtStart >= 0 &&
           m_network->SuspendedMs() - m_suspendedAtStart > NetworkVerdict::SleepJumpMs;
}

bool PingEngine::HoldForVerdict(TErrorEvent event, int code, const QString &text,
                                TCustomWinSocket *socket, bool closeSocket) {
    if (PingOutcome == poCancelled)
        return false;
    const bool timedOut = event == eeConnect && code == TimeoutErrorCode;
    const bool slept = PingStartTime.isValid() && NotMeasured(SecondsSinceStart(), timedOut);
    NetworkVerdict::Answer answer = NetworkVerdict::Answer::NoNetwork;
    if (!slept) {
        // Code 0: the site answered (a refused status, a TLS alert, a close), so the network
        // works.
        if (!m_network || code == 0)
            return false;
        // A time-out while the name was still looked up is the lookup's failure.
        const bool lookup = event == eeLookup || (timedOut && socket && socket->LookupPending());
        QList<QHostAddress> tried;
        if (!lookup && socket)
            tried = socket->Addresses();
        answer = m_network->Judge({TargetAddress, tried, code, lookup});
        if (answer == NetworkVerdict::Answer::Site)
            return false;
    }
    // The attempt's own error line as ever; what follows waits for the verdict.
    m_lastErrorCode = code;
    m_lastErrorText = text;
    LogErrorLine(code, text);
    LastErrorWasLookup = event == eeLookup;
    m_heldEvent = event;
    m_heldCode = code;
    m_heldText = text;
    m_judging = true; // busy through the close
    if (closeSocket)
        CloseByUs(socket);
    if (slept) {
        // The verdict hears of a sleep nobody announced, and settles as after an announced one.
        if (m_network)
            m_network->CheckClocks();
        EndNotChecked(NotCheckedReason::Asleep);
    } else if (answer == NetworkVerdict::Answer::NoNetwork)
        OnJudged(true);
    return true;
}

void PingEngine::OnJudged(bool noNetwork) {
    if (!m_judging)
        return;
    m_judging = false;
    if (!noNetwork) {
        // The site's failure after all: on as any failure, its error line written already.
        FinishFailure(m_heldEvent, m_heldCode, m_heldText, nullptr, false, true);
        return;
    }
    if (AttemptCount >= m_options.PingAttempts) {
        EndNotChecked(NotCheckedReason::NoNetwork);
        return;
    }
    m_waitForNetwork = true;
    const quint64 serial = m_attemptSerial;
    QMetaObject::invokeMethod(
        this,
        [this, serial] {
            if (serial == m_attemptSerial)
                Guard([this] { StartPingAttempt(); });
        },
        Qt::QueuedConnection);
}

void PingEngine::Sleep() {
    // A ping whose alerts already run finishes them; one that waits ends here.
    const bool waiting = m_judging || m_networkWait.isActive() || m_retryPause.isActive() ||
                         (PingBusy && PingOutcome == poPending);
    if (waiting)
        EndNotChecked(NotCheckedReason::Asleep);
}

void PingEngine::MarkNotChecked(NotCheckedReason reason) {
    PingOutcome = poNotChecked;
    // One more than the limit, so that no further attempt starts (saturating at the top).
    AttemptCount = qMax(m_options.PingAttempts, m_options.PingAttempts + 1);
    StopAttemptTimers();
    m_retryPause.stop();
    m_networkWait.stop();
    m_judging = false;
    m_waitForNetwork = false;
    m_notChecked = reason;
    emit logText(QString::asprintf(reason == NotCheckedReason::Asleep ? Fmt::NotCheckedAsleepEntry
                                                                      : Fmt::NotCheckedNetworkEntry,
                                   U8(TargetAddress).constData()));
    emit notChecked(TargetAddress, reason);
    if (m_network && reason == NotCheckedReason::NoNetwork)
        m_network->NotChecked(TargetAddress);
}

void PingEngine::EndNotChecked(NotCheckedReason reason) {
    MarkNotChecked(reason);
    // With an open connection its end finishes the ping; without one it ends here.
    TCustomWinSocket *connection = ClientSocket->Connection();
    m_disconnectSeen = false;
    CloseByUs(connection);
    if (!m_disconnectSeen)
        ClientSocketDisconnect(ClientSocket, connection);
}
