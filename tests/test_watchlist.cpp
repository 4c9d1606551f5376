// The watched addresses without a window: at most eight pings at once, the first round spread
// over the interval, an alert state of each address's own through the shared policy, edits
// while pings are under way, and the stored list (its separators, refused lines, size).

#include "engine/AlertPolicy.h"
#include "engine/HistoryStore.h"
#include "engine/PingEngine.h"
#include "engine/PingTarget.h"
#include "engine/WatchList.h"
#include "support/TableResolver.h"
#include "support/TestHelpers.h"
#include "support/TestSmtpServer.h"
#include "support/TestTcpServer.h"

#include <QElapsedTimer>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

const QString NotRepeated = QStringLiteral("; not repeated.\r\n");

QString Local(quint16 port, const QString &path) {
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path);
}

// The path of an HTTP request ("HEAD /a HTTP/1.0 ..."), empty for anything else.
QString PathOf(const QByteArray &request) {
    const QList<QByteArray> words = request.left(request.indexOf('\r')).split(' ');
    return words.size() == 3 ? QString::fromUtf8(words[1]) : QString();
}

// A closed port other than those given.
quint16 OtherClosedPort(const QList<quint16> &taken) {
    quint16 port = TestTcpServer::closedPort();
    while (taken.contains(port))
        port = TestTcpServer::closedPort();
    return port;
}

// A list with its shared alert policy, one attempt a ping; every name it could
// look up comes from a table, so nothing leaves the machine.
struct Rig {
    AlertPolicy alerts;
    TableResolver resolver;
    WatchList list{&alerts};
    TOptions options = DefaultOptions();
    QStringList log;
    QStringList notices; // "down: address" and "up: address", as the list tells them
    QList<PingResult> results;

    Rig() {
        options.PingAttempts = 1;
        options.ShowNotifications = false;
        Apply();
        list.SetResolver(&resolver);
        QObject::connect(&list, &WatchList::logText, [this](const QString &t) { log << t; });
        QObject::connect(&list, &WatchList::finished,
                         [this](const PingResult &r) { results << r; });
        QObject::connect(&list, &WatchList::addressDown,
                         [this](const QString &address) { notices << "down: " + address; });
        QObject::connect(&list, &WatchList::addressRecovered,
                         [this](const QString &address) { notices << "up: " + address; });
    }
    ~Rig() { list.Load(QString()); } // nothing under way outlives the servers of a test

    void Apply() {
        list.ApplySettings(options,
                           EngineContext{QStringLiteral("Vennatro/1.0"), QStringLiteral("host"),
                                         QStringLiteral("Vennatro 1.0")});
    }
    // E-mail alerts to a test server, in the clear.
    void MailTo(const TestSmtpServer &smtp) {
        options.SendEmailOnError = true;
        options.ErrorEmailAddress = QStringLiteral("ops@example.test");
        options.FromAddress = QStringLiteral("Vennatro <v@example.test>");
        options.SMTPServer = QStringLiteral("127.0.0.1");
        options.SMTPPort = smtp.port();
        options.SMTPSecurity = 3;
        Apply();
    }
    int Count(const QString &part) const { return int(log.join(QString()).count(part)); }
    int Row(const QString &address) const { return int(list.Addresses().indexOf(address)); }
};

} // namespace

class TestWatchList : public QObject {
    Q_OBJECT

private slots:
    void atMostEightPingsAtOnce();
    void firstRoundSpreadThenEveryInterval();
    void spreadAgainAfterAStall();
    void eachAddressAlertsOnItsOwn();
    void removedWhilePingingLogsNothingMore();
    void removedWhileItsMailIsSent();
    void loadKeepsDuplicatesOnceAndSkipsRefusedLines();
    void loadOfTenThousandLinesStaysQuiet();
    void loadTellsItsViewsOnce();
    void loadTakesEveryLineBreakAndStoredRoundTrips();
    void replaceAndMoveKeepTheOthers();
    void refusedReplaceKeepsTheRowAsItWas();
    void uptimeStartsFromTheHistory();
    void slowRowIsUpAndNotifiesOnceAnEpisode();
};

void TestWatchList::atMostEightPingsAtOnce() {
    Rig rig;
    TestTcpServer server;
    QVERIFY(server.listen());
    server.setScript(TestTcpServer::Script::neverAnswer());
    QSet<int> closedByServer;
    const auto open = [&] {
        int n = 0;
        for (int i = 0; i < server.connectionCount(); ++i)
            n += !server.isClientClosed(i) && !closedByServer.contains(i);
        return n;
    };
    int mostOpen = 0;
    int mostRunning = 0;
    connect(&server, &TestTcpServer::connectionAccepted, this,
            [&] { mostOpen = qMax(mostOpen, open()); });
    connect(&rig.list, &WatchList::rowChanged, this,
            [&] { mostRunning = qMax(mostRunning, rig.list.Running()); });

    rig.list.SetIntervalMs(300);
    for (int i = 0; i < 20; ++i)
        QVERIFY(rig.list.Add(Local(server.port(), QStringLiteral("/w%1").arg(i))));
    QCOMPARE(rig.list.Count(), 20);

    QTRY_VERIFY_WITH_TIMEOUT(server.connectionCount() == 8 && rig.list.Running() == 8, Patience);
    // The other twelve are due (their time has come) and still wait for a free slot.
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            int waiting = 0;
            for (int row = 0; row < rig.list.Count(); ++row) {
                const WatchList::Row r = rig.list.RowAt(row);
                if (r.state != WatchList::UnderWay && r.msToNext == 0)
                    ++waiting;
            }
            return waiting == 12;
        }(),
        Patience);
    Settle();
    QCOMPARE(server.connectionCount(), 8);
    QCOMPARE(rig.list.Running(), 8);
    QCOMPARE(open(), 8);

    // Each slot that frees up goes to one that waits, the longest waiting first: the first
    // twenty requests name twenty different addresses.
    for (int next = 8; next < 20; ++next) {
        const int oldest = next - 8;
        closedByServer << oldest;
        server.closeConnection(oldest);
        QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), next + 1, Patience);
        QVERIFY2(rig.list.Running() <= WatchList::MaxConcurrent,
                 QByteArray::number(rig.list.Running()));
    }
    QSet<QString> paths;
    for (int i = 0; i < 20; ++i) {
        QTRY_VERIFY_WITH_TIMEOUT(server.requestComplete(i), Patience);
        paths << PathOf(server.received(i));
    }
    QCOMPARE(paths.size(), 20);
    QCOMPARE(mostOpen, 8);
    QCOMPARE(mostRunning, 8);
    // The server hung up without a word: each of those twelve pings failed.
    QCOMPARE(rig.list.Down(), 12);

    rig.list.Load(QString());
    QCOMPARE(rig.list.Running(), 0);
    Settle();
    QCOMPARE(rig.list.Running(), 0);
}

void TestWatchList::firstRoundSpreadThenEveryInterval() {
    Rig rig;
    TestTcpServer server;
    QVERIFY(server.listen());
    server.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"}));
    constexpr qint64 Interval = 4000;
    constexpr int N = 4;
    constexpr qint64 Late = 1500; // a loaded machine runs timers late, never early
    QElapsedTimer clock;
    QHash<QString, QList<qint64>> arrivals;
    connect(&server, &TestTcpServer::requestReceived, this,
            [&](int, const QByteArray &request) { arrivals[PathOf(request)] << clock.elapsed(); });

    rig.list.SetIntervalMs(Interval);
    QString stored;
    for (int i = 0; i < N; ++i)
        stored += Local(server.port(), QStringLiteral("/s%1").arg(i)) + QStringLiteral("\r\n");
    clock.start();
    rig.list.Load(stored);
    QCOMPARE(rig.list.Count(), N);

    const auto twiceEach = [&] {
        for (int i = 0; i < N; ++i) {
            if (arrivals.value(QStringLiteral("/s%1").arg(i)).size() < 2)
                return false;
        }
        return true;
    };
    QTRY_VERIFY_WITH_TIMEOUT(twiceEach(), 2 * Interval + 2 * Patience);

    QList<qint64> firsts;
    for (int i = 0; i < N; ++i) {
        const QList<qint64> times = arrivals.value(QStringLiteral("/s%1").arg(i));
        const qint64 offset = Interval * (2 * i + 1) / (2 * N); // 500, 1500, 2500, 3500
        const QByteArray what =
            "address " + QByteArray::number(i) + " at " + QByteArray::number(times[0]) + " and " +
            QByteArray::number(times[1]) + " ms, due " + QByteArray::number(offset);
        QVERIFY2(times[0] >= offset && times[0] <= offset + Late, what);
        QVERIFY2(times[1] >= offset + Interval && times[1] <= offset + Interval + Late, what);
        firsts << times[0];
    }
    // Not all at once: one after the other, across the first interval.
    for (int i = 1; i < N; ++i)
        QVERIFY2(
            firsts[i] - firsts[i - 1] >= 300,
            qPrintable(
                QStringLiteral("first pings at %1 and %2 ms").arg(firsts[i - 1]).arg(firsts[i])));
    QCOMPARE(rig.list.Down(), 0);
    QCOMPARE(rig.list.RowAt(0).state, WatchList::Completed);
}

void TestWatchList::spreadAgainAfterAStall() {
    Rig rig;
    TestTcpServer server;
    QVERIFY(server.listen());
    qint64 now = 0;
    rig.list.SetClock([&now] { return now; });
    rig.list.SetIntervalMs(4000);
    QString stored;
    for (int i = 0; i < 4; ++i)
        stored += Local(server.port(), QStringLiteral("/s%1").arg(i)) + QStringLiteral("\r\n");
    rig.list.Load(stored); // due at 500, 1500, 2500 and 3500 ms
    // The process stands still for a minute before its first ping is due.
    now = 60000;
    QTRY_VERIFY_WITH_TIMEOUT(rig.list.RowAt(3).msToNext > 0, Patience);
    // No burst: nothing started, and the four are spread over the next interval again.
    QCOMPARE(rig.list.Running(), 0);
    QList<qint64> next;
    for (int i = 0; i < 4; ++i)
        next << rig.list.RowAt(i).msToNext;
    QCOMPARE(next, (QList<qint64>{500, 1500, 2500, 3500}));

    // Asleep: nothing is due however long it lasts; the wake spreads them afresh.
    const auto msToNext = [&rig] {
        QList<qint64> out;
        for (int i = 0; i < 4; ++i)
            out << rig.list.RowAt(i).msToNext;
        return out;
    };
    rig.list.Pause();
    now += 3600000;
    QTest::qWait(50);
    QCOMPARE(rig.list.Running(), 0);
    rig.list.Resume();
    QCOMPARE(msToNext(), (QList<qint64>{500, 1500, 2500, 3500}));
    // The network is back: each once within 10 s, one after the other.
    rig.list.PingAllWithin(10000);
    QCOMPARE(msToNext(), (QList<qint64>{1250, 3750, 6250, 8750}));
    QCOMPARE(rig.list.Running(), 0);
}

void TestWatchList::eachAddressAlertsOnItsOwn() {
    Rig rig;
    rig.options.ShowNotifications = true; // with every result's balloon asked for
    TestSmtpServer smtp;
    QVERIFY(smtp.isListening());
    rig.MailTo(smtp);
    TestTcpServer flaky; // down on the first ping, up from then on
    QVERIFY(flaky.listen());
    flaky.setScriptFor(0, TestTcpServer::Script::closeOnAccept());
    flaky.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"}));
    const quint16 portA = OtherClosedPort({flaky.port()});
    const quint16 portB = OtherClosedPort({flaky.port(), portA});
    const QString a = Local(portA, QStringLiteral("/a"));
    const QString b = Local(portB, QStringLiteral("/b"));
    const QString c = Local(flaky.port(), QStringLiteral("/c"));
    rig.list.SetIntervalMs(1500);
    rig.list.Load(a + QStringLiteral("\r\n") + b + QStringLiteral("\r\n") + c +
                  QStringLiteral("\r\n"));

    // Three outages, three failure e-mails, each naming its own address's port.
    QTRY_COMPARE_WITH_TIMEOUT(smtp.mailCount(), 3, Patience);
    for (const quint16 port : {portA, portB, flaky.port()}) {
        int naming = 0;
        for (const TestSmtpServer::Mail &mail : smtp.mails()) {
            QVERIFY(mail.data.contains("Subject: Vennatro - Ping failure notification"));
            naming += mail.data.contains("(port " + QByteArray::number(port) + "): ");
        }
        QVERIFY2(naming == 1,
                 qPrintable(QStringLiteral("port %1 in %2 e-mails").arg(port).arg(naming)));
    }

    // c answers on its next ping: a recovery e-mail for c alone.
    QTRY_COMPARE_WITH_TIMEOUT(smtp.mailCount(), 4, Patience);
    const QByteArray recovery = smtp.mails()[3].data;
    QVERIFY(recovery.contains("Subject: Vennatro - Ping recovery notification"));
    QVERIFY2(
        recovery.contains(QStringLiteral("Connection to [%1] restored after ").arg(c).toUtf8()),
        recovery.constData());

    // a and b stay down: each further failure is held back with a line of its own.
    const auto held = [&](const QString &address) {
        return rig.Count(QStringLiteral("Alert for [%1] already sent at ").arg(address));
    };
    QTRY_VERIFY_WITH_TIMEOUT(held(a) >= 2 && held(b) >= 2, 3 * Patience);
    QCOMPARE(held(c), 0);
    QCOMPARE(rig.Count(NotRepeated), held(a) + held(b));
    QCOMPARE(rig.Count(QStringLiteral("Error connecting to [127.0.0.1] (port %1)").arg(portA)),
             1 + held(a));
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.Count(
            QStringLiteral("Connection to [%1] (port %2) completed").arg(c).arg(flaky.port())) >= 2,
        Patience);
    Settle();
    QCOMPARE(smtp.mailCount(), 4);
    QCOMPARE(rig.Count(QStringLiteral("Notification email sent sucessfully.")), 4);

    // Notices: one for each outage and one for the recovery; none for a routine answer or a
    // failure that goes on.
    QCOMPARE(rig.notices.size(), 4);
    QCOMPARE(rig.notices.count("down: " + a), 1);
    QCOMPARE(rig.notices.count("down: " + b), 1);
    QCOMPARE(rig.notices.count("down: " + c), 1);
    QCOMPARE(rig.notices.last(), "up: " + c);

    // The rows and the shared policy say the same.
    QVERIFY(rig.alerts.IsDown(a));
    QVERIFY(rig.alerts.IsDown(b));
    QVERIFY(!rig.alerts.IsDown(c));
    QCOMPARE(rig.list.Down(), 2);
    QCOMPARE(rig.list.RowAt(rig.Row(a)).state, WatchList::Failed);
    QCOMPARE(rig.list.RowAt(rig.Row(a)).lastResult,
             QStringLiteral("failed: Connection refused (10061)"));
    QCOMPARE(rig.list.RowAt(rig.Row(c)).state, WatchList::Completed);
    QVERIFY(rig.list.RowAt(rig.Row(c)).lastResult.startsWith(QLatin1String("completed in ")));

    // Another engine on the same policy (the main ping) finds a already alerted, in any case.
    PingEngine main;
    main.SetAlertPolicy(&rig.alerts);
    main.ApplySettings(rig.options, EngineContext{});
    QStringList mainLog;
    connect(&main, &PingEngine::logText, this, [&](const QString &t) { mainLog << t; });
    QSignalSpy done(&main, &PingEngine::finished);
    main.SetTarget(NormaliseAddress(QStringLiteral("HTTP://127.0.0.1:%1/a").arg(portA)));
    main.Ping();
    QVERIFY(done.wait(Patience));
    QVERIFY2(mainLog.join(QString()).contains(QLatin1String("already sent at ")),
             qPrintable(mainLog.join(QString())));
    Settle();
    QCOMPARE(smtp.mailCount(), 4);
}

void TestWatchList::removedWhilePingingLogsNothingMore() {
    Rig rig;
    TestTcpServer server;
    QVERIFY(server.listen());
    server.setScript(TestTcpServer::Script::neverAnswer());
    QHash<QString, int> connectionOf;
    connect(&server, &TestTcpServer::requestReceived, this,
            [&](int connection, const QByteArray &r) { connectionOf[PathOf(r)] = connection; });
    rig.list.SetIntervalMs(300);
    for (const char *path : {"/a", "/b", "/c"})
        QVERIFY(rig.list.Add(Local(server.port(), QLatin1String(path))));
    QTRY_VERIFY_WITH_TIMEOUT(connectionOf.size() == 3 && rig.list.Running() == 3, Patience);

    QSignalSpy rows(&rig.list, &WatchList::rowsChanged);
    const int logged = rig.log.size();
    rig.list.Remove(1);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rig.list.Running(), 2);
    QCOMPARE(rig.list.Addresses(), QStringList({Local(server.port(), QStringLiteral("/a")),
                                                Local(server.port(), QStringLiteral("/c"))}));
    // The cancelled ping closes its connection and says nothing: no "aborted" entry, no result.
    QTRY_VERIFY_WITH_TIMEOUT(server.isClientClosed(connectionOf[QStringLiteral("/b")]), Patience);
    Settle();
    QCOMPARE(rig.log.size(), logged);
    QCOMPARE(rig.results.size(), 0);
    QCOMPARE(rig.list.Running(), 2);

    // A new address while the others are under way is pinged beside them.
    QVERIFY(rig.list.Add(Local(server.port(), QStringLiteral("/d"))));
    QTRY_VERIFY_WITH_TIMEOUT(connectionOf.contains(QStringLiteral("/d")), Patience);
    QCOMPARE(rig.list.Running(), 3);

    // Removed from inside its own result, before the list has taken the ping back: counted
    // down once.
    connect(&rig.list, &WatchList::finished, this, [&](const PingResult &r) {
        const int row = rig.Row(r.address);
        if (row >= 0)
            rig.list.Remove(row);
    });
    server.closeConnection(connectionOf[QStringLiteral("/a")]);
    QTRY_COMPARE_WITH_TIMEOUT(rig.list.Count(), 2, Patience);
    Settle();
    QCOMPARE(rig.list.Running(), 2);
    QCOMPARE(rig.results.size(), 1);
    QCOMPARE(rig.results[0].address, Local(server.port(), QStringLiteral("/a")));

    const int before = rig.log.size();
    rig.list.Load(QString());
    QCOMPARE(rig.list.Running(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(server.isClientClosed(connectionOf[QStringLiteral("/c")]) &&
                                 server.isClientClosed(connectionOf[QStringLiteral("/d")]),
                             Patience);
    Settle();
    QCOMPARE(rig.log.size(), before);
    QCOMPARE(rig.results.size(), 1);
    QCOMPARE(rig.list.Running(), 0);
    // A removed address was never pinged again.
    int requestsForB = 0;
    for (int i = 0; i < server.connectionCount(); ++i)
        requestsForB += PathOf(server.received(i)) == QLatin1String("/b");
    QCOMPARE(requestsForB, 1);
}

void TestWatchList::removedWhileItsMailIsSent() {
    Rig rig;
    TestSmtpServer smtp;
    QVERIFY(smtp.isListening());
    smtp.setMode(TestSmtpServer::Mode::NeverAnswer);
    rig.MailTo(smtp);
    rig.list.SetIntervalMs(300);
    QVERIFY(rig.list.Add(Local(TestTcpServer::closedPort(), QStringLiteral("/down"))));
    int logged = -1;
    QElapsedTimer clock;
    QSignalSpy started(&rig.list, &WatchList::mailStarted);
    QSignalSpy closed(&smtp, &TestSmtpServer::connectionClosed);
    // The e-mail has reached the server and waits for its greeting: removed now, from the
    // event loop that runs while the e-mail is under way on its thread.
    connect(&smtp, &TestSmtpServer::connectionAccepted, this, [&] {
        logged = int(rig.log.size());
        clock.start();
        rig.list.Remove(0);
    });
    QTRY_VERIFY_WITH_TIMEOUT(logged >= 0, Patience);
    QCOMPARE(started.size(), 1);
    QCOMPARE(rig.list.Count(), 0);
    QCOMPARE(rig.list.Running(), 0);
    // The exchange is ended at once, and the removed address says nothing more.
    QTRY_VERIFY_WITH_TIMEOUT(closed.size() >= 1, Patience);
    QVERIFY2(clock.elapsed() < 2500, QByteArray::number(clock.elapsed()));
    Settle();
    QCOMPARE(rig.log.size(), logged);
    QCOMPARE(rig.list.Running(), 0);
    QCOMPARE(smtp.mailCount(), 0);
}

void TestWatchList::loadKeepsDuplicatesOnceAndSkipsRefusedLines() {
    Rig rig;
    rig.list.Load(QStringLiteral("http://a.test/\r\nHTTP://A.TEST/\r\nftp://files.test/x\r\n"
                                 "b.test\r\n\r\n  \r\nhttp://a.test/\r\nhttp://c.test:99999/\r\n"
                                 "https://B.test\r\n"));
    QCOMPARE(rig.list.Addresses(),
             QStringList({QStringLiteral("http://a.test/"), QStringLiteral("http://b.test/"),
                          QStringLiteral("https://B.test/")}));
    const QStringList ftp = rig.log.filter(QStringLiteral("ftp://"));
    QCOMPARE(ftp, QStringList{QStringLiteral("Watched address \"ftp://files.test/x\" skipped: "
                                             "Only HTTP and HTTPS protocols are supported.\r\n")});
    QCOMPARE(rig.log.filter(QStringLiteral("c.test")),
             QStringList{QStringLiteral("Watched address \"http://c.test:99999/\" skipped: "
                                        "Invalid port in the address.\r\n")});
    // Blank lines are no entries and say nothing.
    for (const QString &line : rig.log)
        QVERIFY2(!line.contains(QLatin1String("\"\"")), qPrintable(line));

    // Add refuses the same way and says why.
    QString why;
    QVERIFY(!rig.list.Add(QStringLiteral("Http://A.Test/"), &why));
    QCOMPARE(why, QStringLiteral("Already watched: http://a.test/"));
    QVERIFY(!rig.list.Add(QStringLiteral("ftp://x"), &why));
    QCOMPARE(why, QStringLiteral("Only HTTP and HTTPS protocols are supported."));
    QVERIFY(!rig.list.Add(QStringLiteral(" \t"), &why));
    QCOMPARE(why, QStringLiteral("No address specified."));
    QCOMPARE(rig.list.Count(), 3);

    // A new load replaces the list.
    rig.list.Load(QStringLiteral("http://d.test/\r\n"));
    QCOMPARE(rig.list.Addresses(), QStringList{QStringLiteral("http://d.test/")});
}

void TestWatchList::loadOfTenThousandLinesStaysQuiet() {
    Rig rig;
    QString many;
    for (int i = 0; i < 10000; ++i)
        many += QStringLiteral("http://host%1.test/\r\n").arg(i);
    QElapsedTimer clock;
    clock.start();
    rig.list.Load(many);
    const qint64 took = clock.elapsed();
    QCOMPARE(rig.list.Count(), WatchList::MaxAddresses);
    QCOMPARE(rig.list.Addresses().constLast(), QStringLiteral("http://host999.test/"));
    QCOMPARE(rig.log.size(), 11);
    QCOMPARE(rig.log[0], QStringLiteral("Watched address \"http://host1000.test/\" skipped: "
                                        "The list holds at most 1000 addresses.\r\n"));
    QCOMPARE(rig.log[10], QStringLiteral("8990 more watched addresses skipped.\r\n"));
    QVERIFY2(took < 3000, qPrintable(QStringLiteral("Load took %1 ms").arg(took)));
    qInfo("10,000 lines (1,000 kept) loaded in %lld ms", took);

    // Refused lines of any length: one short line each for the first ten, one for the rest.
    rig.log.clear();
    QString refused;
    refused += QStringLiteral("ftp://") + QString(100000, QLatin1Char('x')) + QStringLiteral("\n");
    for (int i = 1; i < 10000; ++i)
        refused += QStringLiteral("ftp://files%1.test/\n").arg(i);
    clock.start();
    rig.list.Load(refused);
    QCOMPARE(rig.list.Count(), 0);
    QCOMPARE(rig.log.size(), 11);
    for (const QString &line : rig.log)
        QVERIFY2(line.size() < 300, qPrintable(line.left(300)));
    QCOMPARE(rig.log[10], QStringLiteral("9990 more watched addresses skipped.\r\n"));
    QVERIFY2(clock.elapsed() < 3000, QByteArray::number(clock.elapsed()));
}

void TestWatchList::loadTellsItsViewsOnce() {
    Rig rig;
    rig.list.Load(QStringLiteral("http://old.test/\r\nhttp://older.test/\r\n"));
    QSignalSpy rows(&rig.list, &WatchList::rowsChanged);
    QString many;
    for (int i = 0; i < WatchList::MaxAddresses; ++i)
        many += QStringLiteral("http://host%1.test/\r\n").arg(i);
    rig.list.Load(many);
    QCOMPARE(rig.list.Count(), WatchList::MaxAddresses);
    QVERIFY(!rows.isEmpty());
    // A view rebuilds itself on each of them: one a row makes a start with 1,000 addresses
    // quadratic (1.4 s to the window shown, bench/README.md).
    QCOMPARE(rows.size(), 1);
}

void TestWatchList::loadTakesEveryLineBreakAndStoredRoundTrips() {
    Rig rig;
    QCOMPARE(rig.list.Stored(), QString());
    rig.list.Load(QStringLiteral("http://a.test/\rhttp://b.test/\nhttp://c.test/\r\n"
                                 "http://d.test/\n\rhttps://e.test:8443/x?y=1"));
    const QStringList want = {QStringLiteral("http://a.test/"), QStringLiteral("http://b.test/"),
                              QStringLiteral("http://c.test/"), QStringLiteral("http://d.test/"),
                              QStringLiteral("https://e.test:8443/x?y=1")};
    QCOMPARE(rig.list.Addresses(), want);
    QVERIFY(rig.log.isEmpty());
    const QString stored = rig.list.Stored();
    QCOMPARE(stored, want.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));

    Rig other;
    other.list.Load(stored);
    QCOMPARE(other.list.Addresses(), want);
    QCOMPARE(other.list.Stored(), stored);
}

void TestWatchList::replaceAndMoveKeepTheOthers() {
    Rig rig;
    rig.list.Load(QStringLiteral("http://a.test/\r\nhttp://b.test/\r\nhttp://c.test/\r\n"
                                 "http://d.test/\r\n"));
    PingEngine *a = rig.list.EngineAt(0);
    PingEngine *c = rig.list.EngineAt(2);
    PingEngine *d = rig.list.EngineAt(3);
    QSignalSpy rows(&rig.list, &WatchList::rowsChanged);

    QString why;
    QVERIFY(rig.list.Replace(1, QStringLiteral("x.test"), &why));
    QCOMPARE(rig.list.Addresses(),
             QStringList({QStringLiteral("http://a.test/"), QStringLiteral("http://x.test/"),
                          QStringLiteral("http://c.test/"), QStringLiteral("http://d.test/")}));
    QCOMPARE(rig.list.EngineAt(0), a);
    QCOMPARE(rig.list.EngineAt(2), c);
    QCOMPARE(rig.list.EngineAt(3), d);
    QVERIFY(rows.size() >= 1);

    // Refused: the reason, and the list as it was.
    const QStringList before = rig.list.Addresses();
    QVERIFY(!rig.list.Replace(1, QStringLiteral("ftp://y.test/"), &why));
    QCOMPARE(why, QStringLiteral("Only HTTP and HTTPS protocols are supported."));
    QCOMPARE(rig.list.Addresses(), before);
    QVERIFY(!rig.list.Replace(1, QStringLiteral("HTTP://C.TEST/"), &why));
    QCOMPARE(why, QStringLiteral("Already watched: http://c.test/"));
    QCOMPARE(rig.list.Addresses(), before);
    QVERIFY(!rig.list.Replace(1, QStringLiteral("http://x.test:0/"), &why));
    QCOMPARE(why, QStringLiteral("Invalid port in the address."));
    QCOMPARE(rig.list.Addresses(), before);
    QVERIFY(!rig.list.Replace(4, QStringLiteral("http://z.test/")));
    QVERIFY(!rig.list.Replace(-1, QStringLiteral("http://z.test/")));
    QCOMPARE(rig.list.Addresses(), before);
    QCOMPARE(rig.list.EngineAt(0), a);
    QCOMPARE(rig.list.EngineAt(3), d);

    // The row's own address in another case is no duplicate of itself.
    QVERIFY(rig.list.Replace(1, QStringLiteral("http://X.test/"), &why));
    QCOMPARE(rig.list.Addresses().at(1), QStringLiteral("http://X.test/"));

    // Moves carry each address with its engine.
    rig.list.Move(0, 3);
    QCOMPARE(rig.list.Addresses(),
             QStringList({QStringLiteral("http://X.test/"), QStringLiteral("http://c.test/"),
                          QStringLiteral("http://d.test/"), QStringLiteral("http://a.test/")}));
    QCOMPARE(rig.list.EngineAt(3), a);
    QCOMPARE(rig.list.EngineAt(1), c);
    rig.list.Move(2, 1);
    QCOMPARE(rig.list.Addresses(),
             QStringList({QStringLiteral("http://X.test/"), QStringLiteral("http://d.test/"),
                          QStringLiteral("http://c.test/"), QStringLiteral("http://a.test/")}));
    const QStringList moved = rig.list.Addresses();
    const int changes = int(rows.size());
    rig.list.Move(0, 4);
    rig.list.Move(-1, 0);
    rig.list.Move(2, 2);
    QCOMPARE(rig.list.Addresses(), moved);
    QCOMPARE(rows.size(), changes); // nothing moved, nothing said
    QCOMPARE(rig.list.Stored(), moved.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));
}

void TestWatchList::refusedReplaceKeepsTheRowAsItWas() {
    Rig rig;
    TestTcpServer server;
    QVERIFY(server.listen());
    server.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"}));
    const QString a = Local(server.port(), QStringLiteral("/a"));
    const QString b = Local(server.port(), QStringLiteral("/b"));
    rig.list.Load(a + QStringLiteral("\r\n") + b + QStringLiteral("\r\n"));
    rig.list.SetIntervalMs(600000); // re-spread: the first pings are minutes away
    rig.list.PingNow(1);
    QTRY_COMPARE_WITH_TIMEOUT(rig.list.RowAt(1).state, WatchList::Completed, Patience);
    const WatchList::Row was = rig.list.RowAt(1);
    QVERIFY(was.lastResult.startsWith(QLatin1String("completed in ")));
    QVERIFY(was.lastPing.isValid());

    QString why;
    QVERIFY(!rig.list.Replace(1, QStringLiteral("ftp://b.test/"), &why));
    QCOMPARE(rig.list.Addresses(), QStringList({a, b}));
    const WatchList::Row now = rig.list.RowAt(1);
    QCOMPARE(now.lastResult, was.lastResult);
    QCOMPARE(now.state, WatchList::Completed);
    QCOMPARE(now.lastPing, was.lastPing);
}

void TestWatchList::uptimeStartsFromTheHistory() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    HistoryStore history(dir.filePath(QStringLiteral("history.sqlite")));
    QVERIFY(history.Open());
    const QString a = QStringLiteral("http://a.test/");
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const auto record = [&](const QString &address, qint64 secondsAgo, PingOutcomeKind outcome) {
        PingResult r;
        r.address = address;
        r.finishedAt = now.addSecs(-secondsAgo);
        r.outcome = outcome;
        r.seconds = outcome == PingOutcomeKind::Completed ? 0.01 : -1;
        r.attempts = 1;
        return history.Record(r);
    };
    // Three answers and a failure in the last day, in different hours; an older failure, a
    // cancel and another address's failure count for nothing.
    QVERIFY(record(a, 60, PingOutcomeKind::Completed));
    QVERIFY(record(a, 2 * 3600, PingOutcomeKind::Completed));
    QVERIFY(record(a, 5 * 3600, PingOutcomeKind::Failed));
    QVERIFY(record(a, 23 * 3600, PingOutcomeKind::Completed));
    QVERIFY(record(a, 30 * 3600, PingOutcomeKind::Failed));
    QVERIFY(record(a, 120, PingOutcomeKind::Cancelled));
    QVERIFY(record(QStringLiteral("http://b.test/"), 60, PingOutcomeKind::Failed));

    Rig rig;
    rig.list.SetHistory(&history);
    QVERIFY(rig.list.Add(a));
    QVERIFY(rig.list.Add(QStringLiteral("http://c.test/")));
    QCOMPARE(rig.list.RowAt(0).uptime24h, 0.75);
    QVERIFY(qIsNaN(rig.list.RowAt(1).uptime24h)); // no history: nothing to say yet
}

void TestWatchList::slowRowIsUpAndNotifiesOnceAnEpisode() {
    TestTcpServer late;
    QVERIFY(late.listen());
    TestTcpServer::Script script = TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"});
    script.delayMs = 250;
    late.setScript(script);
    Rig rig;
    rig.options.SlowAbove = 100;
    rig.Apply();
    QStringList slow;
    QObject::connect(&rig.list, &WatchList::addressSlow,
                     [&slow](const QString &address) { slow << address; });
    const QString address = Local(late.port(), "/late");
    QVERIFY(rig.list.Add(address));
    rig.list.SetIntervalMs(3600 * 1000);
    for (int n = 1; n <= 2; ++n) {
        rig.list.PingNow(0);
        QTRY_COMPARE_WITH_TIMEOUT(rig.results.size(), n, Patience);
        QTRY_VERIFY_WITH_TIMEOUT(rig.list.RowAt(0).state != WatchList::UnderWay, Patience);
    }
    const WatchList::Row row = rig.list.RowAt(0);
    QCOMPARE(row.state, WatchList::Slow);
    QVERIFY2(row.lastResult.startsWith("completed in ") && row.lastResult.endsWith(" s (slow)"),
             qPrintable(row.lastResult));
    QCOMPARE(row.certificateDays, -1); // no TLS, no certificate
    // Slow is up: in the uptime and the tally, never down.
    QCOMPARE(row.uptime24h, 1.0);
    QCOMPARE(rig.list.Outcomes().slow, 1);
    QCOMPARE(rig.list.Outcomes().completed, 0);
    QCOMPARE(rig.list.Down(), 0);
    QVERIFY(rig.notices.isEmpty());
    // Two slow pings in a row are one episode.
    QCOMPARE(slow, QStringList{address});
}

QTEST_GUILESS_MAIN(TestWatchList)
#include "test_watchlist.moc"
