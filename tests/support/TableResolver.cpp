#include "support/TableResolver.h"

#include <QHostAddress>
#include <QTimer>

namespace {
constexpr int HostNotFound = 11001;
constexpr int TypeNotFound = 10109;
} // namespace

TableResolver::TableResolver(QObject *parent) : Resolver(parent) {}

void TableResolver::addHost(const QString &host, const QString &dottedAddress, int delayMs) {
    const QHostAddress address(dottedAddress);
    Q_ASSERT(address.protocol() == QAbstractSocket::IPv4Protocol);
    m_hosts.insert(host.toLower(), Entry{0, address.toIPv4Address(), delayMs});
}

void TableResolver::addHostError(const QString &host, int wsaError, int delayMs) {
    m_hosts.insert(host.toLower(), Entry{wsaError, 0, delayMs});
}

void TableResolver::addService(const QString &service, quint16 port, int delayMs) {
    m_services.insert(service.toLower(), Entry{0, port, delayMs});
}

void TableResolver::addServiceError(const QString &service, int wsaError, int delayMs) {
    m_services.insert(service.toLower(), Entry{wsaError, 0, delayMs});
}

quint64 TableResolver::lookupHost(const QString &host) {
    return Start(host, m_hosts, HostNotFound);
}

quint64 TableResolver::lookupService(const QString &service) {
    return Start(service, m_services, TypeNotFound);
}

quint64 TableResolver::Start(const QString &name, const QHash<QString, Entry> &table,
                             int unknownError) {
    const quint64 id = m_nextId++;
    m_requests.append(name);
    const auto found = table.constFind(name.toLower());
    const Entry entry = found != table.constEnd() ? *found : Entry{unknownError, 0, 0};
    emit requested(id, name);
    if (entry.delayMs == Held)
        m_held.append(Pending{id, entry});
    else
        Schedule(id, entry, entry.delayMs);
    return id;
}

void TableResolver::Schedule(quint64 id, const Entry &entry, int delayMs) {
    QTimer::singleShot(qMax(0, delayMs), this, [this, id, entry] {
        ++m_answers;
        emit finished(id, entry.error, entry.value);
    });
}

void TableResolver::release(quint64 id) {
    for (qsizetype i = 0; i < m_held.size(); ++i) {
        if (m_held[i].id == id) {
            const Pending pending = m_held.takeAt(i);
            Schedule(pending.id, pending.entry, 0);
            return;
        }
    }
}

void TableResolver::releaseAll() {
    const QList<Pending> held = std::exchange(m_held, {});
    for (const Pending &pending : held)
        Schedule(pending.id, pending.entry, 0);
}
