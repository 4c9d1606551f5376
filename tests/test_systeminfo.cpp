#include "platform/SystemInfo.h"

#include <QSysInfo>
#include <QTest>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/utsname.h>
#endif

class TestSystemInfo : public QObject {
    Q_OBJECT

private slots:
    void computerName() {
        const QString name = ComputerNetworkName();
        QVERIFY(!name.isEmpty());
        QVERIFY(name != QStringLiteral("<Error getting computer name>"));
#ifdef Q_OS_WIN
        // Windows' names are the same in any case (Wine gives its NetBIOS form, in capitals).
        QVERIFY2(name.compare(QSysInfo::machineHostName(), Qt::CaseInsensitive) == 0,
                 qPrintable(name));
#else
        QCOMPARE(name, QSysInfo::machineHostName());
#endif
    }

    void releaseNumbers_data() {
        QTest::addColumn<QString>("release");
        QTest::addColumn<int>("major");
        QTest::addColumn<int>("minor");
        QTest::newRow("debian") << "6.1.0-18-amd64" << 6 << 1;
        QTest::newRow("two parts") << "5.15" << 5 << 15;
        QTest::newRow("suffix on minor") << "4.19-rc3" << 4 << 19;
        QTest::newRow("major only") << "7" << 7 << 0;
        QTest::newRow("dash after major") << "5-3.2" << 5 << 0;
        QTest::newRow("major and dot") << "7." << 7 << 0;
        QTest::newRow("no number") << "generic" << 0 << 0;
        QTest::newRow("dot first") << ".5" << 0 << 0;
        QTest::newRow("empty") << "" << 0 << 0;
        QTest::newRow("huge") << "99999999999999999999.3" << 999999999 << 3;
        QTest::newRow("non-ascii digits") << QString::fromUtf8("\u0666.1") << 0 << 0;
    }

    void releaseNumbers() {
        QFETCH(QString, release);
        QFETCH(int, major);
        QFETCH(int, minor);
        const OsVersionInfo info = OsVersionFromUname(QStringLiteral("Linux"), release);
        QCOMPARE(info.name, QStringLiteral("Linux"));
        QCOMPARE(info.family, QString());
        QCOMPARE(info.major, major);
        QCOMPARE(info.minor, minor);
        QCOMPARE(info.servicePack, QString());
    }

#ifdef Q_OS_WIN
    // The user agent's "Windows NT 10.0": the platform family and the real version, as the
    // system's own version query answers a program that declares every version it knows.
    void thisSystem() {
        OSVERSIONINFOW version{};
        version.dwOSVersionInfoSize = sizeof version;
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        QVERIFY(::GetVersionExW(&version));
        QT_WARNING_POP
        const OsVersionInfo info = CurrentOsVersion();
        QCOMPARE(info.name, QStringLiteral("Windows"));
        QCOMPARE(info.family, QStringLiteral(" NT"));
        QVERIFY(info.major >= 6);
        QVERIFY(info.major > int(version.dwMajorVersion) ||
                (info.major == int(version.dwMajorVersion) &&
                 info.minor >= int(version.dwMinorVersion)));
        QCOMPARE(info.servicePack, QString::fromWCharArray(version.szCSDVersion));
        QCOMPARE(QStringLiteral("%1.%2").arg(info.major).arg(info.minor),
                 QSysInfo::kernelVersion().section(QLatin1Char('.'), 0, 1));
    }
#else
    void thisSystem() {
        struct utsname names {};
        QCOMPARE(::uname(&names), 0);
        const OsVersionInfo info = CurrentOsVersion();
        QCOMPARE(info.name, QString::fromLocal8Bit(names.sysname));
        const OsVersionInfo expected =
            OsVersionFromUname(info.name, QString::fromLocal8Bit(names.release));
        QCOMPARE(info.major, expected.major);
        QCOMPARE(info.minor, expected.minor);
        QVERIFY(info.major > 0);
        QVERIFY(info.family.isEmpty() && info.servicePack.isEmpty());
    }
#endif
};

QTEST_GUILESS_MAIN(TestSystemInfo)
#include "test_systeminfo.moc"
