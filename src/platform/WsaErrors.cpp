#include "platform/WsaErrors.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>

namespace {

enum class Source { Errno, Gai };

struct Row {
    int wsa;
    Source source;
    int code;
};

// The first row naming a Windows Sockets number gives its message text; later rows only map
// further system codes onto the same number.
const Row kTable[] = {
    {10004, Source::Errno, EINTR},
    {10009, Source::Errno, EBADF},
    {10013, Source::Errno, EACCES},
    {10013, Source::Errno, EPERM},
    {10014, Source::Errno, EFAULT},
    {10022, Source::Errno, EINVAL},
    {10024, Source::Errno, EMFILE},
    {10024, Source::Errno, ENFILE},
    {10035, Source::Errno, EWOULDBLOCK},
    {10035, Source::Errno, EAGAIN},
    {10036, Source::Errno, EINPROGRESS},
    {10037, Source::Errno, EALREADY},
    {10038, Source::Errno, ENOTSOCK},
    {10039, Source::Errno, EDESTADDRREQ},
    {10040, Source::Errno, EMSGSIZE},
    {10041, Source::Errno, EPROTOTYPE},
    {10042, Source::Errno, ENOPROTOOPT},
    {10043, Source::Errno, EPROTONOSUPPORT},
    {10044, Source::Errno, ESOCKTNOSUPPORT},
    {10045, Source::Errno, EOPNOTSUPP},
    {10046, Source::Errno, EPFNOSUPPORT},
    {10047, Source::Errno, EAFNOSUPPORT},
    {10048, Source::Errno, EADDRINUSE},
    {10049, Source::Errno, EADDRNOTAVAIL},
    {10050, Source::Errno, ENETDOWN},
    {10051, Source::Errno, ENETUNREACH},
    {10052, Source::Errno, ENETRESET},
    {10053, Source::Errno, ECONNABORTED},
    {10054, Source::Errno, ECONNRESET},
    {10054, Source::Errno, EPIPE}, // writing to a connection the peer has reset
    {10055, Source::Errno, ENOBUFS},
    {10055, Source::Errno, ENOMEM},
    {10056, Source::Errno, EISCONN},
    {10057, Source::Errno, ENOTCONN},
    {10058, Source::Errno, ESHUTDOWN},
    {10059, Source::Errno, ETOOMANYREFS},
    {10060, Source::Errno, ETIMEDOUT},
    {10061, Source::Errno, ECONNREFUSED},
    {10062, Source::Errno, ELOOP},
    {10063, Source::Errno, ENAMETOOLONG},
    {10064, Source::Errno, EHOSTDOWN},
    {10065, Source::Errno, EHOSTUNREACH},
    {10066, Source::Errno, ENOTEMPTY},
    {10068, Source::Errno, EUSERS},
    {10069, Source::Errno, EDQUOT},
    {10070, Source::Errno, ESTALE},
    {10071, Source::Errno, EREMOTE},

    {11001, Source::Gai, EAI_NONAME},
    {11002, Source::Gai, EAI_AGAIN},
    {11003, Source::Gai, EAI_FAIL},
    {11004, Source::Gai, EAI_NODATA},
    {11004, Source::Gai, EAI_ADDRFAMILY},
    {10109, Source::Gai, EAI_SERVICE},
    {10044, Source::Gai, EAI_SOCKTYPE},
    {10047, Source::Gai, EAI_FAMILY},
    {10022, Source::Gai, EAI_BADFLAGS},
    {10014, Source::Gai, EAI_OVERFLOW},
    {8, Source::Gai, EAI_MEMORY}, // WSA_NOT_ENOUGH_MEMORY
};

// A system code the table does not know keeps its own text under a number outside the range
// Windows Sockets uses, so it can never be mistaken for one of its numbers.
constexpr int kUnknownErrnoBase = 20000;
constexpr int kUnknownGaiBase = 21000;

const Row *FindByCode(Source source, int code) {
    for (const Row &row : kTable) {
        if (row.source == source && row.code == code)
            return &row;
    }
    return nullptr;
}

const Row *FindByWsa(int wsa) {
    for (const Row &row : kTable) {
        if (row.wsa == wsa)
            return &row;
    }
    return nullptr;
}

QString ErrnoText(int code) {
    char buffer[256];
    // GNU strerror_r: returns the text, which may or may not live in buffer.
    return QString::fromLocal8Bit(strerror_r(code, buffer, sizeof buffer));
}

} // namespace

int WsaFromErrno(int errnoValue) {
    if (errnoValue == 0)
        return 0;
    if (const Row *row = FindByCode(Source::Errno, errnoValue))
        return row->wsa;
    return kUnknownErrnoBase + errnoValue;
}

int WsaFromGai(int gaiValue, int errnoValue) {
    if (gaiValue == 0)
        return 0;
    if (gaiValue == EAI_SYSTEM)
        return errnoValue != 0 ? WsaFromErrno(errnoValue) : 11003;
    if (const Row *row = FindByCode(Source::Gai, gaiValue))
        return row->wsa;
    // EAI codes are negative in glibc.
    return kUnknownGaiBase + qAbs(gaiValue);
}

QString SystemErrorText(int wsaNumber) {
    if (const Row *row = FindByWsa(wsaNumber)) {
        return row->source == Source::Errno ? ErrnoText(row->code)
                                            : QString::fromLocal8Bit(gai_strerror(row->code));
    }
    // The socket's own number for a target with neither host nor address has no system text;
    // an empty text would leave the log line saying nothing at all.
    if (wsaNumber == Wsa::NoAddressSpecified)
        return QStringLiteral("No address specified");
    if (wsaNumber > kUnknownGaiBase && wsaNumber < kUnknownGaiBase + 1000)
        return QString::fromLocal8Bit(gai_strerror(-(wsaNumber - kUnknownGaiBase)));
    if (wsaNumber > kUnknownErrnoBase && wsaNumber < kUnknownErrnoBase + 1000)
        return ErrnoText(wsaNumber - kUnknownErrnoBase);
    return QString();
}
