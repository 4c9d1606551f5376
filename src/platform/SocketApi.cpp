#include "platform/SocketApi.h"

#include "platform/WsaErrors.h"

#include <cerrno>
#include <net/if.h>
#include <poll.h>
#include <unistd.h>

namespace Sockets {

void Startup() {}

Handle Open(int family, int *error) {
    const int handle = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (handle < 0)
        *error = WsaFromErrno(errno);
    return handle < 0 ? Invalid : handle;
}

int Close(Handle handle) {
    if (::close(int(handle)) != 0 && errno != EINTR)
        return WsaFromErrno(errno);
    return 0;
}

int Connect(Handle handle, const sockaddr *address, int length) {
    if (::connect(int(handle), address, socklen_t(length)) == 0)
        return 0;
    const int error = errno;
    // An interrupted connect goes on in the background, as one in progress does.
    if (error == EINPROGRESS || error == EINTR)
        return Wsa::InProgress;
    // EAGAIN from connect means no free local port, not "try again later".
    return WsaFromErrno(error == EAGAIN ? ENOBUFS : error);
}

int ConnectCheckInterval() { return 0; } // the write notification tells of every outcome

bool ConnectFailed(Handle handle) {
    pollfd entry{int(handle), POLLOUT, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLERR) != 0;
}

int PendingError(Handle handle) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(int(handle), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    return WsaFromErrno(error);
}

qint64 Send(Handle handle, const char *data, qint64 size, int *error) {
    ssize_t sent;
    do {
        sent = ::send(int(handle), data, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0)
        *error = WsaFromErrno(errno);
    return sent;
}

qint64 Receive(Handle handle, char *data, qint64 size, int *error) {
    ssize_t received;
    do {
        received = ::recv(int(handle), data, size_t(size), MSG_DONTWAIT);
    } while (received < 0 && errno == EINTR);
    if (received < 0)
        *error = WsaFromErrno(errno);
    return received;
}

qint64 Peek(Handle handle, int *error) {
    char byte;
    ssize_t peeked;
    do {
        peeked = ::recv(int(handle), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (peeked < 0 && errno == EINTR);
    if (peeked < 0)
        *error = WsaFromErrno(errno);
    return peeked;
}

void Shutdown(Handle handle) { ::shutdown(int(handle), SHUT_RDWR); }

int PeerName(Handle handle, sockaddr_storage &peer, int *length) {
    socklen_t size = sizeof peer;
    if (::getpeername(int(handle), reinterpret_cast<sockaddr *>(&peer), &size) != 0)
        return WsaFromErrno(errno);
    *length = int(size);
    return 0;
}

unsigned InterfaceIndex(const QString &name) {
    return ::if_nametoindex(name.toLocal8Bit().constData());
}

QString HostsFilePath() { return QStringLiteral("/etc/hosts"); }

} // namespace Sockets
