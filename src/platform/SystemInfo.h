#pragma once

#include <QString>

// gethostname; "<Error getting computer name>" when it fails.
QString ComputerNetworkName();

// The pieces of the user agent's system part: "(%s%s %d.%d%s)" = name, family flag text,
// major, minor, service-pack part. On Windows: "Windows", " NT", the real version (ntdll's,
// not the compatibility answer), the service-pack text. Elsewhere: uname's system name ("Linux"),
// "", the release's first two numbers, "".
struct OsVersionInfo {
    QString name;
    QString family;
    int major = 0;
    int minor = 0;
    QString servicePack;
};
OsVersionInfo CurrentOsVersion();

// The same pieces from uname's system name and release text: "6.1.0-18-amd64" gives 6 and 1;
// a missing number is 0.
OsVersionInfo OsVersionFromUname(const QString &sysname, const QString &release);
