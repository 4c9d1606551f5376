#pragma once

#include <QObject>
#include <QString>
#include <QtGlobal>

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
