#include "net/ScktComp.h"

#include "platform/SocketApi.h"
#include "platform/WsaErrors.h"

#include <QFile>
#include <QMetaMethod>
#include <QMetaObject>
#include <QSocketNotifier>
#include <cstring>

// Everything here runs on the thread that owns the component (the user-interface thread), so
// the connection object needs no lock: re-entrant calls from handlers are plain nested calls.
// Whatever a handler may do (close, reopen, destroy the component), every step that follows a
// handler first checks that the object is still alive and still on the same handle.

namespace {

[[noreturn]] void RaiseSocketError(int code, const char *label) {
    throw ESocketError(
        QStringLiteral("Windows socket error: %1 (%2), on API '%3'")
            .arg(SystemErrorText(code), QString::number(code), QString::fromLatin1(label)));
}

// Failures of connect() that concern the handle itself rather than the way to the peer; the
// others are reported as a connect-completed notification, since the peer is reached (or
// not) asynchronously.
bool IsHandleFault(int error) {
    // WSAEBADF, WSAENOTSOCK, WSAEFAULT, WSAEISCONN, WSAEALREADY, WSAEAFNOSUPPORT
    return error == 10009 || error == 10038 || error == 10014 || error == 10056 || error == 10037 ||
           error == 10047;
}

// WSAENOBUFS: no room for another handle or lookup.
constexpr int NoBuffers = 10055;

constexpr int HostNotFound = 11001;

// The Address property: an address of either family, or the dotted form as inet_addr reads it;
// text it cannot read gives 255.255.255.255.
QHostAddress ParseAddress(const QString &text) {
    if (const std::optional<QHostAddress> literal = Resolver::addressLiteral(text))
        return *literal;
    const QByteArray bytes = text.toLatin1();
    if (bytes.contains('\0'))
        return QHostAddress(quint32(INADDR_NONE));
    return QHostAddress(ntohl(inet_addr(bytes.constData())));
}

// One address of the attempt as the system takes it.
struct Target {
    sockaddr_storage address{};
    int length = 0;
    bool unspecified = false; // no peer has it; some kernels would take it as this machine
    int family() const { return address.ss_family; }
};

bool IsV4Mapped(const Q_IPV6ADDR &bytes) {
    for (int i = 0; i < 10; ++i) {
        if (bytes.c[i] != 0)
            return false;
    }
    return bytes.c[10] == 0xff && bytes.c[11] == 0xff;
}

Target MakeTarget(const QHostAddress &host, quint16 port) {
    Target target;
    quint32 v4 = host.toIPv4Address();
    if (host.protocol() == QAbstractSocket::IPv6Protocol) {
        const Q_IPV6ADDR bytes = host.toIPv6Address();
        in6_addr v6{};
        std::memcpy(v6.s6_addr, bytes.c, sizeof v6.s6_addr);
        if (!IsV4Mapped(bytes)) {
            auto *in6 = reinterpret_cast<sockaddr_in6 *>(&target.address);
            in6->sin6_family = AF_INET6;
            in6->sin6_port = htons(port);
            in6->sin6_addr = v6;
            const QString scope = host.scopeId();
            if (!scope.isEmpty()) {
                bool numeric = false;
                in6->sin6_scope_id = scope.toUInt(&numeric);
                if (!numeric)
                    in6->sin6_scope_id = Sockets::InterfaceIndex(scope);
            }
            target.length = sizeof(sockaddr_in6);
            target.unspecified =
                host.isEqual(QHostAddress::AnyIPv6, QHostAddress::StrictConversion);
            return target;
        }
        // An IPv4 peer is reached on an IPv4 handle, whatever the dual-stack setting.
        std::memcpy(&v4, v6.s6_addr + 12, sizeof v4);
        v4 = ntohl(v4);
    }
    auto *in = reinterpret_cast<sockaddr_in *>(&target.address);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    in->sin_addr.s_addr = htonl(v4);
    target.length = sizeof(sockaddr_in);
    target.unspecified = v4 == INADDR_ANY;
    return target;
}

int PeerName(Sockets::Handle handle, sockaddr_storage &peer) {
    int length = 0;
    if (const int error = Sockets::PeerName(handle, peer, &length))
        RaiseSocketError(error, "getpeername");
    return length;
}

bool IsLoopback(const sockaddr_storage &peer) {
    if (peer.ss_family == AF_INET)
        return ntohl(reinterpret_cast<const sockaddr_in &>(peer).sin_addr.s_addr) >> 24 == 127;
    if (peer.ss_family != AF_INET6)
        return false;
    static const in6_addr loopback = [] {
        in6_addr address{};
        address.s6_addr[15] = 1;
        return address;
    }();
    return std::memcmp(&reinterpret_cast<const sockaddr_in6 &>(peer).sin6_addr, &loopback,
                       sizeof loopback) == 0;
}

// The first name the hosts file gives a loopback address, as the system's "files" source
// answers it. Asking name servers about this machine's own loopback is pointless, slow when
// they do not answer, and would let a query leave the machine.
QString HostsFileName(const sockaddr_storage &peer) {
    const bool v4 = peer.ss_family == AF_INET;
    const void *wanted =
        v4 ? static_cast<const void *>(&reinterpret_cast<const sockaddr_in &>(peer).sin_addr)
           : &reinterpret_cast<const sockaddr_in6 &>(peer).sin6_addr;
    const size_t size = v4 ? sizeof(in_addr) : sizeof(in6_addr);
    QFile hosts(Sockets::HostsFilePath());
    if (!hosts.open(QIODevice::ReadOnly))
        return QString();
    while (!hosts.atEnd()) {
        QByteArray line = hosts.readLine();
        const qsizetype comment = line.indexOf('#');
        if (comment >= 0)
            line.truncate(comment);
        const QList<QByteArray> fields = line.simplified().split(' ');
        unsigned char parsed[sizeof(in6_addr)];
        if (fields.size() >= 2 && ::inet_pton(peer.ss_family, fields[0].constData(), parsed) == 1 &&
            std::memcmp(parsed, wanted, size) == 0)
            return QString::fromLocal8Bit(fields[1]);
    }
    return QString();
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TCustomWinSocket

TCustomWinSocket::TCustomWinSocket(TClientSocket *owner) : QObject(nullptr), m_owner(owner) {}

TCustomWinSocket::~TCustomWinSocket() {
    // No event may fire while the object goes away; an open handle is closed silently.
    m_owner = nullptr;
    ForgetLookup();
    if (m_handle != Sockets::Invalid)
        Sockets::Close(ReleaseHandle());
}

template <typename Fn> void TCustomWinSocket::Guarded(Fn &&fn) noexcept {
    // Nothing throws through the event loop. The handler may have destroyed the component.
    const QPointer<TClientSocket> owner(m_owner);
    try {
        fn();
    } catch (...) {
        if (owner)
            owner->ReportException(std::current_exception());
        else
            qWarning("Socket: %s", qUtf8Printable(ExceptionMessage(std::current_exception())));
    }
}

bool TCustomWinSocket::Fire(TSocketNotifyEvent TClientSocket::*event) {
    TClientSocket *owner = m_owner;
    if (!owner)
        return true;
    // A copy: the handler may assign a new handler to the event while it runs.
    const TSocketNotifyEvent handler = owner->*event;
    if (!handler)
        return true;
    const QPointer<TCustomWinSocket> alive(this);
    handler(owner, this);
    return !alive.isNull();
}

bool TCustomWinSocket::RaiseError(TErrorEvent event, int &code) {
    TClientSocket *owner = m_owner;
    if (!owner)
        return true;
    const TSocketErrorEvent handler = owner->OnError;
    if (!handler)
        return true;
    const QPointer<TCustomWinSocket> alive(this);
    handler(owner, this, event, code);
    return !alive.isNull();
}

bool TCustomWinSocket::RaiseErrorThenClose(TErrorEvent event, int &code) {
    const QPointer<TCustomWinSocket> alive(this);
    try {
        if (!RaiseError(event, code))
            return false;
    } catch (...) {
        // A failing handler does not leave the handle open.
        if (alive)
            CloseConnection();
        throw;
    }
    CloseConnection();
    return !alive.isNull();
}

void TCustomWinSocket::ForgetLookup() {
    m_lookupId = 0;
    m_lookupLiteral = false;
    m_state = LookupState::Idle;
    m_savedService.clear();
    m_savedPort = 0;
}

Sockets::Handle TCustomWinSocket::DetachHandle() {
    // The notifiers go before the descriptor is closed, so the dispatcher never watches a
    // closed (and possibly reused) descriptor.
    m_readNotifier.reset();
    m_writeNotifier.reset();
    m_connectCheck.reset();
    const Sockets::Handle handle = m_handle;
    m_handle = Sockets::Invalid;
    m_connected = false;
    m_connectPending = false;
    m_readStarted = false;
    ++m_generation;
    return handle;
}

Sockets::Handle TCustomWinSocket::ReleaseHandle() {
    m_addresses.clear();
    m_current = 0;
    m_port = 0;
    return DetachHandle();
}

int TCustomWinSocket::ReplaceHandle(int family) {
    // The new handle first: when it cannot be made, the current one stays.
    int error = 0;
    const Sockets::Handle handle = Sockets::Open(family, &error);
    if (handle == Sockets::Invalid)
        return error;
    if (m_handle != Sockets::Invalid)
        Sockets::Close(DetachHandle());
    m_handle = handle;
    m_family = family;
    return 0;
}

void TCustomWinSocket::CreateNotifiers() {
    const quint64 generation = m_generation;
    m_readNotifier = std::make_unique<QSocketNotifier>(m_handle, QSocketNotifier::Read);
    m_readNotifier->setEnabled(false);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this,
            [this, generation] { Guarded([&] { OnReadActivated(generation); }); });
    m_writeNotifier = std::make_unique<QSocketNotifier>(m_handle, QSocketNotifier::Write);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier.get(), &QSocketNotifier::activated, this,
            [this, generation] { Guarded([&] { OnWriteActivated(generation); }); });
    m_connectCheck.reset();
    if (const int interval = Sockets::ConnectCheckInterval()) {
        m_connectCheck = std::make_unique<QTimer>();
        m_connectCheck->setInterval(interval);
        connect(m_connectCheck.get(), &QTimer::timeout, this,
                [this, generation] { Guarded([&] { OnConnectCheck(generation); }); });
    }
}

void TCustomWinSocket::SetReadArmed(bool armed) {
    if (m_readNotifier && m_readNotifier->isEnabled() != armed)
        m_readNotifier->setEnabled(armed);
}

void TCustomWinSocket::SetWriteArmed(bool armed) {
    if (m_writeNotifier && m_writeNotifier->isEnabled() != armed)
        m_writeNotifier->setEnabled(armed);
}

void TCustomWinSocket::Open(const QString &host, const QString &address, const QString &service,
                            quint16 port) {
    if (m_connected)
        throw ESocketError(QStringLiteral("Socket already open"));

    // An earlier attempt still resolving or connecting is no longer followed: its lookup is
    // forgotten and its handle closed without events, so no descriptor is left behind.
    ForgetLookup();
    if (m_handle != Sockets::Invalid)
        Sockets::Close(ReleaseHandle());

    // The family is known only after the lookup: until then the handle is IPv4 (IPv6 on a
    // system without IPv4), replaced when the address needs the other family.
    int family = AF_INET;
    int error = 0;
    Sockets::Handle handle = Sockets::Open(family, &error);
    if (handle == Sockets::Invalid && error == 10047) { // WSAEAFNOSUPPORT
        family = AF_INET6;
        handle = Sockets::Open(family, &error);
    }
    if (handle == Sockets::Invalid)
        throw ESocketError(QStringLiteral("Can't create new socket"));
    m_handle = handle;
    m_family = family;
    const quint64 generation = ++m_generation;

    const QPointer<TCustomWinSocket> alive(this);
    try {
        if (!Fire(&TClientSocket::OnLookup) || generation != m_generation)
            return; // the handler closed or reopened the connection
        Lookup(host, address, service, port);
    } catch (...) {
        if (alive)
            CloseConnection();
        throw;
    }
}

quint64 TCustomWinSocket::StartLookup(bool host, const QString &name) {
    Resolver *resolver = m_owner ? m_owner->GetResolver() : Resolver::system();
    if (m_listening != resolver) {
        for (const QMetaObject::Connection &connection : std::as_const(m_resolverConnections))
            disconnect(connection);
        m_resolverConnections.clear();
        m_listening = resolver;
        m_resolverConnections << connect(
            resolver, &Resolver::hostFound, this,
            [this](quint64 id, int error, const QList<QHostAddress> &addresses) {
                Guarded([&] { OnHostFound(false, id, error, addresses); });
            });
        m_resolverConnections << connect(resolver, &Resolver::serviceFound, this,
                                         [this](quint64 id, int error, quint16 port) {
                                             Guarded([&] { OnServiceFound(id, error, port); });
                                         });
    }
    return host ? resolver->lookupHost(name) : resolver->lookupService(name);
}

quint64 TCustomWinSocket::PostLiteralAnswer(const QHostAddress &address) {
    // An address needs no resolver; it is still answered later, as a lookup is.
    const quint64 id = ++m_literalSerial;
    QMetaObject::invokeMethod(
        this,
        [this, id, address] {
            Guarded([&] { OnHostFound(true, id, 0, QList<QHostAddress>{address}); });
        },
        Qt::QueuedConnection);
    return id;
}

void TCustomWinSocket::Lookup(const QString &host, const QString &address, const QString &service,
                              quint16 port) {
    switch (m_state) {
    case LookupState::Idle:
        if (!host.isEmpty()) {
            if (const std::optional<QHostAddress> literal = Resolver::addressLiteral(host)) {
                m_lookupId = PostLiteralAnswer(*literal);
                m_lookupLiteral = true;
            } else {
                m_lookupId = StartLookup(true, host);
                m_lookupLiteral = false;
                if (m_lookupId == 0)
                    RaiseSocketError(NoBuffers, "WSAASyncGetHostByName");
            }
            m_savedService = service;
            m_savedPort = port;
            m_state = LookupState::ResolvingAddress;
            return;
        }
        if (address.isEmpty()) {
            int code = Wsa::NoAddressSpecified;
            if (RaiseErrorThenClose(eeLookup, code) && code != 0)
                throw ESocketError(QStringLiteral("No address specified"));
            return;
        }
        m_state = LookupState::ResolvingAddress;
        m_addresses = {ParseAddress(address)};
        [[fallthrough]];
    case LookupState::ResolvingAddress:
        if (!service.isEmpty()) {
            m_lookupId = StartLookup(false, service);
            m_lookupLiteral = false;
            if (m_lookupId == 0)
                RaiseSocketError(NoBuffers, "WSAASyncGetServByName");
            m_state = LookupState::ResolvingService;
            return;
        }
        m_state = LookupState::ResolvingService;
        m_port = port;
        [[fallthrough]];
    case LookupState::ResolvingService:
        m_state = LookupState::Idle;
        DoConnect();
        return;
    }
}

bool TCustomWinSocket::AcceptAnswer(bool literal, quint64 id, LookupState state) {
    // Forgotten, not ours, or not the step we wait for.
    if (m_lookupId == 0 || id != m_lookupId || literal != m_lookupLiteral || m_state != state)
        return false;
    m_lookupId = 0;
    m_lookupLiteral = false;
    return true;
}

void TCustomWinSocket::LookupFailed(int error) {
    int code = error;
    // Closes whatever handle is current afterwards, even one the handler opened meanwhile.
    if (RaiseErrorThenClose(eeLookup, code) && code != 0)
        RaiseSocketError(code, "ASync Lookup");
}

void TCustomWinSocket::OnHostFound(bool literal, quint64 id, int error,
                                   const QList<QHostAddress> &addresses) {
    if (!AcceptAnswer(literal, id, LookupState::ResolvingAddress))
        return;
    if (error == 0 && addresses.isEmpty())
        error = HostNotFound;
    if (error != 0) {
        LookupFailed(error);
        return;
    }
    const QPointer<TCustomWinSocket> alive(this);
    try {
        m_addresses = addresses;
        Lookup(QString(), QString(), m_savedService, m_savedPort);
    } catch (...) {
        if (alive)
            CloseConnection();
        throw;
    }
}

void TCustomWinSocket::OnServiceFound(quint64 id, int error, quint16 port) {
    if (!AcceptAnswer(false, id, LookupState::ResolvingService))
        return;
    if (error != 0) {
        LookupFailed(error);
        return;
    }
    const QPointer<TCustomWinSocket> alive(this);
    try {
        m_port = port;
        m_savedService.clear();
        m_savedPort = 0;
        Lookup(QString(), QString(), QString(), 0);
    } catch (...) {
        if (alive)
            CloseConnection();
        throw;
    }
}

void TCustomWinSocket::DoConnect() {
    Q_ASSERT(!m_addresses.isEmpty());
    m_current = 0;
    // The handle made at the opening may be of the other family. Failing to make one is the
    // first address's connect error, reported like any other.
    int createError = 0;
    const int family = MakeTarget(m_addresses.first(), m_port).family();
    if (family != m_family)
        createError = ReplaceHandle(family);

    const quint64 generation = m_generation;
    CreateNotifiers();
    if (!Fire(&TClientSocket::OnConnecting) || generation != m_generation)
        return;
    if (createError != 0)
        PostConnectCompleted(createError);
    else
        ConnectCurrent();
}

void TCustomWinSocket::ConnectCurrent() {
    const Target target = MakeTarget(m_addresses.at(m_current), m_port);
    if (target.unspecified) {
        PostConnectCompleted(Wsa::AddrNotAvail);
        return;
    }
    const int error = Sockets::Connect(
        m_handle, reinterpret_cast<const sockaddr *>(&target.address), target.length);
    if (error == Wsa::InProgress) {
        // The normal outcome: the write notifier reports the completion.
        m_connectPending = true;
        SetWriteArmed(true);
        if (m_connectCheck)
            m_connectCheck->start();
    } else if (IsHandleFault(error)) {
        RaiseSocketError(error, "connect");
    } else {
        PostConnectCompleted(error);
    }
}

bool TCustomWinSocket::TryNextAddress(int &error) {
    // Silently: a fresh handle of the next address's family, connected like the first. When
    // none is left, error is the last address's.
    while (m_current + 1 < m_addresses.size()) {
        ++m_current;
        const int created = ReplaceHandle(MakeTarget(m_addresses.at(m_current), m_port).family());
        if (created != 0) {
            error = created;
            continue;
        }
        CreateNotifiers();
        ConnectCurrent();
        return true;
    }
    return false;
}

void TCustomWinSocket::PostConnectCompleted(int error) {
    // A connect that ends at once is still reported later, like any other completion.
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation, error] {
            Guarded([&] { Dispatch(generation, Notice::Connect, error); });
        },
        Qt::QueuedConnection);
}

void TCustomWinSocket::OnWriteActivated(quint64 generation) {
    if (generation != m_generation)
        return;
    // Delivered once; armed again only after a send that would block.
    SetWriteArmed(false);
    if (!m_connectPending) {
        Dispatch(generation, Notice::Write, 0);
        return;
    }
    m_connectPending = false;
    if (m_connectCheck)
        m_connectCheck->stop();
    Dispatch(generation, Notice::Connect, Sockets::PendingError(m_handle));
}

void TCustomWinSocket::OnConnectCheck(quint64 generation) {
    if (generation != m_generation || !m_connectPending) {
        m_connectCheck->stop();
        return;
    }
    if (!Sockets::ConnectFailed(m_handle))
        return;
    m_connectCheck->stop();
    SetWriteArmed(false);
    m_connectPending = false;
    Dispatch(generation, Notice::Connect, Sockets::PendingError(m_handle));
}

void TCustomWinSocket::OnReadActivated(quint64 generation) {
    if (generation != m_generation)
        return;
    // Delivered once; armed again when someone receives, so a handler that does not read
    // cannot make the loop spin.
    SetReadArmed(false);
    int error = 0;
    const qint64 peeked = Sockets::Peek(m_handle, &error);
    if (peeked > 0)
        Dispatch(generation, Notice::Read, 0);
    else if (peeked == 0)
        Dispatch(generation, Notice::Close, 0);
    else if (error == Wsa::WouldBlock)
        SetReadArmed(true);
    else
        Dispatch(generation, Notice::Close, error);
}

void TCustomWinSocket::Dispatch(quint64 generation, Notice kind, int error) {
    // A notification naming a handle that has been closed or replaced is ignored.
    if (generation != m_generation || m_handle == Sockets::Invalid)
        return;

    if (error != 0) {
        if (kind == Notice::Connect) {
            const QPointer<TCustomWinSocket> alive(this);
            try {
                if (TryNextAddress(error))
                    return;
            } catch (...) {
                if (alive)
                    CloseConnection();
                throw;
            }
        }
        TErrorEvent event = eeGeneral;
        switch (kind) {
        case Notice::Read:
            event = eeReceive;
            break;
        case Notice::Write:
            event = eeSend;
            break;
        case Notice::Connect:
            event = eeConnect;
            break;
        case Notice::Close:
            event = eeDisconnect;
            break;
        }
        int code = error;
        if (!RaiseError(event, code))
            return;
        if (code != 0)
            throw ESocketError(QStringLiteral("Asynchronous socket error %1").arg(code));
        return;
    }

    switch (kind) {
    case Notice::Connect:
        m_connected = true;
        if (m_owner)
            m_owner->m_active = true;
        // The first writable state after the connect is reported once. Armed before the
        // handler runs, so a failing handler does not stop the sequence.
        SetWriteArmed(true);
        Fire(&TClientSocket::OnConnect);
        return;
    case Notice::Write:
        // Reading starts with the first write notification, so a fresh connection reports
        // writable before readable, as the platform this component comes from does.
        if (!m_readStarted) {
            m_readStarted = true;
            SetReadArmed(true);
        }
        Fire(&TClientSocket::OnWrite);
        return;
    case Notice::Read:
        Fire(&TClientSocket::OnRead);
        return;
    case Notice::Close:
        // Data not read yet is discarded.
        CloseConnection();
        return;
    }
}

void TCustomWinSocket::CloseConnection() {
    ForgetLookup();
    // No handle, or its OnDisconnect is already running further up the stack.
    if (m_handle == Sockets::Invalid || m_closingGeneration == m_generation)
        return;

    const quint64 generation = m_generation;
    m_closingGeneration = generation;
    if (m_owner)
        m_owner->m_active = false;

    const QPointer<TCustomWinSocket> alive(this);
    try {
        if (!Fire(&TClientSocket::OnDisconnect))
            return;
    } catch (...) {
        // The handle is closed even when the handler fails.
        if (alive && generation == m_generation)
            Sockets::Close(ReleaseHandle());
        throw;
    }
    if (generation != m_generation)
        return; // the handler opened a new attempt, which already closed this handle

    if (const int error = Sockets::Close(ReleaseHandle()))
        RaiseSocketError(error, "closesocket");
}

bool TCustomWinSocket::IPv6() const { return m_family == AF_INET6; }

int TCustomWinSocket::SendString(const QString &text) {
    const QByteArray bytes = text.toUtf8();
    return SendBytes(bytes.constData(), int(bytes.size()));
}

int TCustomWinSocket::SendBytes(const char *buffer, int count) {
    if (!m_connected || m_handle == Sockets::Invalid)
        return 0;
    if (!buffer || count < 0)
        count = 0;
    int error = 0;
    const qint64 sent = Sockets::Send(m_handle, buffer, count, &error);
    if (sent >= 0)
        return int(sent);
    if (error == Wsa::WouldBlock) {
        // Writable is reported again once buffer space is free.
        SetWriteArmed(true);
        return -1;
    }
    return FailTransfer(eeSend, error, "send");
}

int TCustomWinSocket::ReceiveBytes(char *buffer, int count) {
    if (!m_connected || m_handle == Sockets::Invalid)
        return 0;
    if (!buffer || count < 0)
        count = 0;
    int error = 0;
    const qint64 received = Sockets::Receive(m_handle, buffer, count, &error);
    // Receiving asks for the next readable (or closed) report.
    SetReadArmed(true);
    if (received >= 0)
        return int(received);
    if (error == Wsa::WouldBlock)
        return -1;
    return FailTransfer(eeReceive, error, "recv");
}

int TCustomWinSocket::FailTransfer(TErrorEvent event, int wsaError, const char *label) {
    int code = wsaError;
    if (RaiseErrorThenClose(event, code) && code != 0)
        RaiseSocketError(code, label);
    return -1;
}

QString TCustomWinSocket::PeerAddress() {
    if (!m_connected || m_handle == Sockets::Invalid)
        return QString();
    sockaddr_storage peer{};
    const int length = PeerName(m_handle, peer);
    char text[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<const sockaddr *>(&peer), length, text, sizeof text, nullptr,
                      0, NI_NUMERICHOST) != 0)
        return QString();
    return QString::fromLatin1(text);
}

QString TCustomWinSocket::PeerHostName() {
    if (!m_connected || m_handle == Sockets::Invalid)
        return QString();
    sockaddr_storage peer{};
    const int length = PeerName(m_handle, peer);
    if (IsLoopback(peer))
        return HostsFileName(peer);
    char name[NI_MAXHOST];
    // A blocking reverse lookup, as callers of this query expect.
    if (::getnameinfo(reinterpret_cast<const sockaddr *>(&peer), length, name, sizeof name, nullptr,
                      0, NI_NAMEREQD) != 0)
        return QString();
    return QString::fromLocal8Bit(name);
}

// ---------------------------------------------------------------------------------------------
// TClientSocket

TClientSocket::TClientSocket(QObject *parent)
    : QObject(parent), m_connection(std::make_unique<TClientWinSocket>(this)) {
    // For receivers on another thread (queued connections).
    qRegisterMetaType<std::exception_ptr>("std::exception_ptr");
}

TClientSocket::~TClientSocket() {
    // Closes an open handle without OnDisconnect.
    m_connection.reset();
}

bool TClientSocket::Active() const { return m_active; }

void TClientSocket::SetActive(bool value) {
    if (value == m_active)
        return;
    if (value) {
        if (!m_connection->Connected())
            m_connection->Open(m_host, m_address, m_service, quint16(m_port));
    } else if (m_connection->Connected()) {
        m_connection->CloseConnection();
    }
}

void TClientSocket::ReportException(const std::exception_ptr &error) noexcept {
    try {
        if (isSignalConnected(QMetaMethod::fromSignal(&TClientSocket::handlerException))) {
            emit handlerException(error);
            return;
        }
        // Nobody listens: at least leave a trace.
        qWarning("Socket: %s", qUtf8Printable(ExceptionMessage(error)));
    } catch (...) {
        qWarning("Socket: a receiver of handlerException failed");
    }
}

void TClientSocket::CheckInactive() const {
    if (m_active)
        throw ESocketError(QStringLiteral("Can't change value while socket is active"));
}

void TClientSocket::SetAddress(const QString &value) {
    if (value.compare(m_address, Qt::CaseInsensitive) == 0)
        return;
    CheckInactive();
    m_address = value;
}

void TClientSocket::SetClientType(TClientType value) {
    if (value == m_clientType)
        return;
    CheckInactive();
    m_clientType = value;
}

void TClientSocket::SetHost(const QString &value) {
    if (value.compare(m_host, Qt::CaseInsensitive) == 0)
        return;
    CheckInactive();
    m_host = value;
}

void TClientSocket::SetPort(int value) {
    if (value == m_port)
        return;
    CheckInactive();
    m_port = value;
}

void TClientSocket::SetService(const QString &value) {
    if (value.compare(m_service, Qt::CaseInsensitive) == 0)
        return;
    CheckInactive();
    m_service = value;
}

void TClientSocket::SetResolver(Resolver *resolver) { m_resolver = resolver; }

Resolver *TClientSocket::GetResolver() const {
    return m_resolver ? m_resolver.data() : Resolver::system();
}
