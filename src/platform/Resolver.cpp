#include "platform/Resolver.h"

#include "platform/WsaErrors.h"

#include <QByteArray>
#include <QMetaObject>
#include <QUrl>
#include <arpa/inet.h>
#include <cerrno>
#include <deque>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>

namespace {

constexpr int HostNotFound = 11001;
constexpr int MaxHostBytes = 255;

struct Answer {
    int wsaError = 0;
    quint32 value = 0;
};

bool LooksLikeHostName(const QByteArray &name) {
    if (name.isEmpty() || name.size() > MaxHostBytes)
        return false;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F)
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

Answer ResolveHost(const QByteArray &name) {
    if (!LooksLikeHostName(name))
        return {HostNotFound, 0};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *result = nullptr;
    const int rc = getaddrinfo(name.constData(), nullptr, &hints, &result);
    if (rc != 0)
        return {WsaFromGai(rc, errno), 0};
    Answer answer{HostNotFound, 0};
    for (const addrinfo *ai = result; ai; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr) {
            const auto *in = reinterpret_cast<const sockaddr_in *>(ai->ai_addr);
            answer = {0, ntohl(in->sin_addr.s_addr)};
            break;
        }
    }
    freeaddrinfo(result);
    return answer;
}

Answer ResolveService(const QByteArray &name) {
    if (name.isEmpty() || name.size() > MaxHostBytes || name.contains('\0'))
        return {WsaFromGai(EAI_SERVICE), 0};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *result = nullptr;
    // No node: only the services database is consulted, never a name server.
    const int rc = getaddrinfo(nullptr, name.constData(), &hints, &result);
    if (rc != 0)
        return {WsaFromGai(rc, errno), 0};
    Answer answer{WsaFromGai(EAI_SERVICE), 0};
    if (result && result->ai_addr && result->ai_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(result->ai_addr);
        answer = {0, ntohs(in->sin_port)};
    }
    freeaddrinfo(result);
    return answer;
}

} // namespace

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
    // A dotted IPv4 address needs no lookup: it is answered on the next turn of the event
    // loop without starting a thread, whose start-up would show in the measured ping time.
    in_addr numeric{};
    const QByteArray bytes = HostBytes(host);
    if (LooksLikeHostName(bytes) && ::inet_pton(AF_INET, bytes.constData(), &numeric) == 1) {
        const quint64 id = m_nextId++;
        const quint32 value = ntohl(numeric.s_addr);
        QMetaObject::invokeMethod(
            this, [this, id, value] { emit finished(id, 0, value); }, Qt::QueuedConnection);
        return id;
    }
    return Enqueue(true, bytes);
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
                    this, [this, id] { emit finished(id, WsaFromErrno(ENOBUFS), 0); },
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
                [owner, id = job.id, answer] {
                    emit owner->finished(id, answer.wsaError, answer.value);
                },
                Qt::QueuedConnection);
        }
    }
}

Resolver *Resolver::system() {
    static SystemResolver resolver;
    return &resolver;
}
