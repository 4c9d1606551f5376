#include "platform/SocketApi.h"

#include "platform/WsaErrors.h"

#include <QDir>

#include <iphlpapi.h>
#include <mutex>
#include <windows.h>

// Winsock's calls report Windows Sockets numbers themselves (WSAGetLastError).

namespace Sockets {

void Startup() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        // Never cleaned up: sockets may be closed until the process ends.
        ::WSAStartup(MAKEWORD(2, 2), &data);
    });
}

Handle Open(int family, int *error) {
    Startup();
    // WSA_FLAG_NO_HANDLE_INHERIT: not inherited by programs this one starts.
    const SOCKET handle =
        ::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (handle == INVALID_SOCKET) {
        *error = ::WSAGetLastError();
        return Invalid;
    }
    u_long nonBlocking = 1;
    if (::ioctlsocket(handle, FIONBIO, &nonBlocking) != 0) {
        *error = ::WSAGetLastError();
        ::closesocket(handle);
        return Invalid;
    }
    return Handle(handle);
}

int Close(Handle handle) { return ::closesocket(SOCKET(handle)) == 0 ? 0 : ::WSAGetLastError(); }

int Connect(Handle handle, const sockaddr *address, int length) {
    if (::connect(SOCKET(handle), address, length) == 0)
        return 0;
    const int error = ::WSAGetLastError();
    // A non-blocking connect always answers "would block" first; FD_CONNECT completes it.
    return error == WSAEWOULDBLOCK ? Wsa::InProgress : error;
}

int PendingError(Handle handle) {
    int error = 0;
    int length = sizeof error;
    if (::getsockopt(SOCKET(handle), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error),
                     &length) != 0)
        error = ::WSAGetLastError();
    return error;
}

int ConnectCheckInterval() { return 100; }

bool ConnectFailed(Handle handle) {
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(SOCKET(handle), &failed);
    timeval now{0, 0};
    return ::select(0, nullptr, nullptr, &failed, &now) == 1;
}

qint64 Send(Handle handle, const char *data, qint64 size, int *error) {
    const int sent = ::send(SOCKET(handle), data, int(qMin<qint64>(size, INT_MAX)), 0);
    if (sent == SOCKET_ERROR)
        *error = ::WSAGetLastError();
    return sent;
}

qint64 Receive(Handle handle, char *data, qint64 size, int *error) {
    const int received = ::recv(SOCKET(handle), data, int(qMin<qint64>(size, INT_MAX)), 0);
    if (received == SOCKET_ERROR)
        *error = ::WSAGetLastError();
    return received;
}

qint64 Peek(Handle handle, int *error) {
    char byte;
    const int peeked = ::recv(SOCKET(handle), &byte, 1, MSG_PEEK);
    if (peeked == SOCKET_ERROR)
        *error = ::WSAGetLastError();
    return peeked;
}

void Shutdown(Handle handle) { ::shutdown(SOCKET(handle), SD_BOTH); }

int PeerName(Handle handle, sockaddr_storage &peer, int *length) {
    int size = sizeof peer;
    if (::getpeername(SOCKET(handle), reinterpret_cast<sockaddr *>(&peer), &size) != 0)
        return ::WSAGetLastError();
    *length = size;
    return 0;
}

unsigned InterfaceIndex(const QString &name) {
    // Windows names an IPv6 scope by its interface number; a name is looked up as an alias.
    NET_LUID luid;
    if (::ConvertInterfaceAliasToLuid(reinterpret_cast<const wchar_t *>(name.utf16()), &luid) !=
        NO_ERROR)
        return 0;
    NET_IFINDEX index = 0;
    return ::ConvertInterfaceLuidToIndex(&luid, &index) == NO_ERROR ? index : 0;
}

QString HostsFilePath() {
    wchar_t folder[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return QStringLiteral("C:/Windows/System32/drivers/etc/hosts");
    return QDir::fromNativeSeparators(QString::fromWCharArray(folder, int(length))) +
           QStringLiteral("/drivers/etc/hosts");
}

} // namespace Sockets
