#include "platform/SystemInfo.h"

#include <QSysInfo>

#include <limits>

#include <sys/utsname.h>
#include <unistd.h>

QString ComputerNetworkName() {
    char buffer[1024] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0)
        return QStringLiteral("<Error getting computer name>");
    return QString::fromLocal8Bit(buffer);
}

namespace {

// Reads the decimal number at pos and moves pos behind it; 0 when there is none. Stops
// adding digits before the value could overflow.
int readNumber(const QString &text, qsizetype &pos) {
    int value = 0;
    for (; pos < text.size() && text[pos].isDigit() && text[pos].unicode() < 0x80; ++pos) {
        if (value <= (std::numeric_limits<int>::max() - 9) / 10)
            value = value * 10 + (text[pos].unicode() - '0');
    }
    return value;
}

} // namespace

OsVersionInfo OsVersionFromUname(const QString &sysname, const QString &release) {
    OsVersionInfo info;
    info.name = sysname;
    qsizetype pos = 0;
    info.major = readNumber(release, pos);
    if (pos > 0 && pos < release.size() && release[pos] == QLatin1Char('.')) {
        ++pos;
        info.minor = readNumber(release, pos);
    }
    return info;
}

OsVersionInfo CurrentOsVersion() {
    struct utsname names {};
    if (::uname(&names) != 0)
        return OsVersionFromUname(QSysInfo::kernelType(), QSysInfo::kernelVersion());
    return OsVersionFromUname(QString::fromLocal8Bit(names.sysname),
                              QString::fromLocal8Bit(names.release));
}
