#include "platform/NetworkState.h"

#include <QFile>
#include <QNetworkInformation>
#include <QSocketNotifier>
#include <QtEndian>

#if defined(Q_OS_LINUX)
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

constexpr unsigned RouteUp = 0x0001;        // RTF_UP
constexpr unsigned RouteReject = 0x0200;    // RTF_REJECT
constexpr unsigned NeighbourComplete = 0x2; // ATF_COM

enum ProblemKind { NoBackend = 1, NoRoutes = 2, NoWatch = 4 };

QByteArray ReadProc(const char *path) {
    QFile file(QString::fromLatin1(path));
    // Files of /proc have no size: read until the end.
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QList<QByteArray> Fields(const QByteArray &line) { return line.simplified().split(' '); }

bool Hex(const QByteArray &text, quint32 *value) {
    bool ok = false;
    *value = text.toUInt(&ok, 16);
    return ok;
}

} // namespace

QList<RouteEntry> ParseIpv4Routes(const QByteArray &text) {
    // Iface Destination Gateway Flags RefCnt Use Metric Mask MTU Window IRTT; the addresses
    // are the bytes in network order printed as a number of this machine.
    QList<RouteEntry> routes;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> f = Fields(lines.at(i));
        quint32 destination = 0, gateway = 0, flags = 0, mask = 0;
        if (f.size() < 8 || !Hex(f[1], &destination) || !Hex(f[2], &gateway) ||
            !Hex(f[3], &flags) || !Hex(f[7], &mask) || !(flags & RouteUp))
            continue;
        RouteEntry route;
        route.interfaceName = QString::fromLatin1(f[0]);
        route.destination = QHostAddress(qFromBigEndian(destination));
        route.prefix = qPopulationCount(mask);
        if (gateway != 0)
            route.gateway = QHostAddress(qFromBigEndian(gateway));
        route.reject = flags & RouteReject;
        routes << route;
    }
    return routes;
}

QList<RouteEntry> ParseIpv6Routes(const QByteArray &text) {
    // destination prefix source source-prefix next-hop metric refcnt use flags interface
    QList<RouteEntry> routes;
    const auto address = [](const QByteArray &hex, QHostAddress *out) {
        const QByteArray bytes = QByteArray::fromHex(hex);
        if (hex.size() != 32 || bytes.size() != 16)
            return false;
        *out = QHostAddress(reinterpret_cast<const quint8 *>(bytes.constData()));
        return true;
    };
    for (const QByteArray &line : text.split('\n')) {
        const QList<QByteArray> f = Fields(line);
        RouteEntry route;
        quint32 prefix = 0, flags = 0;
        QHostAddress hop;
        if (f.size() < 10 || !address(f[0], &route.destination) || !Hex(f[1], &prefix) ||
            !address(f[4], &hop) || !Hex(f[8], &flags) || !(flags & RouteUp) || prefix > 128)
            continue;
        route.prefix = int(prefix);
        if (!hop.isEqual(QHostAddress(QHostAddress::AnyIPv6)))
            route.gateway = hop;
        route.reject = flags & RouteReject;
        route.interfaceName = QString::fromLatin1(f[9]);
        routes << route;
    }
    return routes;
}

QList<Neighbour> ParseNeighbours(const QByteArray &text) {
    // IP address, HW type, Flags, HW address, Mask, Device
    QList<Neighbour> out;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> f = Fields(lines.at(i));
        quint32 flags = 0;
        if (f.size() < 6 || !Hex(f[2].startsWith("0x") ? f[2].mid(2) : f[2], &flags))
            continue;
        const QHostAddress address(QString::fromLatin1(f[0]));
        if (!address.isNull())
            out << Neighbour{address, (flags & NeighbourComplete) != 0};
    }
    return out;
}

QList<QHostAddress> ParseNameServers(const QByteArray &text) {
    QList<QHostAddress> out;
    for (const QByteArray &line : text.split('\n')) {
        const QList<QByteArray> f = Fields(line);
        if (f.size() >= 2 && f[0] == "nameserver") {
            // A scoped IPv6 server ("fe80::1%eth0") keeps its scope.
            const QHostAddress address(QString::fromLatin1(f[1]));
            if (!address.isNull())
                out << address;
        }
    }
    return out;
}

NetworkState::NetworkState(QObject *parent) : QObject(parent) {}

NetworkState::~NetworkState() { Watch(false); }

void NetworkState::Problem(int kind, const QString &text) {
    if (m_problemsSaid & kind)
        return;
    m_problemsSaid |= kind;
    emit problem(text);
}

void NetworkState::LoadSystemBackend() {
    if (m_systemTried || !m_useSystem)
        return;
    m_systemTried = true;
    // Only a backend that knows more than the routes: GLib's reads the same routing table and
    // was seen keeping its first answer for good (Debian 12), so the routes are read directly.
#if defined(Q_OS_WIN)
    const QString backend = QStringLiteral("networklistmanager");
#else
    const QString backend = QStringLiteral("networkmanager");
#endif
    if (!QNetworkInformation::loadBackendByName(backend))
        Problem(NoBackend, QStringLiteral("no network backend of the system loads (%1); the "
                                          "routes and the errors tell an outage of this "
                                          "computer's network")
                               .arg(backend));
}

NetworkState::Reach NetworkState::SystemReach() {
    LoadSystemBackend();
    if (!m_useSystem)
        return Reach::Unknown;
    const QNetworkInformation *info = QNetworkInformation::instance();
    if (!info)
        return Reach::Unknown;
    switch (info->reachability()) {
    case QNetworkInformation::Reachability::Disconnected:
        return Reach::Disconnected;
    case QNetworkInformation::Reachability::Local:
        return Reach::Local;
    case QNetworkInformation::Reachability::Site:
    case QNetworkInformation::Reachability::Online:
        return Reach::Online;
    case QNetworkInformation::Reachability::Unknown:
        break;
    }
    return Reach::Unknown;
}

QList<RouteEntry> NetworkState::Routes(int family) {
#if defined(Q_OS_LINUX)
    const QByteArray text = ReadProc(family == 4 ? "/proc/net/route" : "/proc/net/ipv6_route");
    if (text.isEmpty() && family == 4)
        Problem(NoRoutes, QStringLiteral("the routing table (/proc/net/route) cannot be read"));
    return family == 4 ? ParseIpv4Routes(text) : ParseIpv6Routes(text);
#else
    Q_UNUSED(family);
    return {};
#endif
}

bool NetworkState::InterfaceUsable(const QString &name) {
#if defined(Q_OS_LINUX)
    // Asked of the kernel through a socket, not sysfs: sysfs shows the namespace it was
    // mounted in, a socket the one this program runs in.
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return true;
    ifreq request{};
    const QByteArray bytes = name.toLatin1();
    qstrncpy(request.ifr_name, bytes.constData(), sizeof request.ifr_name);
    const bool known = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    ::close(fd);
    // Up, and running: the link has its carrier (a cable, an association, a peer).
    return !known || ((request.ifr_flags & IFF_UP) && (request.ifr_flags & IFF_RUNNING));
#else
    Q_UNUSED(name);
    return true;
#endif
}

bool NetworkState::Usable(const RouteEntry &route, const QHostAddress &address, bool defaultOnly) {
    if (route.reject || (defaultOnly && route.prefix != 0))
        return false;
    if (!address.isNull() && !address.isInSubnet(route.destination, route.prefix))
        return false;
    return InterfaceUsable(route.interfaceName);
}

bool NetworkState::HasRoute(const QHostAddress &address) {
#if !defined(Q_OS_LINUX)
    // No routing table to read here: the system's backend and the errors tell alone.
    Q_UNUSED(address);
    return true;
#endif
    if (address.isLoopback())
        return true;
    if (address.isNull()) {
        for (int family : {4, 6}) {
            for (const RouteEntry &route : Routes(family)) {
                if (Usable(route, QHostAddress(), true))
                    return true;
            }
        }
        return false;
    }
    const bool v4 = address.protocol() == QAbstractSocket::IPv4Protocol;
    for (const RouteEntry &route : Routes(v4 ? 4 : 6)) {
        if (Usable(route, address, false))
            return true;
    }
    return false;
}

bool NetworkState::HasSpecificRoute(const QHostAddress &address) {
    if (address.isLoopback())
        return true;
    if (address.isNull())
        return false;
    const bool v4 = address.protocol() == QAbstractSocket::IPv4Protocol;
    for (const RouteEntry &route : Routes(v4 ? 4 : 6)) {
        // IPv6 has a link-local route on every interface; it says nothing about the network.
        if (route.prefix > 0 && !(route.prefix == 64 && route.destination.isLinkLocal()) &&
            Usable(route, address, false))
            return true;
    }
    return false;
}

bool NetworkState::GatewaysUnreachable() {
#if defined(Q_OS_LINUX)
    QList<QHostAddress> gateways;
    for (const RouteEntry &route : Routes(4)) {
        if (route.prefix == 0 && !route.reject && !route.gateway.isNull())
            gateways << route.gateway;
    }
    if (gateways.isEmpty())
        return false;
    // A gateway without an entry has not been tried yet: that tells nothing.
    int failed = 0;
    for (const Neighbour &neighbour : ParseNeighbours(ReadProc("/proc/net/arp"))) {
        if (!gateways.contains(neighbour.address))
            continue;
        if (neighbour.complete)
            return false;
        ++failed;
    }
    return failed > 0;
#else
    return false;
#endif
}

bool NetworkState::NameServerReachable() {
    const QList<QHostAddress> servers = ParseNameServers(ReadProc("/etc/resolv.conf"));
    // No name server written down: the system's resolver asks one on this computer.
    if (servers.isEmpty())
        return true;
    for (const QHostAddress &server : servers) {
        if (HasRoute(server))
            return true;
    }
    return false;
}

void NetworkState::Watch(bool on) {
    if (on == m_watching)
        return;
    m_watching = on;
    if (!on) {
        QObject::disconnect(m_reachConnection);
        m_netlinkNotifier.reset();
#if defined(Q_OS_LINUX)
        if (m_netlink >= 0)
            ::close(m_netlink);
#endif
        m_netlink = -1;
        return;
    }
    LoadSystemBackend();
    if (m_useSystem && QNetworkInformation::instance())
        m_reachConnection =
            connect(QNetworkInformation::instance(), &QNetworkInformation::reachabilityChanged,
                    this, &NetworkState::changed);
#if defined(Q_OS_LINUX)
    // Route and link changes from the kernel as they happen, without polling.
    m_netlink = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE | RTMGRP_IPV4_IFADDR |
                      RTMGRP_IPV6_IFADDR;
    if (m_netlink >= 0 &&
        ::bind(m_netlink, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        ::close(m_netlink);
        m_netlink = -1;
    }
    if (m_netlink < 0) {
        Problem(NoWatch, QStringLiteral("route changes cannot be followed (netlink); the network "
                                        "is looked at again every few seconds"));
        return;
    }
    m_netlinkNotifier = std::make_unique<QSocketNotifier>(m_netlink, QSocketNotifier::Read);
    connect(m_netlinkNotifier.get(), &QSocketNotifier::activated, this, &NetworkState::OnNetlink);
#endif
}

void NetworkState::OnNetlink() {
#if defined(Q_OS_LINUX)
    // The messages themselves do not matter, only that something changed: read them all, then
    // say so once.
    char buffer[8192];
    while (::recv(m_netlink, buffer, sizeof buffer, 0) > 0) {
    }
#endif
    emit changed();
}
