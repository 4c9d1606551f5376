#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QtGlobal>
#include <memory>

// Asynchronous host and service lookup. The answer of a request always arrives later, on the
// thread that asked, as the signal `finished` (never from inside lookupHost/lookupService).
// Cancelling a request is forgetting its id: the caller ignores answers it no longer waits for.
// Production uses SystemResolver (getaddrinfo on a worker thread); tests answer from a table.
class Resolver : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~Resolver() override = default;

    // Starts looking up the first IPv4 address of host. Returns the request id (never 0).
    virtual quint64 lookupHost(const QString &host) = 0;
    // Starts looking up a TCP service name (e.g. "http"). Returns the request id (never 0).
    virtual quint64 lookupService(const QString &service) = 0;

    // The process-wide production resolver.
    static Resolver *system();

signals:
    // wsaError 0: value is the IPv4 address (host lookup) or the port (service lookup),
    // both in host byte order. Otherwise wsaError is a Windows Sockets error number.
    void finished(quint64 id, int wsaError, quint32 value);
};

// getaddrinfo (IPv4, TCP) on a few detached worker threads; each answer is posted back to the
// thread this object lives on. Detached, so a lookup stuck in a slow name server never holds up
// the end of the program. Names that cannot be host names (control characters, blanks, longer
// than 255 bytes) are answered "host not found" without asking the system.
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
