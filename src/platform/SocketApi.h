#pragma once

// The system's stream-socket calls as the client socket and the e-mail use them: POSIX
// sockets (SocketApi.cpp) or Winsock (SocketApiWin.cpp). Every error comes back as a Windows
// Sockets number (WsaErrors.h), so the callers never see errno or WSAGetLastError.

#include <QString>
#include <QtGlobal>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace Sockets {

// A socket handle: a descriptor, or a Winsock SOCKET; the type QSocketNotifier takes.
using Handle = qintptr;
inline constexpr Handle Invalid = -1;

// Makes the socket library usable in this process (Winsock's start-up); safe to call often.
void Startup();

// A non-blocking stream socket of family, not inherited by programs this one starts. Invalid
// with *error set when it cannot be made.
Handle Open(int family, int *error);
// 0, or the number of the failure.
int Close(Handle handle);
// 0: connected at once; Wsa::InProgress: the completion comes later (the socket turns
// writable); else the number of the failure.
int Connect(Handle handle, const sockaddr *address, int length);
// The outcome of a connect that was in progress (SO_ERROR).
int PendingError(Handle handle);
// How often a connect in progress is also checked for a failure, in ms; 0: never. Winsock
// (Wine's, at least) tells of a connect refused before the event loop asked for its
// notification to a check only.
int ConnectCheckInterval();
// Whether a connect in progress has failed (PendingError then says why).
bool ConnectFailed(Handle handle);
// Bytes sent or received, or -1 with *error (Wsa::WouldBlock when it would wait). Never
// raises SIGPIPE, never waits.
qint64 Send(Handle handle, const char *data, qint64 size, int *error);
qint64 Receive(Handle handle, char *data, qint64 size, int *error);
// Looks at the next byte without taking it: 1, 0 when the peer has closed, -1 with *error.
qint64 Peek(Handle handle, int *error);
// Any further send or receive fails at once.
void Shutdown(Handle handle);
// getpeername; 0 or the number of the failure.
int PeerName(Handle handle, sockaddr_storage &peer, int *length);

// The interface index of a scope name ("eth0"), 0 when unknown.
unsigned InterfaceIndex(const QString &name);
// The system's hosts file.
QString HostsFilePath();

} // namespace Sockets
