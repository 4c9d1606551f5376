#include "support/TableResolver.h"

#include <QTimer>

namespace {
constexpr int HostNotFound = 11001;
constexpr int TypeNotFound = 10109;
} // namespace

TableResolver::TableResolver(QObject *parent) : Resolver(parent) {}

void TableResolver::addHost(const QString &host, const QString &address, int delayMs) {
    addHost(host, QStringList{address}, delayMs);
}

void TableResolver::addHost(const QString &host, const QStringList &addresses, int delayMs) {
    Entry entry;
    entry.delayMs = delayMs;
    for (const QString &text : addresses) {
        const QHostAddress address(text);
        // A mistyped table is a fault of the test, not an answer to test with.
        if (address.isNull())
            qFatal("TableResolver::addHost: \"%s\" is not an address", qPrintable(text));
        entry.addresses.append(address);
    }
    if (entry.addresses.isEmpty())
        qFatal("TableResolver::addHost: no address for \"%s\"", qPrintable(host));
    m_hosts.insert(host.toLower(), entry);
}

void TableResolver::addHostError(const QString &host, int wsaError, int delayMs) {
    m_hosts.insert(host.toLower(), Entry{wsaError, {}, 0, delayMs});
}

void TableResolver::addService(const QString &service, quint16 port, int delayMs) {
    m_services.insert(service.toLower(), Entry{0, {}, port, delayMs});
}

void TableResolver::addServiceError(const QString &service, int wsaError, int delayMs) {
    m_services.insert(service.toLower(), Entry{wsaError, {}, 0, delayMs});
}

quint64 TableResolver::lookupHost(const QString &host) { return Start(host, true); }

quint64 TableResolver::lookupService(const QString &service) { return Start(service, false); }

quint64 TableResolver::Start(const QString &name, bool host) {
    const quint64 id = m_nextId++;
    m_requests.append(name);
    const QHash<QString, Entry> &table = host ? m_hosts : m_services;
    const auto found = table.constFind(name.toLower());
    const Entry entry =
        found != table.constEnd() ? *found : Entry{host ? HostNotFound : TypeNotFound, {}, 0, 0};
    emit requested(id, name);
    if (entry.delayMs == Held)
        m_held.append(Pending{id, host, entry});
    else
        Schedule(id, host, entry, entry.delayMs);
    return id;
}

void TableResolver::Schedule(quint64 id, bool host, const Entry &entry, int delayMs) {
    QTimer::singleShot(qMax(0, delayMs), this, [this, id, host, entry] {
        ++m_answers;
        if (host)
            emit hostFound(id, entry.error, entry.addresses);
        else
            emit serviceFound(id, entry.error, entry.port);
    });
}

void TableResolver::release(quint64 id) {
    for (qsizetype i = 0; i < m_held.size(); ++i) {
        if (m_held[i].id == id) {
            const Pending pending = m_held.takeAt(i);
            Schedule(pending.id, pending.host, pending.entry, 0);
            return;
        }
    }
}

void TableResolver::releaseAll() {
    const QList<Pending> held = std::exchange(m_held, {});
    for (const Pending &pending : held)
        Schedule(pending.id, pending.host, pending.entry, 0);
}
