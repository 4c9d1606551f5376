#include "engine/PingTarget.h"

#include <QRegularExpression>
#include <QTest>

class TestPingTarget : public QObject {
    Q_OBJECT
private slots:
    void normalise_data();
    void normalise();
    void rejectsOtherSchemes_data();
    void rejectsOtherSchemes();
    void trimsEveryControlCharacter();
    void recentListMovesEntryInAnyCase();
    void recentListKeepsOrderOfOthers();
    void recentListStoredForm();
    void userAgent();
    void headRequestBytes();
    void versionCut();
    void bannerAndTimeStamp();
};

void TestPingTarget::normalise_data() {
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("box");
    QTest::addColumn<bool>("https");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("path");
    QTest::newRow("https with path") << "https://H/P"
                                     << "https://H/P" << true << "H"
                                     << "/P";
    QTest::newRow("HTTPS bare host") << "HTTPS://H"
                                     << "HTTPS://H/" << true << "H"
                                     << "/";
    QTest::newRow("http with path") << "http://H/P"
                                    << "http://H/P" << false << "H"
                                    << "/P";
    QTest::newRow("no scheme, path") << "H/P"
                                     << "http://H/P" << false << "H"
                                     << "/P";
    QTest::newRow("no scheme, host") << "H"
                                     << "http://H/" << false << "H"
                                     << "/";
    QTest::newRow("capitals kept") << "HTTP://Example.ORG/Index.HTML"
                                   << "HTTP://Example.ORG/Index.HTML" << false << "Example.ORG"
                                   << "/Index.HTML";
    QTest::newRow("blanks around bare host")
        << "  \t www.example.org \r\n"
        << "http://www.example.org/" << false << "www.example.org"
        << "/";
    QTest::newRow("https alone") << "https://"
                                 << "https:///" << true << ""
                                 << "/";
    QTest::newRow("empty host") << "http:///"
                                << "http:///" << false << ""
                                << "/";
    QTest::newRow("port and user stay in host")
        << "http://ann@host:8080/x?q=1"
        << "http://ann@host:8080/x?q=1" << false << "ann@host:8080"
        << "/x?q=1";
    QTest::newRow("path with slashes") << "https://h/a/b/"
                                       << "https://h/a/b/" << true << "h"
                                       << "/a/b/";
}

void TestPingTarget::normalise() {
    QFETCH(QString, input);
    const NormalisedAddress a = NormaliseAddress(input);
    QVERIFY(a.accepted);
    QTEST(a.boxText, "box");
    QTEST(a.https, "https");
    QTEST(a.host, "host");
    QTEST(a.path, "path");
}

void TestPingTarget::rejectsOtherSchemes_data() {
    QTest::addColumn<QString>("input");
    QTest::newRow("ftp") << "ftp://files.example.org/";
    QTest::newRow("FILE") << "FILE:///etc/passwd";
    QTest::newRow("query carries an address") << "example.org/?next=http://other.example/";
    QTest::newRow("only separator") << "://";
    QTest::newRow("blanks then gopher") << "   gopher://x";
}

void TestPingTarget::rejectsOtherSchemes() {
    QFETCH(QString, input);
    const NormalisedAddress a = NormaliseAddress(input);
    QVERIFY(!a.accepted);
    QCOMPARE(a.boxText, TrimControl(input)); // the box keeps the trimmed text
    QVERIFY(a.host.isEmpty());
}

void TestPingTarget::trimsEveryControlCharacter() {
    QString text;
    for (char16_t c = 0; c <= 32; ++c)
        text += QChar(c);
    QCOMPARE(TrimControl(text + QStringLiteral("a b") + text), QStringLiteral("a b"));
    QCOMPARE(TrimControl(text), QString());
    // Code 127 and beyond are kept.
    QCOMPARE(TrimControl(QStringLiteral("\x7f"
                                        "x")),
             QStringLiteral("\x7f"
                            "x"));
    // Any text at all normalises or is rejected; nothing else can happen.
    QString junk;
    for (int i = 0; i < 5000; ++i)
        junk += QChar(char16_t((i * 7919) % 0xD7FF + 1));
    const NormalisedAddress a = NormaliseAddress(junk);
    QVERIFY(a.accepted || a.host.isEmpty());
}

void TestPingTarget::recentListMovesEntryInAnyCase() {
    QStringList items{QStringLiteral("http://b/"), QStringLiteral("http://host/"),
                      QStringLiteral("http://c/")};
    UpdateRecentList(items, QStringLiteral("HTTP://Host/"));
    QCOMPARE(items, (QStringList{QStringLiteral("HTTP://Host/"), QStringLiteral("http://b/"),
                                 QStringLiteral("http://c/")}));
}

void TestPingTarget::recentListKeepsOrderOfOthers() {
    QStringList items;
    UpdateRecentList(items, QStringLiteral("http://a/"));
    UpdateRecentList(items, QStringLiteral("http://b/"));
    UpdateRecentList(items, QStringLiteral("http://a/"));
    UpdateRecentList(items, QStringLiteral("http://c/"));
    QCOMPARE(items, (QStringList{QStringLiteral("http://c/"), QStringLiteral("http://a/"),
                                 QStringLiteral("http://b/")}));
}

void TestPingTarget::recentListStoredForm() {
    QCOMPARE(JoinRecentList({}), QString());
    QCOMPARE(JoinRecentList({QStringLiteral("A"), QStringLiteral("B")}),
             QStringLiteral("A\r\nB\r\n"));
    QCOMPARE(SplitRecentList(QString()), QStringList());
    QCOMPARE(SplitRecentList(QStringLiteral("A\r\nB\r\n")),
             (QStringList{QStringLiteral("A"), QStringLiteral("B")}));
    // CR, LF and CR LF all separate; only a final break gives no empty entry.
    QCOMPARE(SplitRecentList(QStringLiteral("a\rb\nc\r\nd")),
             (QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"),
                          QStringLiteral("d")}));
    QCOMPARE(SplitRecentList(QStringLiteral("a\n\rb\r\r")),
             (QStringList{QStringLiteral("a"), QString(), QStringLiteral("b"), QString()}));
    const QStringList many{QStringLiteral("http://1/"), QStringLiteral("https://2/x"),
                           QStringLiteral("http://3/\u00e9")};
    QCOMPARE(SplitRecentList(JoinRecentList(many)), many);
}

void TestPingTarget::userAgent() {
    const OsVersionInfo gnuLinux{QStringLiteral("Linux"), QString(), 6, 1, QString()};
    QCOMPARE(
        BuildUserAgent(QStringLiteral("1.0.1"), QString(), gnuLinux, false, QStringLiteral("pc")),
        QStringLiteral("Vennatro/1.0.1 (Linux 6.1)"));
    QCOMPARE(
        BuildUserAgent(QStringLiteral("1.0.1"), QString(), gnuLinux, true, QStringLiteral("pc")),
        QStringLiteral("Vennatro/1.0.1 (Linux 6.1) [pc]"));
    const OsVersionInfo xp{QStringLiteral("Windows"), QStringLiteral(" NT"), 5, 1,
                           QStringLiteral("Service Pack 3")};
    QCOMPARE(BuildUserAgent(QStringLiteral("1.0.1"), QString(), xp, true, QStringLiteral("HOST")),
             QStringLiteral("Vennatro/1.0.1 (Windows NT 5.1 Service Pack 3) [HOST]"));
    // Only the first blank of the suffix becomes '-'.
    QCOMPARE(BuildUserAgent(QStringLiteral("2.0"), QStringLiteral(" beta 2"), gnuLinux, false,
                            QString()),
             QStringLiteral("Vennatro/2.0-beta 2 (Linux 6.1)"));
    // Placeholders in the pieces are never expanded.
    QCOMPARE(BuildUserAgent(QStringLiteral("%1"), QString(), gnuLinux, true, QStringLiteral("%2")),
             QStringLiteral("Vennatro/%1 (Linux 6.1) [%2]"));
}

void TestPingTarget::headRequestBytes() {
    QCOMPARE(BuildHeadRequest(QStringLiteral("/a b?c"), QStringLiteral("Host.Example:81"),
                              QStringLiteral("Vennatro/1.0.1 (Linux 6.1)")),
             QByteArray("HEAD /a b?c HTTP/1.0\r\n"
                        "Host: Host.Example:81\r\n"
                        "Connection: close\r\n"
                        "User-Agent: Vennatro/1.0.1 (Linux 6.1)\r\n"
                        "\r\n"));
}

void TestPingTarget::versionCut() {
    QCOMPARE(CutBeforeLastDot(QStringLiteral("1.0.1.0")), QStringLiteral("1.0.1"));
    QCOMPARE(CutBeforeLastDot(QStringLiteral("(error)")), QString());
    QCOMPARE(CutBeforeLastDot(QStringLiteral("7.")), QStringLiteral("7"));
}

void TestPingTarget::bannerAndTimeStamp() {
    const QString banner = SessionBanner(QStringLiteral("STAMP"));
    QCOMPARE(banner, QStringLiteral("= = = = = = = = = = = =  Session started at [STAMP]  "
                                    "= = = = = = = = = = = = =\r\n\r\n"));
    QCOMPARE(banner.count(QLatin1Char('=')), 25);
    const QString stamp = TimeStamp(QDateTime(QDate(2026, 12, 7), QTime(9, 8, 7)));
    QVERIFY2(stamp.contains(QLatin1String("08")) && stamp.contains(QLatin1String("07")),
             qPrintable(stamp));
    QVERIFY(!stamp.contains(QLatin1Char('\n')));
}

QTEST_GUILESS_MAIN(TestPingTarget)
#include "test_pingtarget.moc"
