#include "platform/Resolver.h"

#include "platform/SocketApi.h"
#include "platform/WsaErrors.h"

#include <QByteArray>
#include <QMetaObject>
#include <QUrl>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

constexpr int HostNotFound = 11001;
constexpr int MaxHostBytes = 255;

struct Answer {
    int wsaError = 0;
    QList<QHostAddress> addresses; // host lookups
    quint16 port = 0;              // service lookups
};

bool LooksLikeHostName(const QByteArray &name) {
    if (name.isEmpty() || name.size() > MaxHostBytes)
        return false;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        // A bracket belongs to an address literal, never to a name: "[::1" is a typing error,
        // not something to ask a name server about.
        if (byte <= 0x20 || byte >= 0x7F || byte == '[' || byte == ']')
            return false;
    }
    return true;
}

QByteArray HostBytes(const QString &host) {
    // Only plain ASCII names go to the system as they are; others in their ACE form.
    for (const QChar c : host) {
        if (c.unicode() >= 0x80)
            return QUrl::toAce(host);
    }
    return host.toLatin1();
}

QHostAddress FromIPv6(const in6_addr &address, quint32 scope) {
    if (IN6_IS_ADDR_V4MAPPED(&address)) {
        // An IPv4 peer is reached on an IPv4 handle, whatever the system's dual-stack setting.
        quint32 v4;
        std::memcpy(&v4, address.s6_addr + 12, sizeof v4);
        return QHostAddress(ntohl(v4));
    }
    QHostAddress result(address.s6_addr);
    if (scope != 0)
        result.setScopeId(QString::number(scope));
    return result;
}

Answer ResolveHost(const QByteArray &name) {
    if (!LooksLikeHostName(name))
        return {HostNotFound, {}, 0};
    Sockets::Startup();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *result = nullptr;
    const int rc = getaddrinfo(name.constData(), nullptr, &hints, &result);
    if (rc != 0)
        return {WsaFromGai(rc, errno), {}, 0};
    Answer answer;
    for (const addrinfo *ai = result; ai; ai = ai->ai_next) {
        if (!ai->ai_addr)
            continue;
        if (ai->ai_family == AF_INET) {
            const auto *in = reinterpret_cast<const sockaddr_in *>(ai->ai_addr);
            answer.addresses.append(QHostAddress(ntohl(in->sin_addr.s_addr)));
        } else if (ai->ai_family == AF_INET6) {
            const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(ai->ai_addr);
            answer.addresses.append(FromIPv6(in6->sin6_addr, in6->sin6_scope_id));
        }
    }
    freeaddrinfo(result);
    if (answer.addresses.isEmpty())
        answer.wsaError = HostNotFound;
    return answer;
}

Answer ResolveService(const QByteArray &name) {
    if (name.isEmpty() || name.size() > MaxHostBytes || name.contains('\0'))
        return {WsaFromGai(EAI_SERVICE), {}, 0};
    Sockets::Startup();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *result = nullptr;
    // No node: only the services database is consulted, never a name server.
    const int rc = getaddrinfo(nullptr, name.constData(), &hints, &result);
    if (rc != 0)
        return {WsaFromGai(rc, errno), {}, 0};
    Answer answer{WsaFromGai(EAI_SERVICE), {}, 0};
    if (result && result->ai_addr && result->ai_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(result->ai_addr);
        answer = {0, {}, ntohs(in->sin_port)};
    }
    freeaddrinfo(result);
    return answer;
}

void Emit(Resolver *resolver, quint64 id, bool host, const Answer &answer) {
    if (host)
        emit resolver->hostFound(id, answer.wsaError, answer.addresses);
    else
        emit resolver->serviceFound(id, answer.wsaError, answer.port);
}

} // namespace

std::optional<QHostAddress> Resolver::addressLiteral(const QString &text) {
    QString inner = text;
    const bool bracketed =
        text.size() >= 2 && text.startsWith(QLatin1Char('[')) && text.endsWith(QLatin1Char(']'));
    if (bracketed)
        inner = text.mid(1, text.size() - 2);
    // The longest IPv6 text is 45 characters; anything longer is a name.
    if (inner.isEmpty() || inner.size() > 45)
        return std::nullopt;
    const QByteArray bytes = inner.toLatin1(); // other characters become '?', never an address
    if (bytes.contains('\0'))
        return std::nullopt;
    if (!bracketed) {
        in_addr v4{};
        if (::inet_pton(AF_INET, bytes.constData(), &v4) == 1)
            return QHostAddress(ntohl(v4.s_addr));
    }
    in6_addr v6{};
    if (::inet_pton(AF_INET6, bytes.constData(), &v6) == 1)
        return FromIPv6(v6, 0);
    return std::nullopt;
}

struct SystemResolver::Shared {
    struct Job {
        quint64 id;
        bool host;
        QByteArray name;
    };
    std::mutex mutex;
    SystemResolver *owner = nullptr; // cleared when the resolver goes; guarded by mutex
    std::deque<Job> queue;
    int workers = 0;
};

SystemResolver::SystemResolver(QObject *parent)
    : Resolver(parent), m_shared(std::make_shared<Shared>()) {
    m_shared->owner = this;
}

SystemResolver::~SystemResolver() {
    const std::lock_guard lock(m_shared->mutex);
    m_shared->owner = nullptr;
    m_shared->queue.clear();
}

quint64 SystemResolver::lookupHost(const QString &host) {
    // An address needs no lookup: it is answered on the next turn of the event loop without
    // starting a thread, whose start-up would show in the measured ping time.
    if (const std::optional<QHostAddress> literal = addressLiteral(host)) {
        const quint64 id = m_nextId++;
        const QList<QHostAddress> addresses{*literal};
        QMetaObject::invokeMethod(
            this, [this, id, addresses] { emit hostFound(id, 0, addresses); },
            Qt::QueuedConnection);
        return id;
    }
    // A scoped IPv6 address in URL brackets ("[fe80::1%eth0]") goes to the system without them.
    const bool bracketedIPv6 = host.size() > 2 && host.startsWith(QLatin1Char('[')) &&
                               host.endsWith(QLatin1Char(']')) && host.contains(QLatin1Char(':'));
    return Enqueue(true, HostBytes(bracketedIPv6 ? host.mid(1, host.size() - 2) : host));
}

quint64 SystemResolver::lookupService(const QString &service) {
    return Enqueue(false, service.toUtf8());
}

quint64 SystemResolver::Enqueue(bool host, const QByteArray &name) {
    const quint64 id = m_nextId++;
    const std::lock_guard lock(m_shared->mutex);
    m_shared->queue.push_back(Shared::Job{id, host, name});
    if (m_shared->workers < MaxWorkers) {
        try {
            std::thread(&SystemResolver::Work, m_shared).detach();
            ++m_shared->workers;
        } catch (const std::system_error &) {
            if (m_shared->workers == 0) {
                // No thread to run it: answer "no buffer space" later, as any answer comes.
                m_shared->queue.pop_back();
                QMetaObject::invokeMethod(
                    this,
                    [this, id, host] {
                        Emit(this, id, host, {WsaFromErrno(ENOBUFS), {}, 0});
                    },
                    Qt::QueuedConnection);
            }
        }
    }
    return id;
}

void SystemResolver::Work(std::shared_ptr<Shared> shared) {
    for (;;) {
        Shared::Job job;
        {
            const std::lock_guard lock(shared->mutex);
            if (shared->queue.empty()) {
                --shared->workers;
                return;
            }
            job = std::move(shared->queue.front());
            shared->queue.pop_front();
        }
        const Answer answer = job.host ? ResolveHost(job.name) : ResolveService(job.name);
        const std::lock_guard lock(shared->mutex);
        if (SystemResolver *owner = shared->owner) {
            // Posted while the owner cannot go away (its destructor takes the mutex); a
            // posted call still queued when it does go is dropped with it.
            QMetaObject::invokeMethod(
                owner,
                [owner, id = job.id, host = job.host, answer] { Emit(owner, id, host, answer); },
                Qt::QueuedConnection);
        }
    }
}

Resolver *Resolver::system() {
    static SystemResolver resolver;
    return &resolver;
}
