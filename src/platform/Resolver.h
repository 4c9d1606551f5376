#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QtGlobal>
#include <memory>
#include <optional>

// Asynchronous host and service lookup. The answer of a request always arrives later, on the
// thread that asked, as the signal `hostFound` or `serviceFound` (never from inside
// lookupHost/lookupService). Cancelling a request is forgetting its id: the caller ignores
// answers it no longer waits for.
// Production uses SystemResolver (getaddrinfo on a worker thread); tests answer from a table.
class Resolver : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~Resolver() override = default;

    // Starts looking up every address of host, IPv4 and IPv6, in the system's order; answered
    // by hostFound. Returns the request id (never 0).
    virtual quint64 lookupHost(const QString &host) = 0;
    // Starts looking up a TCP service name (e.g. "http"); answered by serviceFound. Returns
    // the request id (never 0).
    virtual quint64 lookupService(const QString &service) = 0;

    // The process-wide production resolver.
    static Resolver *system();

    // The address written in text, when the text is an address rather than a name: a dotted
    // IPv4 address, or an IPv6 address with or without the brackets of a URL ("[::1]"). An
    // IPv4-mapped IPv6 address gives the IPv4 address. Anything else, including scoped IPv6
    // addresses ("fe80::1%eth0"), is left to the lookup.
    static std::optional<QHostAddress> addressLiteral(const QString &text);

signals:
    // wsaError 0: addresses holds at least one address. Otherwise wsaError is a Windows
    // Sockets error number and addresses is empty.
    void hostFound(quint64 id, int wsaError, const QList<QHostAddress> &addresses);
    // wsaError 0: port is the service's port. Otherwise a Windows Sockets error number.
    void serviceFound(quint64 id, int wsaError, quint16 port);
};

// getaddrinfo (any family, TCP) on a few detached worker threads; each answer is posted back
// to the thread this object lives on. Detached, so a lookup stuck in a slow name server never
// holds up the end of the program. Names that cannot be host names (control characters,
// blanks, longer than 255 bytes) are answered "host not found" without asking the system.
class SystemResolver : public Resolver {
    Q_OBJECT
public:
    static constexpr int MaxWorkers = 4;

    explicit SystemResolver(QObject *parent = nullptr);
    ~SystemResolver() override;

    quint64 lookupHost(const QString &host) override;
    quint64 lookupService(const QString &service) override;

private:
    struct Shared;
    quint64 Enqueue(bool host, const QByteArray &name);
    static void Work(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> m_shared;
    quint64 m_nextId = 1;
};
