#include "engine/NetworkVerdict.h"

#include "platform/NetworkState.h"
#include "platform/SleepWatch.h"

#include <QMetaObject>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QUrl>
#include <optional>
#include <utility>

namespace {

// Windows Sockets numbers of the errors that speak of this computer's network.
constexpr int NetDown = 10050;
constexpr int NetUnreachable = 10051;
constexpr int TimedOut = 10060;
constexpr int HostUnreachable = 10065;
constexpr int LookupTryAgain = 11002;

std::optional<quint16> PortOf(const QString &text) {
    bool ok = false;
    const uint port = text.toUInt(&ok);
    if (!ok || port < 1 || port > 65535 || text.startsWith(QLatin1Char('+')))
        return std::nullopt;
    return quint16(port);
}

// "http://host[:port]/...", "https://...", "host:port" or "[v6]:port".
std::optional<NetworkVerdict::Reference> ParseReference(const QString &line) {
    if (line.contains(QLatin1String("://"))) {
        const QUrl url(line, QUrl::StrictMode);
        const QString scheme = url.scheme().toLower();
        if (!url.isValid() || url.host().isEmpty() ||
            (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
            return std::nullopt;
        const int port = url.port(scheme == QLatin1String("https") ? 443 : 80);
        if (port < 1 || port > 65535)
            return std::nullopt;
        return NetworkVerdict::Reference{url.host(), quint16(port)};
    }
    const qsizetype colon = line.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return std::nullopt;
    QString host = line.left(colon);
    const std::optional<quint16> port = PortOf(line.mid(colon + 1));
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(QLatin1Char(':')))
        return std::nullopt; // an IPv6 address takes brackets, or its port is ambiguous
    if (!port || host.isEmpty() || host.contains(QLatin1Char(' ')) ||
        host.contains(QLatin1Char('/')))
        return std::nullopt;
    return NetworkVerdict::Reference{host, *port};
}

} // namespace

NetworkVerdict::NetworkVerdict(NetworkState *state, SleepWatch *sleep, QObject *parent)
    : QObject(parent), m_network(state), m_sleep(sleep) {
    m_probeTimer.setSingleShot(true);
    connect(&m_probeTimer, &QTimer::timeout, this, [this] { ProbeFinished(false); });
    m_recheck.setInterval(RecheckMs);
    connect(&m_recheck, &QTimer::timeout, this, &NetworkVerdict::Recheck);
    m_settle.setSingleShot(true);
    connect(&m_settle, &QTimer::timeout, this, [this] {
        if (m_state != State::Settling)
            return;
        // The wait after a sleep is over: from now on failures are judged as they come.
        if (LocalFactsOk())
            GoUp();
        else
            EnterDown(Cause::Facts);
    });
    m_asleepFallback.setSingleShot(true);
    connect(&m_asleepFallback, &QTimer::timeout, this, [this] {
        if (m_state == State::Asleep)
            Woke();
    });
    connect(m_network, &NetworkState::changed, this, &NetworkVerdict::Recheck);
}

void NetworkVerdict::ApplySettings(bool on, const QString &references) {
    if (!on && m_on) {
        // Everything that waits goes on as if the network had been up all along.
        m_on = false;
        m_settle.stop();
        m_asleepFallback.stop();
        m_announced = false;
        if (m_state != State::Up)
            GoUp();
    }
    m_on = on;
    if (references == m_referencesText)
        return;
    m_referencesText = references;
    m_references.clear();
    m_skipped.clear();
    QString text = references;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"))
        .replace(QLatin1Char('\r'), QLatin1Char('\n'));
    for (const QString &raw : text.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.isEmpty())
            continue;
        if (const auto reference = ParseReference(line))
            m_references << *reference;
        else
            m_skipped << QStringLiteral("Reference address \"%1\" skipped: not an http or https "
                                        "address, nor host:port.\r\n")
                             .arg(line.left(200));
    }
    m_lastProbe.invalidate(); // answers of other addresses say nothing of these
}

qint64 NetworkVerdict::SuspendedMs() const { return m_sleep->SuspendedMs(); }

void NetworkVerdict::CheckClocks() {
    if (!m_on)
        return;
    const qint64 now = SuspendedMs();
    const qint64 before = std::exchange(m_lastSuspended, now);
    if (before < 0 || now - before <= SleepJumpMs || m_state == State::Asleep)
        return;
    // A sleep nobody announced: handled as an announced one that just ended, once the step
    // that noticed it is over.
    emit sleptUnannounced((now - before) / 1000);
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_on && m_state != State::Asleep)
                Woke();
        },
        Qt::QueuedConnection);
}

void NetworkVerdict::Preparing(bool sleep) {
    if (!m_on)
        return;
    if (!sleep) {
        if (m_state == State::Asleep)
            Woke();
        return;
    }
    if (m_state == State::Asleep)
        return;
    m_settle.stop();
    SetState(State::Asleep);
    m_asleepFallback.start(AsleepFallbackMs);
    emit sleeping();
}

void NetworkVerdict::Woke() {
    m_asleepFallback.stop();
    m_lastSuspended = SuspendedMs();
    m_settle.start(SettleMs);
    SetState(State::Settling);
    emit woke();
    Recheck();
}

NetworkVerdict::Answer NetworkVerdict::Judge(const Failure &failure) {
    CheckClocks();
    if (!m_on)
        return Answer::Site;
    // A server on this computer, a name that does not exist, or nothing tried on the network
    // at all: no network would change that.
    if (failure.lookup ? failure.code != LookupTryAgain && failure.code != TimedOut
                       : failure.tried.isEmpty())
        return Answer::Site;
    for (const QHostAddress &address : failure.tried) {
        if (address.isLoopback())
            return Answer::Site;
    }
    if (m_state == State::Asleep || m_state == State::Settling) {
        m_unchecked.insert(failure.address);
        return Answer::NoNetwork;
    }
    const Cause cause = LocalCause(failure);
    if (cause != Cause::None) {
        EnterDown(cause);
        m_unchecked.insert(failure.address);
        return Answer::NoNetwork;
    }
    if (m_references.isEmpty())
        return Answer::Site;
    if (!m_probes.isEmpty() || !m_lastProbe.isValid() || m_lastProbe.elapsed() >= ProbeSpacingMs) {
        m_pending << failure.address;
        m_judgeWaiting = true;
        if (m_probes.isEmpty())
            StartProbe();
        return Answer::Pending;
    }
    if (m_probeAnswered)
        return Answer::Site;
    EnterDown(Cause::References);
    m_unchecked.insert(failure.address);
    return Answer::NoNetwork;
}

NetworkVerdict::Cause NetworkVerdict::LocalCause(const Failure &failure) {
    bool specific = false; // reached through a route of its own, not the default one
    for (const QHostAddress &address : failure.tried)
        specific = specific || m_network->HasSpecificRoute(address);
    const NetworkState::Reach reach = m_network->SystemReach();
    if (reach == NetworkState::Reach::Disconnected ||
        (reach == NetworkState::Reach::Local && !specific))
        return Cause::Facts;
    bool routed = failure.tried.isEmpty() && m_network->HasRoute(QHostAddress());
    for (const QHostAddress &address : failure.tried)
        routed = routed || m_network->HasRoute(address);
    if (!routed)
        return Cause::Facts;
    switch (failure.code) {
    case NetDown:
    case NetUnreachable:
        return Cause::Error;
    case HostUnreachable:
        // Said by this computer when its router does not answer, and by a router on the way
        // when the site's host does not: only the first is this computer's.
        return !specific && m_network->GatewaysUnreachable() ? Cause::Facts : Cause::None;
    case LookupTryAgain:
    case TimedOut:
        return failure.lookup && !m_network->NameServerReachable() ? Cause::Facts : Cause::None;
    default:
        break;
    }
    return Cause::None;
}

bool NetworkVerdict::LocalFactsOk() {
    const NetworkState::Reach reach = m_network->SystemReach();
    return reach != NetworkState::Reach::Disconnected && reach != NetworkState::Reach::Local &&
           m_network->HasRoute(QHostAddress()) && !m_network->GatewaysUnreachable();
}

void NetworkVerdict::SetState(State state) {
    if (state == m_state)
        return;
    const bool wasUp = m_state == State::Up;
    m_state = state;
    // Watched only while it matters: a working network costs no wake-up.
    const bool watch = state == State::Down || state == State::Settling;
    m_network->Watch(watch);
    if (watch)
        m_recheck.start();
    else
        m_recheck.stop();
    if (wasUp != (state == State::Up))
        emit stateChanged(state == State::Up);
}

void NetworkVerdict::EnterDown(Cause cause) {
    if (m_state == State::Up || m_state == State::Settling) {
        if (!m_downSince.isValid())
            m_downSince.start();
        m_cause = cause;
        m_settle.stop();
        SetState(State::Down);
    } else if (m_state == State::Down && m_cause == Cause::Error) {
        m_cause = cause; // a cause that can be watched beats the error alone
    }
}

void NetworkVerdict::GoUp() {
    const bool announced = m_announced;
    const qint64 downSeconds = m_downSince.isValid() ? m_downSince.elapsed() / 1000 : 0;
    m_announced = false;
    m_unchecked.clear();
    m_cause = Cause::None;
    m_downSince.invalidate();
    m_settle.stop();
    SetState(State::Up);
    emit back();
    if (announced)
        emit networkBack(downSeconds);
}

void NetworkVerdict::Recheck() {
    if (!m_on || (m_state != State::Down && m_state != State::Settling))
        return;
    if (!LocalFactsOk())
        return;
    if (!m_references.isEmpty()) {
        if (!m_probes.isEmpty())
            return; // its answer decides
        if (!m_lastProbe.isValid() || m_lastProbe.elapsed() >= ProbeSpacingMs)
            StartProbe();
        else if (m_probeAnswered)
            GoUp();
        return;
    }
    // The error alone said the network was gone: only an answer from beyond tells it is back.
    if (m_state == State::Down && m_cause == Cause::Error)
        return;
    GoUp();
}

void NetworkVerdict::Completed(const QHostAddress &peer) {
    if (!m_on || peer.isNull() || peer.isLoopback())
        return;
    // An answer through the default route proves the way out works, whatever the facts said
    // before; one from this computer's own link does not.
    if (m_state == State::Settling ||
        (m_state == State::Down && (m_cause == Cause::Error || !m_network->HasSpecificRoute(peer))))
        GoUp();
}

void NetworkVerdict::NotChecked(const QString &address) {
    if (!m_on)
        return;
    m_unchecked.insert(address);
    if (m_announced)
        return;
    m_announced = true;
    if (!m_downSince.isValid())
        m_downSince.start();
    emit networkLost(int(m_unchecked.size()));
}

void NetworkVerdict::StartProbe() {
    m_lastProbe.start();
    m_probesLeft = int(m_references.size());
    // All made before any connects: an answer that comes at once finds the list whole.
    for (qsizetype i = 0; i < m_references.size(); ++i) {
        auto *socket = new QTcpSocket(this);
        socket->setProxy(QNetworkProxy::NoProxy);
        m_probes << socket;
    }
    m_probeTimer.start(ProbeTimeoutMs);
    const QList<QTcpSocket *> probes = m_probes;
    for (qsizetype i = 0; i < probes.size(); ++i) {
        QTcpSocket *socket = probes.at(i);
        connect(socket, &QTcpSocket::connected, this, [this] { ProbeFinished(true); });
        connect(socket, &QAbstractSocket::errorOccurred, this, [this, socket] {
            socket->disconnect(this);
            if (--m_probesLeft == 0)
                ProbeFinished(false);
        });
        if (!m_probes.contains(socket))
            break; // the round ended already
        socket->connectToHost(m_references.at(i).host, m_references.at(i).port);
    }
}

void NetworkVerdict::ProbeFinished(bool answered) {
    if (m_probes.isEmpty())
        return;
    m_probeTimer.stop();
    for (QTcpSocket *socket : std::exchange(m_probes, {})) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    m_probeAnswered = answered;
    if (m_judgeWaiting) {
        m_judgeWaiting = false;
        const QStringList pending = std::exchange(m_pending, {});
        if (!answered) {
            EnterDown(Cause::References);
            for (const QString &address : pending)
                m_unchecked.insert(address);
        }
        emit judged(!answered);
    }
    if (answered && (m_state == State::Down || m_state == State::Settling) && LocalFactsOk())
        GoUp();
}
