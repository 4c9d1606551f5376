#pragma once

#include "platform/Resolver.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

// A Resolver that answers from a table, so no test ever sends a DNS query.
//
//   TableResolver resolver;
//   resolver.addHost("www.example.test", "127.0.0.1");        // answered on the next loop turn
//   resolver.addHost("v6only.test", "::1");                    // either family
//   resolver.addHost("both.test", QStringList{"127.0.0.2", "::1"}); // tried in this order
//   resolver.addHost("slow.example.test", "127.0.0.1", 200);  // answered after 200 ms
//   resolver.addHostError("bad.example.test", 11002);         // answered with that WSA number
//   resolver.addHost("held.example.test", "127.0.0.1", TableResolver::Held); // until release()
//   socket.SetResolver(&resolver);
//
// Names are matched without regard to letter case. An unknown host answers 11001 (host not
// found), an unknown service 10109 (type not found). Every answer arrives later through the
// `hostFound` / `serviceFound` signal, never from inside lookupHost/lookupService, as with the
// real resolver.
class TableResolver : public Resolver {
    Q_OBJECT
public:
    // Delay value: the answer waits until release() or releaseAll().
    static constexpr int Held = -1;

    explicit TableResolver(QObject *parent = nullptr);

    // Addresses in text of either family ("127.0.0.1", "::1"); the list keeps its order.
    void addHost(const QString &host, const QString &address, int delayMs = 0);
    void addHost(const QString &host, const QStringList &addresses, int delayMs = 0);
    void addHostError(const QString &host, int wsaError, int delayMs = 0);
    void addService(const QString &service, quint16 port, int delayMs = 0);
    void addServiceError(const QString &service, int wsaError, int delayMs = 0);

    quint64 lookupHost(const QString &host) override;
    quint64 lookupService(const QString &service) override;

    // Requests made so far (host and service lookups), in order.
    int requestCount() const { return m_requests.size(); }
    QStringList requestedNames() const { return m_requests; }
    quint64 lastRequestId() const { return m_nextId - 1; }
    // Answers emitted so far.
    int answerCount() const { return m_answers; }
    // Held requests not answered yet.
    int heldCount() const { return m_held.size(); }

    // Answers one held request (by id) or all of them now (on the next loop turn).
    void release(quint64 id);
    void releaseAll();

signals:
    // Emitted from inside lookupHost/lookupService, before the answer is scheduled.
    void requested(quint64 id, const QString &name);

private:
    struct Entry {
        int error = 0;
        QList<QHostAddress> addresses; // host entries
        quint16 port = 0;              // service entries
        int delayMs = 0;
    };
    struct Pending {
        quint64 id;
        bool host;
        Entry entry;
    };

    quint64 Start(const QString &name, bool host);
    void Schedule(quint64 id, bool host, const Entry &entry, int delayMs);

    QHash<QString, Entry> m_hosts;
    QHash<QString, Entry> m_services;
    QStringList m_requests;
    QList<Pending> m_held;
    quint64 m_nextId = 1;
    int m_answers = 0;
};
