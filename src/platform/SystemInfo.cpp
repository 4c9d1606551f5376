#include "platform/SystemInfo.h"

#include <QSysInfo>

#include <limits>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/utsname.h>
#include <unistd.h>
#endif

QString ComputerNetworkName() {
    char buffer[1024] = {};
#ifdef Q_OS_WIN
    DWORD size = sizeof buffer;
    if (!::GetComputerNameA(buffer, &size))
        return QStringLiteral("<Error getting computer name>");
#else
    if (::gethostname(buffer, sizeof buffer - 1) != 0)
        return QStringLiteral("<Error getting computer name>");
#endif
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

#ifdef Q_OS_WIN
// ntdll's own answer: GetVersionExA reports Windows 8 to a program whose manifest does not
// name the newer systems, and the user agent names the real one.
extern "C" NTSYSAPI LONG NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW info);

OsVersionInfo CurrentOsVersion() {
    RTL_OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    OsVersionInfo info;
    info.name = QStringLiteral("Windows");
    if (::RtlGetVersion(&version) != 0)
        return info;
    if (version.dwPlatformId == VER_PLATFORM_WIN32_NT)
        info.family = QStringLiteral(" NT");
    info.major = int(version.dwMajorVersion);
    info.minor = int(version.dwMinorVersion);
    info.servicePack = QString::fromWCharArray(version.szCSDVersion);
    return info;
}
#else
OsVersionInfo CurrentOsVersion() {
    struct utsname names {};
    if (::uname(&names) != 0)
        return OsVersionFromUname(QSysInfo::kernelType(), QSysInfo::kernelVersion());
    return OsVersionFromUname(QString::fromLocal8Bit(names.sysname),
                              QString::fromLocal8Bit(names.release));
}
#endif
