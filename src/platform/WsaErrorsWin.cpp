#include "platform/WsaErrors.h"

#include <cerrno>
#include <windows.h>

// Winsock reports its own numbers; only the C library's errno values need a table.

int WsaFromErrno(int errnoValue) {
    switch (errnoValue) {
    case 0:
        return 0;
    case EINTR:
        return 10004;
    case EBADF:
        return 10009;
    case EACCES:
        return 10013;
    case EFAULT:
        return 10014;
    case EINVAL:
        return 10022;
    case EMFILE:
        return 10024;
    case EWOULDBLOCK:
        return 10035;
    case EINPROGRESS:
        return 10036;
    case EADDRNOTAVAIL:
        return 10049;
    case ENOBUFS:
    case ENOMEM:
        return 10055;
    case ECONNREFUSED:
        return 10061;
    case ETIMEDOUT:
        return 10060;
    default:
        // A number of Windows Sockets' own range passes unchanged.
        return errnoValue >= 10000 && errnoValue < 12000 ? errnoValue : 20000 + errnoValue;
    }
}

int WsaFromGai(int gaiValue, int) {
    // getaddrinfo answers with Windows Sockets numbers here (EAI_NONAME is WSAHOST_NOT_FOUND).
    return gaiValue;
}

QString SystemErrorText(int wsaNumber) {
    if (wsaNumber == Wsa::NoAddressSpecified)
        return QStringLiteral("No address specified");
    wchar_t *buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, DWORD(wsaNumber), 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    if (length == 0)
        return QString();
    const QString text = QString::fromWCharArray(buffer, int(length));
    ::LocalFree(buffer);
    return text;
}
