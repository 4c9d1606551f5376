#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <memory>

class QSocketNotifier;

// One row of the kernel's main routing table (/proc/net/route, /proc/net/ipv6_route).
struct RouteEntry {
    QHostAddress destination;
    int prefix = 0;
    QHostAddress gateway; // null for a route on the link
    QString interfaceName;
    bool reject = false; // an "unreachable" route: it leads nowhere
};

// The rows of /proc/net/route (IPv4) and /proc/net/ipv6_route; lines that do not parse, and
// routes that are not up, are left out.
QList<RouteEntry> ParseIpv4Routes(const QByteArray &text);
QList<RouteEntry> ParseIpv6Routes(const QByteArray &text);
// The IPv4 neighbours of /proc/net/arp: complete when the link layer answered.
struct Neighbour {
    QHostAddress address;
    bool complete = false;
};
QList<Neighbour> ParseNeighbours(const QByteArray &text);
// The name servers of a resolv.conf.
QList<QHostAddress> ParseNameServers(const QByteArray &text);

// What this computer's own network looks like at this moment, as the system tells it. Asked
// only after a ping failed, so a working network costs nothing: the files are read and the
// system's network backend is loaded at the first question.
class NetworkState : public QObject {
    Q_OBJECT
public:
    // The system's word on connectivity (QNetworkInformation where a backend loads).
    enum class Reach { Unknown, Disconnected, Local, Online };

    explicit NetworkState(QObject *parent = nullptr);
    ~NetworkState() override;

    Reach SystemReach();
    // A route of the main table leads to the address over an interface that is up and has its
    // link: a loopback address always has one. A null address asks for a default route of
    // either family.
    bool HasRoute(const QHostAddress &address);
    // The address is reached through a route more specific than the default (its own link or
    // a network routed on purpose), or it is a loopback address.
    bool HasSpecificRoute(const QHostAddress &address);
    // Every IPv4 default gateway has a neighbour entry and none is complete: the router did not
    // answer on the link. False without an IPv4 default route or before anything was sent.
    bool GatewaysUnreachable();
    // A name server of /etc/resolv.conf is on this computer or has a route.
    bool NameServerReachable();

    // While on, changed() follows every change of routes, links and the system's
    // connectivity. Off by default: a network that works needs no watching.
    void Watch(bool on);
    bool Watching() const { return m_watching; }

    // The system's backend is not asked (its answer belongs to the machine, not to the
    // network namespace a test made). For tests.
    void SetSystemBackend(bool use) { m_useSystem = use; }

signals:
    void changed();
    // Something the state cannot read; said once for each kind.
    void problem(const QString &text);

private:
    QList<RouteEntry> Routes(int family);
    bool InterfaceUsable(const QString &name);
    bool Usable(const RouteEntry &route, const QHostAddress &address, bool defaultOnly);
    void LoadSystemBackend();
    void OnNetlink();
    void Problem(int kind, const QString &text);

    bool m_useSystem = true;
    bool m_systemTried = false;
    bool m_watching = false;
    int m_netlink = -1;
    std::unique_ptr<QSocketNotifier> m_netlinkNotifier;
    QMetaObject::Connection m_reachConnection;
    int m_problemsSaid = 0; // a bit for each kind said
};
