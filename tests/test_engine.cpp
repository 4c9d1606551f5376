// The ping engine on its own, without a window: the attempt cycle against loopback servers and
// a table resolver, its time-out, one completion a ping, ports and IPv6 addresses, what reaches
// the wire and the log, cancelling, the error ping, the result record, and the automatic ping
// countdown.

#include "engine/AcceptedStatus.h"
#include "engine/AutoPingScheduler.h"
#include "engine/NetworkVerdict.h"
#include "engine/PingEngine.h"
#include "engine/PingTarget.h"
#include "engine/SnoozeList.h"
#include "platform/NetworkState.h"
#include "platform/SleepWatch.h"
#include "support/EngineProbe.h"
#include "support/LogPattern.h"
#include "support/TableResolver.h"
#include "support/TestCertificate.h"
#include "support/TestHelpers.h"
#include "support/TestNginx.h"
#include "support/TestSmtpServer.h"
#include "support/TestTcpServer.h"

#if defined(Q_OS_LINUX)
#include <QDBusConnection>
#include <QDBusMessage>
#endif
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <limits>
#include <memory>

namespace {

const QString UserAgent = QStringLiteral("Vennatro/1.0.1 (Linux 6.1)");
const QString SuccessBar = QStringLiteral("* * * * * * * * * * * * * * * * * * * * * * * * *");
const QString FailureBar =
    QStringLiteral("|  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |");
const QString Headers = QStringLiteral("Headers received from the server:\r\n\r\n");

QString Port(int port) { return QString::number(port); }

QString ErrorEntry(const QString &host, int port, const QString &text, int code) {
    return FailureBar + QStringLiteral("\r\n[{STAMP}] Error connecting to [") + host +
           QStringLiteral("] (port ") + Port(port) + QStringLiteral("): ") + text +
           QStringLiteral(" (") + QString::number(code) + QStringLiteral(").\r\n\r\n");
}

QString CompletedEntry(const QString &address, int port,
                       const QString &seconds = QStringLiteral("{SECS}")) {
    return SuccessBar + QStringLiteral("\r\n[{STAMP}] Connection to [") + address +
           QStringLiteral("] (port ") + Port(port) + QStringLiteral(") completed in ") + seconds +
           QStringLiteral(" seconds.\r\n");
}

QString AbortedEntry(const QString &address) {
    return FailureBar + QStringLiteral("\r\n[{STAMP}] Ping to [") + address +
           QStringLiteral("] aborted.\r\n\r\n");
}

QString EventName(TErrorEvent kind) {
    switch (kind) {
    case eeGeneral:
        return QStringLiteral("general");
    case eeSend:
        return QStringLiteral("send");
    case eeReceive:
        return QStringLiteral("receive");
    case eeConnect:
        return QStringLiteral("connect");
    case eeDisconnect:
        return QStringLiteral("disconnect");
    case eeAccept:
        return QStringLiteral("accept");
    case eeLookup:
        return QStringLiteral("lookup");
    }
    return QString();
}

// A text with its line breaks made visible, for failure messages.
QByteArray Visible(const QStringList &entries) {
    QString text = entries.join(QStringLiteral("\u00B6\n"));
    text.replace(QLatin1String("\r"), QLatin1String("\\r"));
    text.replace(QLatin1String("\n"), QLatin1String("\\n\n"));
    return text.toUtf8();
}

QByteArray Visible(const QByteArray &bytes) {
    QByteArray text = bytes;
    text.replace("\r", "\\r");
    text.replace("\n", "\\n\n");
    return text;
}

// Every signal of an engine, in the order it came.
class EngineRecorder : public QObject {
public:
    explicit EngineRecorder(PingEngine *engine) {
        connect(engine, &PingEngine::attemptStarted, this,
                [this](const QString &address, int attempt, int attempts) {
                    events << QStringLiteral("started");
                    started << address + QStringLiteral(" %1/%2").arg(attempt).arg(attempts);
                });
        connect(engine, &PingEngine::attemptWaiting, this,
                [this](const QString &address, int attempt, int attempts, int seconds) {
                    events << QStringLiteral("waiting");
                    waits << Wait{address, attempt, attempts, seconds};
                });
        connect(engine, &PingEngine::retryPaused, this, [this](int ms) {
            events << QStringLiteral("paused");
            pauses << ms;
        });
        connect(engine, &PingEngine::logText, this, [this](const QString &entry) {
            events << QStringLiteral("log");
            log << entry;
        });
        connect(engine, &PingEngine::answered, this,
                [this](const QString &address, bool connectOnly, const QString &firstLine) {
                    events << QStringLiteral("answered");
                    answers << address + QLatin1Char('|') +
                                   (connectOnly ? QStringLiteral("connect") : firstLine);
                });
        connect(engine, &PingEngine::pingFailed, this,
                [this](const QString &address, const QString &text) {
                    events << QStringLiteral("pingFailed");
                    downs << address + QLatin1Char('|') + text;
                });
        connect(engine, &PingEngine::connectionEnded, this,
                [this](const QString &address, PingOutcomeKind outcome) {
                    events << QStringLiteral("ended");
                    ends << OutcomeName(outcome) + QLatin1Char('|') + address;
                });
        connect(engine, &PingEngine::attemptFailed, this,
                [this](TErrorEvent kind, int code, const QString &text, bool final) {
                    events << QStringLiteral("failed");
                    failures << EventName(kind) + QLatin1Char(' ') + QString::number(code) +
                                    (final ? QStringLiteral(" final|")
                                           : QStringLiteral(" retry|")) +
                                    text;
                });
        connect(engine, &PingEngine::completed, this, [this](const PingResult &result) {
            events << QStringLiteral("completed");
            completions << result;
        });
        connect(engine, &PingEngine::finished, this, [this](const PingResult &result) {
            events << QStringLiteral("finished");
            results << result;
        });
        connect(engine, &PingEngine::cancelled, this, [this](const QString &address) {
            events << QStringLiteral("cancelled");
            cancelledAddresses << address;
        });
        connect(engine, &PingEngine::idle, this, [this] {
            events << QStringLiteral("idle");
            ++idles;
        });
        connect(engine, &PingEngine::mailStarted, this, [this] {
            events << QStringLiteral("mail");
            ++mailStarts;
        });
        connect(engine, &PingEngine::mailFinished, this, [this](bool sent) {
            events << QStringLiteral("mailed");
            mailsSent << sent;
        });
        connect(engine, &PingEngine::errorPingRequested, this, [this](const QString &address) {
            events << QStringLiteral("errorPing");
            errorPings << address;
        });
        connect(engine, &PingEngine::slowStarted, this, [this](const QString &address, double) {
            events << QStringLiteral("slow");
            slowStarts << address;
        });
        connect(engine, &PingEngine::certificateExpiring, this,
                [this](const QString &address, int days, const QDateTime &) {
                    events << QStringLiteral("certificate");
                    certificateWarnings << address + QLatin1Char('|') + QString::number(days);
                });
        connect(engine, &PingEngine::alertRaised, this, [this](const AlertEvent &event) {
            alerts << event.event + QLatin1Char('|') + event.address + QLatin1Char('|') +
                          event.result.left(event.result.indexOf(QLatin1Char('(')));
        });
        connect(engine, &PingEngine::handlerException, this, [this](std::exception_ptr) {
            events << QStringLiteral("exception");
            ++exceptions;
        });
    }

    struct Wait {
        QString address;
        int attempt;
        int attempts;
        int seconds;
    };

    QStringList events; // one word a signal, in order
    QStringList started;
    QList<Wait> waits;
    QList<int> pauses;
    QStringList log;
    QStringList answers; // "address|first line", or "address|connect"
    QStringList downs;   // "address|error text" of every failed ping
    QStringList ends;    // "outcome|address" of every connection's end
    QStringList cancelledAddresses;
    QStringList failures; // "kind code final|text"
    QList<PingResult> completions;
    QList<PingResult> results;
    QStringList errorPings;
    QStringList slowStarts;          // addresses whose slow episode began
    QStringList certificateWarnings; // "address|days"
    QStringList alerts;              // "event|address|result", as the notify URLs get them
    QList<bool> mailsSent;
    int idles = 0;
    int mailStarts = 0;
    int exceptions = 0;
};

} // namespace

class TestEngine : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    // ---- the time-out ----
    void silentServerTimesOutAndRetries();
    void waitIsReportedFromThreeSeconds();
    void heldLookupEndsAtTheTimeOut();

    // ---- the answer ----
    void closeWithoutAnswerFailsHttpAndCompletesHttps();
    void bigAnswerCompletesOnceWithoutReadingTheBody();
    void trickledStatusLineCompletesAtItsEnd();
    void unfinishedHeadersCompleteAtTheTimeOut();
    void resetAfterTheAnswerIsNoError();
    void splitHeadersAreLoggedOnceWhole();
    void answerBytesAreShownReadably_data();
    void answerBytesAreShownReadably();

    // ---- the address ----
    void timingDetailsAndIpv6ErrorLine();
    void portOfTheAddressIsUsedAndShown();
    void ipv6Literal();
    void ipv6ThroughTheResolver();
    void controlCharactersNeverReachTheWire_data();
    void controlCharactersNeverReachTheWire();

    // ---- cancelling, alerts, the result ----
    void cancelDuringThePauseEndsAtOnce();
    void errorPingRunsOnceAndRaisesNoSeries_data();
    void errorPingRunsOnceAndRaisesNoSeries();
    void finishedOncePerPing_data();
    void finishedOncePerPing();

    // ---- the checks: TLS, certificate expiry, accepted status, slow ----
    void acceptedStatusParses_data();
    void acceptedStatusParses();
    void checksTellTheTruth_data();
    void checksTellTheTruth();
    void certificateExpiryWarnsOnceADay();
    void slowEpisodeNotifiesOnce();
    void attemptEndsNoEarlierThanItsTimeOut();

    // ---- this computer, not the site: a sleep, a stall, the network's facts ----
    void sleepEndsThePingNotChecked_data();
    void sleepEndsThePingNotChecked();
    void logindOnAPrivateSystemBus();
    void routesNeighboursAndReferencesParse();

    // ---- automatic ping ----
    void schedulerPeriodClamp();
    void schedulerCountsThenWaitsWhileBusy();
    void schedulerZeroIntervalIsDueOnEveryFreeTick();

private:
    // Applies the options, takes the address as the target and pings it.
    bool PingTo(const QString &address);
    bool PingTo(const NormalisedAddress &target);
    // Waits until n pings have finished.
    bool WaitFinished(int n = 1);
    bool ResultTimeOfThisRun(const PingResult &result) const;
    // Calls the engine's read handler, then after(), for every read notification.
    template <typename Fn> void AfterEveryRead(Fn after);

    // nginx with a site of each kind, under the test's own authority (SSL_CERT_FILE): made on
    // first use, kept for every row. Skips the test where nginx is missing.
    struct Sites;
    Sites *TlsSites();
    std::unique_ptr<Sites> sites;

    TOptions options;
    EngineContext context;
    std::unique_ptr<TableResolver> resolver;
    std::unique_ptr<PingEngine> engine;
    std::unique_ptr<EngineRecorder> rec;
    QDateTime startedUtc;
    LogPattern log;
};

void TestEngine::init() {
    log.Restart();
    startedUtc = QDateTime::currentDateTimeUtc();
    resolver = std::make_unique<TableResolver>();
    engine = std::make_unique<PingEngine>();
    engine->SetResolver(resolver.get());
    rec = std::make_unique<EngineRecorder>(engine.get());

    options = DefaultOptions();
    options.ShowNotifications = true;
    options.PingAttempts = 1;
    // Addresses without a port never reach a real service.
    options.HTTPPort = TestTcpServer::closedPort();
    options.HTTPSPort = TestTcpServer::closedPort();
    context =
        EngineContext{UserAgent, QStringLiteral("testhost"), QStringLiteral("Vennatro 1.0.1")};
    engine->SetRetryPauseMs(50);
    engine->SetAttemptTimeoutMs(10000);
}

void TestEngine::cleanup() {
    // The engine's socket refers to the resolver: it goes first.
    rec.reset();
    engine.reset();
    resolver.reset();
}

bool TestEngine::PingTo(const NormalisedAddress &target) {
    engine->ApplySettings(options, context);
    if (!engine->SetTarget(target))
        return false;
    engine->Ping();
    return true;
}

bool TestEngine::PingTo(const QString &address) { return PingTo(NormaliseAddress(address)); }

bool TestEngine::WaitFinished(int n) {
    return QTest::qWaitFor([&] { return rec->results.size() >= n && !engine->Busy(); }, Patience);
}

template <typename Fn> void TestEngine::AfterEveryRead(Fn after) {
    const TSocketNotifyEvent read = EngineProbe(engine.get()).ClientSocket()->OnRead;
    EngineProbe(engine.get()).ClientSocket()->OnRead = [read, after](QObject *sender,
                                                                     TCustomWinSocket *socket) {
        read(sender, socket);
        after();
    };
}

bool TestEngine::ResultTimeOfThisRun(const PingResult &result) const {
    // UTC: the ISO text ends with "Z".
    return result.finishedAt.toString(Qt::ISODate).endsWith(QLatin1Char('Z')) &&
           result.finishedAt >= startedUtc.addMSecs(-1) &&
           result.finishedAt <= QDateTime::currentDateTimeUtc();
}

// ---- the time-out ----

void TestEngine::silentServerTimesOutAndRetries() {
    TestTcpServer silent;
    QVERIFY(silent.listen());
    silent.setScript(TestTcpServer::Script::neverAnswer());
    options.PingAttempts = 2;
    engine->SetAttemptTimeoutMs(500);
    engine->SetRetryPauseMs(100);
    const QString address = QStringLiteral("http://127.0.0.1:") + Port(silent.port()) + '/';

    QElapsedTimer clock;
    clock.start();
    QVERIFY(PingTo(address));
    QVERIFY(WaitFinished());
    const qint64 took = clock.elapsed();

    // Two whole attempts, each ended by its time-out, with the pause between them.
    QVERIFY2(took >= 2 * 475 + 100, QByteArray::number(took));
    QVERIFY2(took < 10000, QByteArray::number(took));
    QCOMPARE(silent.connectionCount(), 2);
    QVERIFY(silent.requestComplete(0));
    QVERIFY(silent.requestComplete(1));
    QTRY_VERIFY_WITH_TIMEOUT(silent.isClientClosed(0) && silent.isClientClosed(1), Patience);

    const QString timedOut = QStringLiteral("Connection timed out");
    const QString line = ErrorEntry(QStringLiteral("127.0.0.1"), silent.port(), timedOut, 10060);
    QVERIFY2(log.Matches(rec->log, {line, line}), Visible(rec->log));
    QCOMPARE(rec->failures, (QStringList{QStringLiteral("connect 10060 retry|") + timedOut,
                                         QStringLiteral("connect 10060 final|") + timedOut}));
    QCOMPARE(rec->started, (QStringList{address + " 1/2", address + " 2/2"}));
    QCOMPARE(rec->pauses, QList<int>{100});
    // The failure alerts come once, after the last attempt only.
    QCOMPARE(rec->downs, QStringList{address + QLatin1Char('|') + timedOut});
    // Below 3 s the wait is never reported.
    QVERIFY(rec->waits.isEmpty());

    QCOMPARE(rec->results.size(), 1);
    const PingResult &result = rec->results[0];
    QCOMPARE(result.address, address);
    QCOMPARE(result.outcome, PingOutcomeKind::Failed);
    QCOMPARE(result.attempts, 2);
    QCOMPARE(result.errorCode, 10060);
    QCOMPARE(result.errorText, timedOut);
    QCOMPARE(result.seconds, -1.0);
    QCOMPARE(result.httpStatus, 0);
    QVERIFY(!result.errorPing);
    QVERIFY(rec->completions.isEmpty());
    QCOMPARE(EngineProbe(engine.get()).PingOutcome(), poFailed);
    QCOMPARE(rec->exceptions, 0);

    // Nothing follows the last attempt.
    QVERIFY(!HappensWithin(700, [&] { return silent.connectionCount() > 2; }));
    QCOMPARE(rec->results.size(), 1);
    QCOMPARE(rec->log.size(), 2);
}

void TestEngine::waitIsReportedFromThreeSeconds() {
    TestTcpServer silent;
    QVERIFY(silent.listen());
    silent.setScript(TestTcpServer::Script::neverAnswer());
    // Above 4 s, so that at least one whole-second tick past 3 s comes before the end even
    // when the one-second ticker fires a little early.
    engine->SetAttemptTimeoutMs(4500);
    const QString address = QStringLiteral("http://127.0.0.1:") + Port(silent.port()) + '/';

    QVERIFY(PingTo(address));
    QVERIFY(WaitFinished());

    QVERIFY(!rec->waits.isEmpty());
    int previous = 2;
    for (const EngineRecorder::Wait &wait : std::as_const(rec->waits)) {
        QCOMPARE(wait.address, address);
        QCOMPARE(wait.attempt, 1);
        QCOMPARE(wait.attempts, 1);
        // From 3 s on, counting up, never past the time-out.
        QVERIFY2(wait.seconds > previous && wait.seconds <= 4, QByteArray::number(wait.seconds));
        previous = wait.seconds;
    }
    // Every report belongs to the attempt: none after it ended.
    QVERIFY(rec->events.lastIndexOf(QStringLiteral("waiting")) <
            rec->events.indexOf(QStringLiteral("failed")));
    QCOMPARE(rec->failures,
             QStringList{QStringLiteral("connect 10060 final|Connection timed out")});
    QCOMPARE(rec->results.size(), 1);
    QCOMPARE(rec->results[0].errorCode, 10060);
}

void TestEngine::heldLookupEndsAtTheTimeOut() {
    TestTcpServer http;
    QVERIFY(http.listen());
    http.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"}));
    options.HTTPPort = http.port();
    resolver->addHost(QStringLiteral("held.test"), QStringLiteral("127.0.0.1"),
                      TableResolver::Held);
    engine->SetAttemptTimeoutMs(400);

    QElapsedTimer clock;
    clock.start();
    QVERIFY(PingTo(QStringLiteral("held.test")));
    QCOMPARE(resolver->heldCount(), 1);
    QVERIFY(engine->Busy());
    QTRY_COMPARE_WITH_TIMEOUT(rec->idles, 1, Patience);
    QVERIFY2(clock.elapsed() >= 380, QByteArray::number(clock.elapsed()));
    QVERIFY(!engine->Busy());

    QVERIFY2(log.Matches(rec->log, {ErrorEntry(QStringLiteral("held.test"), http.port(),
                                               QStringLiteral("Connection timed out"), 10060)}),
             Visible(rec->log));
    QCOMPARE(rec->results.size(), 1);
    QCOMPARE(rec->results[0].outcome, PingOutcomeKind::Failed);
    QCOMPARE(rec->results[0].errorCode, 10060);
    QCOMPARE(rec->results[0].attempts, 1);
    // Neither the lookup nor the connect was reached.
    QCOMPARE(rec->results[0].lookupSeconds, -1.0);
    QCOMPARE(rec->results[0].connectSeconds, -1.0);
    QCOMPARE(rec->events.last(), QStringLiteral("finished"));

    // The late answer of the lookup opens nothing.
    resolver->releaseAll();
    QTRY_COMPARE_WITH_TIMEOUT(resolver->answerCount(), 1, Patience);
    Settle();
    QCOMPARE(http.connectionCount(), 0);
    QCOMPARE(rec->log.size(), 1);
    QCOMPARE(rec->idles, 1);
    QCOMPARE(resolver->requestedNames(), QStringList{"held.test"});
}

// ---- the answer ----

void TestEngine::closeWithoutAnswerFailsHttpAndCompletesHttps() {
    // Reads the request, then closes without a byte.
    TestTcpServer closing;
    QVERIFY(closing.listen());
    closing.setScript(TestTcpServer::Script::answer({}));
    options.PingAttempts = 2;
    const QString http = QStringLiteral("http://127.0.0.1:") + Port(closing.port()) + '/';

    QVERIFY(PingTo(http));
    QVERIFY(WaitFinished());
    Settle();
    const QString closed = QStringLiteral("Connection closed by the server without an answer");
    const QString line = ErrorEntry(QStringLiteral("127.0.0.1"), closing.port(), closed, 0);
    QVERIFY2(log.Matches(rec->log, {line, line}), Visible(rec->log));
    QCOMPARE(closing.connectionCount(), 2);
    QVERIFY(closing.requestComplete(0));
    QVERIFY(closing.requestComplete(1));
    QCOMPARE(rec->failures, (QStringList{QStringLiteral("disconnect 0 retry|") + closed,
                                         QStringLiteral("disconnect 0 final|") + closed}));
    QCOMPARE(rec->results.size(), 1);
    QCOMPARE(rec->results[0].outcome, PingOutcomeKind::Failed);
    QCOMPARE(rec->results[0].attempts, 2);
    QCOMPARE(rec->results[0].errorCode, 0);
    QCOMPARE(rec->results[0].errorText, closed);
    QVERIFY(rec->completions.isEmpty());

    // An https address only connects: the same server completes it.
    TestTcpServer closingToo;
    QVERIFY(closingToo.listen());
    closingToo.setScript(TestTcpServer::Script::answer({}));
    const QString https = QStringLiteral("https://127.0.0.1:") + Port(closingToo.port()) + '/';
    rec->log.clear();
    rec->failures.clear();
    rec->answers.clear();
    QVERIFY(PingTo(https));
    QVERIFY(WaitFinished(2));
    QTRY_VERIFY_WITH_TIMEOUT(closingToo.isClientClosed(0), Patience);
    Settle();
    QVERIFY2(log.Matches(rec->log, {CompletedEntry(https, closingToo.port()) + "\r\n"}),
             Visible(rec->log));
    QCOMPARE(closingToo.connectionCount(), 1);
    QCOMPARE(closingToo.received(0), QByteArray());
    QVERIFY(rec->failures.isEmpty());
    QCOMPARE(rec->answers, QStringList{https + "|connect"});
    QCOMPARE(rec->results.size(), 2);
    QCOMPARE(rec->results[1].outcome, PingOutcomeKind::Completed);
    QCOMPARE(rec->results[1].attempts, 1);
    QCOMPARE(rec->results[1].httpStatus, 0);
    QCOMPARE(EngineProbe(engine.get()).PingOutcome(), poSucceeded);
}

void TestEngine::bigAnswerCompletesOnceWithoutReadingTheBody() {
    TestTcpServer http;
    QVERIFY(http.listen());
    http.setScript(TestTcpServer::Script::answer({TestTcpServer::bigAnswer(10 * 1024 * 1024)}));
    options.PingAttempts = 2;
    int reads = 0;
    AfterEveryRead([&reads] { ++reads; });
    const QString address = QStringLiteral("http://127.0.0.1:") + Port(http.port()) + '/';

    QVERIFY(PingTo(address));
    QVERIFY(WaitFinished());
    // The client's close while 10 MB are still on their way resets the connection.
    QTRY_VERIFY_WITH_TIMEOUT(http.isClientClosed(0), Patience);
    Settle();

    QVERIFY2(log.Matches(rec->log, {CompletedEntry(address, http.port()), QString()}),
             Visible(rec->log));
    QCOMPARE(rec->answers, QStringList{address + "|HTTP/1.0 200 OK"});
    // One read was enough for the status line; the body was never read to its end.
    QCOMPARE(reads, 1);
    QCOMPARE(http.chunksSent(0), 0);
    QVERIFY(!EngineProbe(engine.get()).ClientSocket()->Active());
    QCOMPARE(http.connectionCount(), 1);
    QCOMPARE(rec->completions.size(), 1);
    QCOMPARE(rec->results.size(), 1);
    QCOMPARE(rec->results[0].httpStatus, 200);
    QVERIFY(rec->failures.isEmpty());
    QCOMPARE(rec->exceptions, 0);
}

void TestEngine::trickledStatusLineCompletesAtItsEnd() {
    TestTcpServer http;
    QVERIFY(http.listen());
    const QByteArray status = "HTTP/1.0 200 OK\r\n";
    const QByteArray rest = "X-Slow: 0123456789\r\n";
    QList<QByteArray> bytes;
    for (char c : status + rest)
        bytes << QByteArray(1, c);
    TestTcpServer::Script script = TestTcpServer::Script::answer(bytes, false);
    script.manualChunks = true;
    http.setScript(script);
    // One byte a read: the next one goes out only once the previous one has been read.
    int reads = 0;
    AfterEveryRead([&] {
        ++reads;
        http.sendNextChunk(0);
    });
    int readsAtFinish = -1;
    connect(engine.get(), &PingEngine::finished, this, [&] { readsAtFinish = reads; });
    const QString address = QStringLiteral("http://127.0.0.1:") + Port(http.port()) + '/';

    QVERIFY(PingTo(address));
    QVERIFY(WaitFinished());
    // The CR ends the status line: the ping completes in the read of that 16th byte, when
    // the 15 reads before it have ended; the rest is not awaited.
    QCOMPARE(readsAtFinish, int(status.indexOf('\r')));
    QVERIFY(bytes.size() > 30);
    QTRY_VERIFY_WITH_TIMEOUT(http.isClientClosed(0), Patience);
    QVERIFY(http.chunksSent(0) < bytes.size());

    QVERIFY2(log.Matches(rec->log, {CompletedEntry(address, http.port()), QString()}),
             Visible(rec->log));
    QCOMPARE(rec->answers, QStringList{address + "|HTTP/1.0 200 OK"});
    QCOMPARE(rec->results.size(), 1);
    QCOMPARE(rec->results[0].outcome, PingOutcomeKind::Completed);
    QCOMPARE(rec->results[0].httpStatus, 200);
}

void TestEngine::unfinishedHeadersCompleteAtTheTimeOut() {
    TestTcpServer http;
    QVERIFY(http.listen());
    const QByteArray sent = "HTTP/1.0 200 OK\r\nX-Slow: 0123456789\r\n";
    QList<QByteArray> bytes;
    for (char c : sent)
        bytes << QByteArray(1, c);
    // The blank line that would end the headers never comes, nor does the close.
    TestTcpServer::Script script = TestTcpServer::Script::answer(bytes, false);
    script.manualChunks = true;
    http.setScript(script);
    AfterEveryRead([&] { http.sendNextChunk(0); });
    options.LogHTTPHeaders = true;
    options.PingAttempts = 2;
    engine->SetAttemptTimeoutMs(1500);
    const QString address = QStringLiteral("http://127.0.0.1:") + Port(http.port()) + '/';

    QElapsedTimer clock;
    clock.start();
    QVERIFY(PingTo(address));
    QTRY_VERIFY_WITH_TIMEOUT(http.chunksSent(0) == bytes.size(), Patience);
    QVERIFY(rec->results.isEmpty());
    QVERIFY(WaitFinished());
    QVERIFY2(clock.elapsed() >= 1400, QByteArray::number(clock.elapsed()));
    QTRY_VERIFY_WITH_TIMEOUT(http.isClientClosed(0), Patience);
    Settle();

    // What arrived is the answer: completed, timed at its first byte, not failed.
    QCOMPARE(rec->results.size(), 1);
    const PingResult &result = rec->results[0];
    QCOMPARE(result.outcome, PingOutcomeKind::Completed);
    QCOMPARE(result.attempts, 1);
    QCOMPARE(result.httpStatus, 200);
    QVERIFY2(result.firstByteSeconds >= 0 && result.firstByteSeconds < 1.4,
             QByteArray::number(result.firstByteSeconds));
    QCOMPARE(result.seconds, result.firstByteSeconds);
    QVERIFY2(log.Matches(rec->log, {CompletedEntry(address, http.port(),
                                                   QString::asprintf("%.3f", result.seconds)),
                                    Headers + QString::fromLatin1(sent)}),
             Visible(rec->log));
    QVERIFY(rec->failures.isEmpty());
    QCOMPARE(http.connectionCount(), 1);
    QCOMPARE(rec->ends, QStringList{"completed|" + address});
}

void TestEngine::resetAfterTheAnswerIsNoError() {
    TestTcpServer http;
    QVERIFY(http.listen());
    http.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\nServer: reset\r\n"}, false));
    options.LogHTTPHeaders = true; // the head is not whole yet when the reset comes
    options.PingAttempts = 2;
    bool reset = false;
    AfterEveryRead([&] {
        if (!reset) {
            reset = true;
            http.resetConnection(0);
        }
    });
    const QString address = QStringLiteral("http://127.0.0.1:") + Port(http.port()) + '/';

    QVERIFY(PingTo(address));
    QVERIFY(WaitFinished());
    QVERIFY(reset);
    QVERIFY(!HappensWithin(500, [&] { return http.connectionCount() > 1; }));

    QVERIFY2(
        log.Matches(rec->log, {CompletedEntry(address, http.port()),
                               Headers + QStringLiteral("HTTP/1.0 200 OK\r\nServer: reset\r\n")}),
        Visible(rec->log));
    QVERIFY(rec->failures.isEmpty());
    QCOMPARE(rec->results.size(), 1);
    QCOMPARE(rec->results[0].outcome, PingOutcomeKind::Completed);
    QCOMPARE(rec->results[0].attempts, 1);
    QCOMPARE(rec->results[0].errorCode, 0);
    QCOMPARE(rec->ends, QStringList{"completed|" + address});
    QCOMPARE(rec->exceptions, 0);
}

void TestEngine::splitHeadersAreLoggedOnceWhole() {
    TestTcpServer http;
    QVERIFY(http.listen());
    TestTcpServer::Script script = TestTcpServer::Script::answer(
        {"HTTP/1.0 200 OK\r\nServ", "er: split\r\n", "\r\nBODY-BYTES-NEVER-LOGGED"});
    script.manualChunks = true;
    http.setScript(script);
    int reads = 0;
    AfterEveryRead([&] {
        ++reads;
        http.sendNextChunk(0);
    });
    options.LogHTTPHeaders = true;
    const QString address = QStringLiteral("http://127.0.0.1:") + Port(http.port()) + '/';

    QVERIFY(PingTo(address));
    QVERIFY(WaitFinished());
    Settle();
    QCOMPARE(reads, 3);

    // One entry with the time of the first bytes, one with the whole head and nothing after it.
    QCOMPARE(rec->results.size(), 1);
    const PingResult &result = rec->results[0];
    QVERIFY2(log.Matches(rec->log,
                         {CompletedEntry(address, http.port(),
                                         QString::asprintf("%.3f", result.firstByteSeconds)),
                          Headers + QStringLiteral("HTTP/1.0 200 OK\r\nServer: split\r\n\r\n")}),
             Visible(rec->log));
    QVERIFY(!rec->log.join(QString()).contains(QLatin1String("BODY")));
    QCOMPARE(rec->answers, QStringList{address + "|HTTP/1.0 200 OK"});
    QCOMPARE(result.outcome, PingOutcomeKind::Completed);
    QCOMPARE(result.httpStatus, 200);
    QCOMPARE(rec->completions.size(), 1);
}

void TestEngine::answerBytesAreShownReadably_data() {
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QString>("shown");
    QTest::newRow("latin-1") << QByteArray("Server: Caf\xE9") << QStringLiteral("Server: Café");
    QTest::newRow("utf-8") << QByteArray("Server: Caf\xC3\xA9") << QStringLiteral("Server: Café");
    QTest::newRow("escape") << QByteArray("X-Colour: a\x1B[1mb")
                            << QStringLiteral("X-Colour: a\\x1B[1mb");
    QTest::newRow("latin-1 and escape")
        << QByteArray("X-Both: Caf\xE9\x1B") << QStringLiteral("X-Both: Café\\x1B");
}

void TestEngine::answerBytesAreShownReadably() {
    QFETCH(QByteArray, header);
    QFETCH(QString, shown);
    TestTcpServer http;
    QVERIFY(http.listen());
    http.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n" + header + "\r\n\r\n"}));
    options.LogHTTPHeaders = true;
    const QString address = QStringLiteral("http://127.0.0.1:") + Port(http.port()) + '/';

    QVERIFY(PingTo(address));
    QVERIFY(WaitFinished());
    QVERIFY2(log.Matches(rec->log, {CompletedEntry(address, http.port()),
                                    Headers + QStringLiteral("HTTP/1.0 200 OK\r\n") + shown +
                                        QStringLiteral("\r\n\r\n")}),
             Visible(rec->log));
}

// ---- the address ----

void TestEngine::timingDetailsAndIpv6ErrorLine() {
    TestTcpServer http;
    QVERIFY(http.listen());
    http.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"}));
    options.LogTimingDetails = true;
    const QString address = QStringLiteral("http://127.0.0.1:") + Port(http.port()) + "/";
    QVERIFY(PingTo(address));
    QVERIFY(WaitFinished());
    // The phases follow each other and add up to the reported time.
    const QRegularExpression line(
        QStringLiteral("completed in (\\d+\\.\\d{3}) seconds \\(lookup (\\d+\\.\\d{3}), "
                       "connect (\\d+\\.\\d{3}), answer (\\d+\\.\\d{3})\\)\\.\r\n\\z"));
    const QRegularExpressionMatch m = line.match(rec->log.join(QString()).section(
        QLatin1Char('\n'), 1, 1, QString::SectionIncludeTrailingSep));
    QVERIFY2(m.hasMatch(), Visible(rec->log));
    const double sum =
        m.captured(2).toDouble() + m.captured(3).toDouble() + m.captured(4).toDouble();
    QVERIFY2(qAbs(sum - m.captured(1).toDouble()) <= 0.0025, qPrintable(m.captured(0)));

    // An IPv6 literal is named once bracketed in the error line.
    rec->log.clear();
    options.LogTimingDetails = false;
    const QString refused =
        QStringLiteral("http://[::1]:") + Port(TestTcpServer::closedPort()) + "/";
    QVERIFY(PingTo(refused));
    QVERIFY(WaitFinished(2));
    const QString log = rec->log.join(QString());
    QVERIFY2(log.contains(QLatin1String("] Error connecting to [::1] (port ")), qPrintable(log));
    QVERIFY(!log.contains(QLatin1String("[[")));
}

void TestEngine::portOfTheAddressIsUsedAndShown() {
    TestTcpServer named;
    QVERIFY(named.listen());
    named.setScript(TestTcpServer::Script::answer({"HTTP/1.0 204 No Content\r\n\r\n"}));
    TestTcpServer setting;
    QVERIFY(setting.listen());
    setting.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"}));
    options.HTTPPort = setting.port();
    const QString address = QStringLiteral("http://127.0.0.1:") + Port(named.port()) + "/x";

    QVERIFY(PingTo(address));
    QCOMPARE(EngineProbe(engine.get()).ClientSocket()->Port(), int(named.port()));
    QCOMPARE(EngineProbe(engine.get()).TargetPort(), int(named.port()));
    QVERIFY(WaitFinished());
    QCOMPARE(named.connectionCount(), 1);
    QCOMPARE(setting.connectionCount(), 0);
    QCOMPARE(named.received(0),
             "HEAD /x HTTP/1.0\r\nHost: 127.0.0.1:" + QByteArray::number(named.port()) +
                 "\r\nConnection: close\r\nUser-Agent: " + UserAgent.toUtf8() + "\r\n\r\n");
    QVERIFY2(log.Matches(rec->log, {CompletedEntry(address, named.port()), QString()}),
             Visible(rec->log));
    QCOMPARE(rec->results.size(), 1);
    QCOMPARE(rec->results[0].httpStatus, 204);
    QCOMPARE(rec->results[0].address, address);
    QCOMPARE(rec->answers.last(), address + "|HTTP/1.0 204 No Content");

    // The port was that ping's: an address without one goes to the setting again.
    rec->log.clear();
    QVERIFY(PingTo(QStringLiteral("http://127.0.0.1/")));
    QCOMPARE(EngineProbe(engine.get()).ClientSocket()->Port(), int(setting.port()));
    QVERIFY(WaitFinished(2));
    QCOMPARE(named.connectionCount(), 1);
    QCOMPARE(setting.connectionCount(), 1);
    QVERIFY(setting.received(0).startsWith("HEAD / HTTP/1.0\r\nHost: 127.0.0.1\r\n"));
    QVERIFY2(
        log.Matches(rec->log, {CompletedEntry(QStringLiteral("http://127.0.0.1/"), setting.port()),
                               QString()}),
        Visible(rec->log));
    QCOMPARE(rec->results[1].httpStatus, 200);
}

void TestEngine::ipv6Literal() {
    TestTcpServer server;
    server.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\nServer: v6\r\n\r\n"}));
    if (!server.listen(QHostAddress(QHostAddress::LocalHostIPv6)))
        QSKIP("This machine has no ::1 to listen on");
    const QString address = QStringLiteral("http://[::1]:") + Port(server.port()) + '/';

    QVERIFY(PingTo(address));
    QCOMPARE(EngineProbe(engine.get()).TargetHost(), QStringLiteral("[::1]"));
    QVERIFY(WaitFinished());
    QCOMPARE(server.connectionCount(), 1);
    QCOMPARE(server.received(0),
             "HEAD / HTTP/1.0\r\nHost: [::1]:" + QByteArray::number(server.port()) +
                 "\r\nConnection: close\r\nUser-Agent: " + UserAgent.toUtf8() + "\r\n\r\n");
    QVERIFY2(log.Matches(rec->log, {CompletedEntry(address, server.port()), QString()}),
             Visible(rec->log));
    QVERIFY(rec->log[0].contains(QStringLiteral("[http://[::1]:") + Port(server.port()) + "/]"));
    QCOMPARE(rec->results.size(), 1);
    QCOMPARE(rec->results[0].outcome, PingOutcomeKind::Completed);
    QCOMPARE(rec->results[0].httpStatus, 200);
    // A literal is no name: the resolver is never asked.
    QCOMPARE(resolver->requestCount(), 0);
}

void TestEngine::ipv6ThroughTheResolver() {
    TestTcpServer server;
    server.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"}));
    if (!server.listen(QHostAddress(QHostAddress::LocalHostIPv6)))
        QSKIP("This machine has no ::1 to listen on");
    resolver->addHost(QStringLiteral("v6only.test"), QStringLiteral("::1"));
    // The IPv4 address comes first and refuses (nothing listens on that port there); the
    // next address of the lookup is tried.
    resolver->addHost(QStringLiteral("dual.test"), QStringList{"127.0.0.1", "::1"});
    const QString v6only = QStringLiteral("http://v6only.test:") + Port(server.port()) + '/';
    const QString dual = QStringLiteral("http://dual.test:") + Port(server.port()) + "/d";

    QVERIFY(PingTo(v6only));
    QVERIFY(WaitFinished());
    QCOMPARE(server.connectionCount(), 1);
    QCOMPARE(server.received(0),
             "HEAD / HTTP/1.0\r\nHost: v6only.test:" + QByteArray::number(server.port()) +
                 "\r\nConnection: close\r\nUser-Agent: " + UserAgent.toUtf8() + "\r\n\r\n");
    QVERIFY2(log.Matches(rec->log, {CompletedEntry(v6only, server.port()), QString()}),
             Visible(rec->log));

    rec->log.clear();
    QVERIFY(PingTo(dual));
    QVERIFY(WaitFinished(2));
    QCOMPARE(server.connectionCount(), 2);
    QVERIFY(server.received(1).startsWith(
        "HEAD /d HTTP/1.0\r\nHost: dual.test:" + QByteArray::number(server.port()) + "\r\n"));
    QVERIFY2(log.Matches(rec->log, {CompletedEntry(dual, server.port()), QString()}),
             Visible(rec->log));
    QVERIFY(rec->failures.isEmpty());
    QCOMPARE(rec->results[1].outcome, PingOutcomeKind::Completed);
    QCOMPARE(rec->results[1].attempts, 1);
    QCOMPARE(resolver->requestedNames(), (QStringList{"v6only.test", "dual.test"}));
}

void TestEngine::controlCharactersNeverReachTheWire_data() {
    QTest::addColumn<bool>("normalised");
    // The address as a store or a drop hands it over, through the normalisation.
    QTest::newRow("normalised") << true;
    // A target whose pieces still hold CR LF: the request itself must drop them.
    QTest::newRow("raw pieces") << false;
}

void TestEngine::controlCharactersNeverReachTheWire() {
    QFETCH(bool, normalised);
    TestTcpServer http;
    QVERIFY(http.listen());
    http.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"}));
    const QString injected = QStringLiteral("\r\nX-Injected: yes");
    const QString hostPort = QStringLiteral("127.0.0.1:") + Port(http.port());

    NormalisedAddress target;
    if (normalised) {
        target = NormaliseAddress(QStringLiteral("http://") + hostPort + "/a" + injected);
    } else {
        target.accepted = true;
        target.port = http.port();
        target.boxText = QStringLiteral("http://") + hostPort + "/a";
        target.host = QStringLiteral("127.0.0.1");
        target.hostHeader = hostPort + injected;
        target.path = QStringLiteral("/a") + injected;
        context.userAgent = UserAgent + injected;
    }
    QVERIFY(PingTo(target));
    QVERIFY(WaitFinished());
    QCOMPARE(http.connectionCount(), 1);

    const QByteArray request = http.received(0);
    const QList<QByteArray> lines = request.split('\n');
    // Four lines and the blank one, each ended by CR LF; no other line break anywhere.
    QCOMPARE(request.count('\r'), 5);
    QCOMPARE(request.count('\n'), 5);
    QVERIFY2(request.endsWith("\r\n\r\n"), Visible(request));
    QCOMPARE(lines.size(), 6);
    QVERIFY2(lines[0].startsWith("HEAD /a"), Visible(request));
    QVERIFY2(lines[1].startsWith("Host: 127.0.0.1:" + QByteArray::number(http.port())),
             Visible(request));
    QCOMPARE(lines[2], QByteArray("Connection: close\r"));
    QVERIFY2(lines[3].startsWith("User-Agent: " + UserAgent.toUtf8()), Visible(request));
    for (const QByteArray &line : lines)
        QVERIFY2(!line.startsWith("X-Injected"), Visible(request));
    QCOMPARE(rec->results.size(), 1);
    QCOMPARE(rec->results[0].outcome, PingOutcomeKind::Completed);
}

// ---- cancelling, alerts, the result ----

void TestEngine::cancelDuringThePauseEndsAtOnce() {
    TestTcpServer closing;
    QVERIFY(closing.listen());
    closing.setScript(TestTcpServer::Script::answer({}));
    options.PingAttempts = 3;
    engine->SetRetryPauseMs(400);
    const QString address = QStringLiteral("http://127.0.0.1:") + Port(closing.port()) + '/';

    QVERIFY(PingTo(address));
    QTRY_COMPARE_WITH_TIMEOUT(rec->pauses.size(), 1, Patience);
    QCOMPARE(rec->pauses[0], 400);
    QCOMPARE(rec->idles, 1); // the first attempt's end
    QVERIFY(engine->Busy());
    const qsizetype mark = rec->events.size();
    const QStringList logBefore = rec->log;

    engine->Cancel();

    // Over at once, not when the pause would have ended.
    QCOMPARE(rec->idles, 2);
    QVERIFY(!engine->Busy());
    QCOMPARE(EngineProbe(engine.get()).PingOutcome(), poCancelled);
    QCOMPARE(rec->events.mid(mark), (QStringList{"log", "cancelled", "ended", "finished", "idle"}));
    QCOMPARE(rec->log.size(), logBefore.size() + 1);
    QVERIFY2(log.Matches(rec->log.last(), AbortedEntry(address)), Visible(rec->log));
    QCOMPARE(rec->cancelledAddresses, QStringList{address});
    QCOMPARE(rec->ends.last(), "cancelled|" + address);
    QCOMPARE(rec->results.size(), 1);
    QCOMPARE(rec->results[0].outcome, PingOutcomeKind::Cancelled);
    QCOMPARE(rec->results[0].address, address);
    QCOMPARE(rec->results[0].errorCode, 0);
    QVERIFY(rec->results[0].errorText.isEmpty());
    // Cancelled before the second attempt opened anything: fewer attempts than the limit.
    QVERIFY2(rec->results[0].attempts < 3, QByteArray::number(rec->results[0].attempts));

    // No second connection, no further attempt, nothing more logged.
    QVERIFY(!HappensWithin(1500, [&] { return closing.connectionCount() > 1; }));
    QCOMPARE(rec->started.size(), 2);
    QCOMPARE(rec->failures.size(), 1);
    QCOMPARE(rec->results.size(), 1);
    QCOMPARE(rec->log.size(), logBefore.size() + 1);
    QCOMPARE(rec->cancelledAddresses.size(), 1);
}

void TestEngine::errorPingRunsOnceAndRaisesNoSeries_data() {
    QTest::addColumn<bool>("errorPingFails");
    QTest::newRow("error ping fails too") << true;
    QTest::newRow("error ping completes") << false;
}

void TestEngine::errorPingRunsOnceAndRaisesNoSeries() {
    QFETCH(bool, errorPingFails);
    TestSmtpServer smtp;
    QVERIFY(smtp.isListening());
    TestTcpServer errorServer;
    QVERIFY(errorServer.listen());
    errorServer.setScript(errorPingFails
                              ? TestTcpServer::Script::answer({})
                              : TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"}));
    const int refused = TestTcpServer::closedPort();
    const QString address = QStringLiteral("http://127.0.0.1:") + Port(refused) + '/';
    const QString errorAddress =
        QStringLiteral("http://127.0.0.1:") + Port(errorServer.port()) + '/';
    options.PingAttempts = 2;
    options.PingOnError = true;
    options.ErrorPingAddress = errorAddress;
    options.SendEmailOnError = true;
    options.SMTPServer = QStringLiteral("127.0.0.1");
    options.SMTPPort = smtp.port();
    options.SMTPUser = QStringLiteral("user");
    options.SMTPPassword = QStringLiteral("secret");
    options.FromAddress = QStringLiteral("Vennatro Monitor <monitor@example.test>");
    options.ErrorEmailAddress = QStringLiteral("Ops <ops@example.test>");
    // As the view does: the error ping address becomes the target.
    connect(engine.get(), &PingEngine::errorPingRequested, this,
            [this](const QString &a) { engine->SetTarget(NormaliseAddress(a)); });

    QVERIFY(PingTo(address));
    QVERIFY(WaitFinished(2));
    // Nothing follows: no second error ping, no further attempt.
    QVERIFY(!HappensWithin(600, [&] {
        return rec->results.size() > 2 || errorServer.connectionCount() > (errorPingFails ? 2 : 1);
    }));

    QCOMPARE(rec->errorPings, QStringList{errorAddress});
    QCOMPARE(errorServer.connectionCount(), errorPingFails ? 2 : 1);
    // One mail, for the first failure only.
    QCOMPARE(rec->mailStarts, 1);
    QCOMPARE(rec->mailsSent, QList<bool>{true});
    QCOMPARE(smtp.mailCount(), 1);
    const QString body = QString::fromUtf8(smtp.mails().constFirst().data);
    QVERIFY2(body.contains(QStringLiteral("This is an automatic notification from Vennatro at "
                                          "testhost.\r\n\r\n[")),
             body.toUtf8());
    QVERIFY2(body.contains(QStringLiteral("] Error connecting to [127.0.0.1] (port ") +
                           Port(refused) + QStringLiteral("): Connection refused (10061).\r\n")),
             body.toUtf8());

    const QString refusedLine = ErrorEntry(QStringLiteral("127.0.0.1"), refused,
                                           QStringLiteral("Connection refused"), 10061);
    QStringList expected{refusedLine, refusedLine,
                         QStringLiteral("Sending email to failure notification address "
                                        "[Ops <ops@example.test>]..."),
                         QStringLiteral("Notification email sent sucessfully.\r\n"),
                         QStringLiteral("Starting ping to failure notification address [") +
                             errorAddress + QStringLiteral("]...\r\n")};
    if (errorPingFails) {
        const QString closedLine =
            ErrorEntry(QStringLiteral("127.0.0.1"), errorServer.port(),
                       QStringLiteral("Connection closed by the server without an answer"), 0);
        expected << closedLine << closedLine;
    } else {
        expected << CompletedEntry(errorAddress, errorServer.port()) << QString();
    }
    QVERIFY2(log.Matches(rec->log, expected), Visible(rec->log));
    // The mail goes out after the failure is shown and before the error ping begins.
    const qsizetype failedStatus = rec->events.indexOf(QStringLiteral("pingFailed"));
    QVERIFY(failedStatus >= 0);
    QVERIFY(failedStatus < rec->events.indexOf(QStringLiteral("mail")));
    QVERIFY(rec->events.indexOf(QStringLiteral("mailed")) <
            rec->events.indexOf(QStringLiteral("errorPing")));

    QCOMPARE(rec->results.size(), 2);
    const PingResult &first = rec->results[0];
    QCOMPARE(first.address, address);
    QCOMPARE(first.outcome, PingOutcomeKind::Failed);
    QCOMPARE(first.attempts, 2);
    QCOMPARE(first.errorCode, 10061);
    QVERIFY(!first.errorPing);
    const PingResult &second = rec->results[1];
    QCOMPARE(second.address, errorAddress);
    QVERIFY(second.errorPing);
    if (errorPingFails) {
        QCOMPARE(second.outcome, PingOutcomeKind::Failed);
        QCOMPARE(second.attempts, 2);
        QCOMPARE(second.errorCode, 0);
        QCOMPARE(rec->downs.size(), 2);
    } else {
        QCOMPARE(second.outcome, PingOutcomeKind::Completed);
        QCOMPARE(second.attempts, 1);
        QCOMPARE(second.httpStatus, 200);
    }
    QCOMPARE(rec->exceptions, 0);
}

void TestEngine::finishedOncePerPing_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("completed http") << QStringLiteral("http");
    QTest::newRow("completed https") << QStringLiteral("https");
    QTest::newRow("failed") << QStringLiteral("failed");
    QTest::newRow("cancelled") << QStringLiteral("cancelled");
}

void TestEngine::finishedOncePerPing() {
    QFETCH(QString, kind);
    TestTcpServer server;
    QVERIFY(server.listen());
    options.PingAttempts = 3;
    QString address;
    int port = server.port();
    if (kind == QLatin1String("http")) {
        server.setScript(TestTcpServer::Script::answer({"HTTP/1.1 301 Moved\r\n\r\n"}));
        resolver->addHost(QStringLiteral("web.test"), QStringLiteral("127.0.0.1"), 30);
        options.HTTPPort = port;
        address = QStringLiteral("http://web.test/");
    } else if (kind == QLatin1String("https")) {
        server.setScript(TestTcpServer::Script::neverAnswer());
        address = QStringLiteral("https://127.0.0.1:") + Port(port) + '/';
    } else if (kind == QLatin1String("failed")) {
        port = TestTcpServer::closedPort();
        options.PingAttempts = 2;
        address = QStringLiteral("http://127.0.0.1:") + Port(port) + '/';
    } else {
        server.setScript(TestTcpServer::Script::neverAnswer());
        address = QStringLiteral("http://127.0.0.1:") + Port(port) + '/';
    }

    QVERIFY(PingTo(address));
    if (kind == QLatin1String("cancelled")) {
        QTRY_VERIFY_WITH_TIMEOUT(server.requestComplete(0), Patience);
        engine->Cancel();
    }
    QVERIFY(WaitFinished());
    QVERIFY(!HappensWithin(500, [&] { return rec->results.size() > 1; }));
    QCOMPARE(rec->results.size(), 1);
    QCOMPARE(rec->events.count(QStringLiteral("finished")), 1);

    const PingResult &r = rec->results[0];
    QCOMPARE(r.address, address);
    QVERIFY(ResultTimeOfThisRun(r));
    QVERIFY(!r.errorPing);
    // Phases are ordered where known.
    if (r.connectSeconds >= 0)
        QVERIFY2(r.lookupSeconds >= 0 && r.lookupSeconds <= r.connectSeconds,
                 QByteArray::number(r.lookupSeconds) + " " + QByteArray::number(r.connectSeconds));
    if (r.firstByteSeconds >= 0)
        QVERIFY2(r.connectSeconds >= 0 && r.connectSeconds <= r.firstByteSeconds,
                 QByteArray::number(r.connectSeconds) + " " +
                     QByteArray::number(r.firstByteSeconds));

    if (kind == QLatin1String("http")) {
        QCOMPARE(r.outcome, PingOutcomeKind::Completed);
        QCOMPARE(r.attempts, 1);
        QCOMPARE(r.httpStatus, 301);
        QVERIFY(r.firstByteSeconds >= 0);
        QCOMPARE(r.seconds, r.firstByteSeconds);
        // The lookup took its 30 ms; the phases run from the start of the attempt.
        QVERIFY2(r.lookupSeconds >= 0.025, QByteArray::number(r.lookupSeconds));
        QCOMPARE(r.errorCode, 0);
        QVERIFY(r.errorText.isEmpty());
        QCOMPARE(rec->completions.size(), 1);
        QCOMPARE(rec->completions[0].seconds, r.seconds);
        QVERIFY2(log.Matches(rec->log,
                             {CompletedEntry(address, port, QString::asprintf("%.3f", r.seconds)),
                              QString()}),
                 Visible(rec->log));
    } else if (kind == QLatin1String("https")) {
        QCOMPARE(r.outcome, PingOutcomeKind::Completed);
        QCOMPARE(r.attempts, 1);
        QCOMPARE(r.httpStatus, 0);
        QVERIFY(r.connectSeconds >= 0);
        QCOMPARE(r.seconds, r.connectSeconds);
        QCOMPARE(r.firstByteSeconds, -1.0);
        QCOMPARE(rec->completions.size(), 1);
        QVERIFY2(log.Matches(rec->log,
                             {CompletedEntry(address, port, QString::asprintf("%.3f", r.seconds)) +
                              "\r\n"}),
                 Visible(rec->log));
    } else if (kind == QLatin1String("failed")) {
        QCOMPARE(r.outcome, PingOutcomeKind::Failed);
        QCOMPARE(r.attempts, 2);
        QCOMPARE(r.errorCode, 10061);
        QCOMPARE(r.errorText, QStringLiteral("Connection refused"));
        QCOMPARE(r.seconds, -1.0);
        QCOMPARE(r.httpStatus, 0);
        QVERIFY(r.lookupSeconds >= 0);
        QCOMPARE(r.connectSeconds, -1.0);
        QVERIFY(rec->completions.isEmpty());
    } else {
        QCOMPARE(r.outcome, PingOutcomeKind::Cancelled);
        QCOMPARE(r.seconds, -1.0);
        QCOMPARE(r.httpStatus, 0);
        QCOMPARE(r.errorCode, 0);
        QVERIFY(r.connectSeconds >= 0);
        QCOMPARE(r.firstByteSeconds, -1.0);
        QVERIFY(rec->completions.isEmpty());
        QCOMPARE(server.connectionCount(), 1);
        QCOMPARE(r.attempts, 1);
    }
}

// ---- the checks: TLS, certificate expiry, accepted status, slow ----

void TestEngine::acceptedStatusParses_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QList<int>>("accepted");
    QTest::addColumn<QList<int>>("refused");
    QTest::newRow("empty: any") << "" << true << QList<int>{100, 200, 503, 999, 0} << QList<int>{};
    QTest::newRow("blank: any") << "  " << true << QList<int>{404} << QList<int>{};
    QTest::newRow("range") << "200-399" << true << QList<int>{200, 301, 399}
                           << QList<int>{199, 400, 503, 0};
    QTest::newRow("list") << "200, 204 ,301-308" << true << QList<int>{200, 204, 301, 308}
                          << QList<int>{201, 300, 309};
    QTest::newRow("one code") << "204" << true << QList<int>{204} << QList<int>{200};
    QTest::newRow("reversed range") << "399-200" << false << QList<int>{} << QList<int>{};
    QTest::newRow("two digits") << "20" << false << QList<int>{} << QList<int>{};
    QTest::newRow("above 599") << "200-600" << false << QList<int>{} << QList<int>{};
    QTest::newRow("empty part") << "200,,204" << false << QList<int>{} << QList<int>{};
    QTest::newRow("trailing comma") << "200," << false << QList<int>{} << QList<int>{};
    QTest::newRow("words") << "2xx" << false << QList<int>{} << QList<int>{};
    QTest::newRow("open range") << "200-" << false << QList<int>{} << QList<int>{};
}

void TestEngine::acceptedStatusParses() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QList<int>, accepted);
    QFETCH(QList<int>, refused);
    const std::optional<AcceptedStatus> parsed = AcceptedStatus::Parse(text);
    QCOMPARE(parsed.has_value(), valid);
    for (int status : accepted)
        QVERIFY2(parsed->Accepts(status), QByteArray::number(status));
    for (int status : refused)
        QVERIFY2(!parsed->Accepts(status), QByteArray::number(status));
}

struct TestEngine::Sites {
    TestAuthority authority;
    TestNginx nginx;
    TestTcpServer upstream;    // behind /slow: answers after 300 ms
    QMap<QString, int> server; // by kind: valid, expired, ...
    QDateTime validExpiry;
    QString error;

    QString Port(const QString &kind) const {
        return QString::number(nginx.port(server.value(kind)));
    }
};

TestEngine::Sites *TestEngine::TlsSites() {
    if (sites)
        return sites->error.isEmpty() ? sites.get() : nullptr;
    sites = std::make_unique<Sites>();
    Sites &s = *sites;
    if (!s.authority.isValid()) {
        s.error = s.authority.error();
        return nullptr;
    }
    const qint64 day = 24 * 3600;
    TestAuthority::Request valid;
    valid.ipAddresses = QStringList{QStringLiteral("127.0.0.1")};
    valid.validToSeconds = 90 * day;
    s.validExpiry = QDateTime::currentDateTimeUtc().addSecs(90 * day);
    TestAuthority::Request expired = valid;
    expired.validFromSeconds = -30 * day;
    expired.validToSeconds = -day;
    TestAuthority::Request wrongName;
    wrongName.dnsNames = QStringList{QStringLiteral("other.test")};
    TestAuthority::Request selfSigned = valid;
    selfSigned.selfSigned = true;
    TestAuthority::Request nulName;
    nulName.dnsNames =
        QStringList{QStringLiteral("localhost") + QChar(0) + QStringLiteral(".evil.test")};
    TestAuthority::Request bigChain = valid;
    bigChain.chainPadding = 1024 * 1024;
    TestAuthority::Request soon = valid;
    soon.validToSeconds = 5 * day + 3600;
    const QList<QPair<QString, TestAuthority::Request>> kinds = {{"valid", valid},
                                                                 {"expired", expired},
                                                                 {"wrongname", wrongName},
                                                                 {"selfsigned", selfSigned},
                                                                 {"nulname", nulName},
                                                                 {"bigchain", bigChain},
                                                                 {"soon", soon}};
    for (const auto &[kind, request] : kinds) {
        const TestAuthority::Files files = s.authority.issue(kind, request);
        if (files.certificate.isEmpty()) {
            s.error = s.authority.error();
            return nullptr;
        }
        s.server[kind] = s.nginx.addTls(files.certificate, files.key);
    }
    s.server[QStringLiteral("plain")] = s.nginx.addPlain();
    if (!s.upstream.listen()) {
        s.error = QStringLiteral("no upstream");
        return nullptr;
    }
    TestTcpServer::Script late =
        TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"});
    late.delayMs = 300;
    s.upstream.setScript(late);
    s.nginx.setUpstream(s.upstream.port());
    if (!s.nginx.start(&s.error))
        return nullptr;
    qputenv("SSL_CERT_FILE", s.authority.certificatePath().toUtf8());
    qunsetenv("SSL_CERT_DIR");
    return sites.get();
}

void TestEngine::checksTellTheTruth_data() {
    QTest::addColumn<QString>("url"); // {kind} stands for the port of that site
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QString>("accepted");
    QTest::addColumn<int>("slowMs");
    QTest::addColumn<QString>("error"); // empty: the ping completes
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("slow");
    const QString ip = QStringLiteral("https://127.0.0.1:");
    QTest::newRow("valid, 200") << ip + "{valid}/status/200" << true << "" << 0 << "" << 0 << 200
                                << false;
    QTest::newRow("404 completes without a list")
        << ip + "{valid}/status/404" << true << "" << 0 << "" << 0 << 404 << false;
    QTest::newRow("404 outside 200-299") << ip + "{valid}/status/404" << true << "200-299" << 0
                                         << "HTTP status 404 is not accepted" << 0 << 404 << false;
    QTest::newRow("503 outside 200-399") << ip + "{valid}/status/503" << true << "200-399" << 0
                                         << "HTTP status 503 is not accepted" << 0 << 503 << false;
    QTest::newRow("200 in a list")
        << ip + "{valid}/status/200" << true << "204,200,301-308" << 0 << "" << 0 << 200 << false;
    QTest::newRow("expired") << ip + "{expired}/" << true << "" << 0 << "Certificate has expired"
                             << 0 << 0 << false;
    QTest::newRow("wrong name") << ip + "{wrongname}/" << true << "" << 0 << "Host name mismatch"
                                << 0 << 0 << false;
    QTest::newRow("self-signed") << ip + "{selfsigned}/" << true << "" << 0
                                 << "Self-signed certificate" << 0 << 0 << false;
    QTest::newRow("plain HTTP under https")
        << ip + "{plain}/" << true << "" << 0 << "TLS handshake failed: wrong version number" << 0
        << 0 << false;
    QTest::newRow("a NUL in the name") << "https://localhost:{nulname}/" << true << "" << 0
                                       << "Host name mismatch" << 0 << 0 << false;
    QTest::newRow("1 MB chain") << ip + "{bigchain}/" << true << "" << 0
                                << "TLS handshake failed: excessive message size" << 0 << 0
                                << false;
    QTest::newRow("stalled handshake")
        << ip + "{stall}/" << true << "" << 0 << "Connection timed out" << 10060 << 0 << false;
    QTest::newRow("garbage instead of TLS")
        << ip + "{garbage}/" << true << "" << 0 << "TLS handshake failed: {ANY}" << 0 << 0 << false;
    QTest::newRow("slow over TLS")
        << ip + "{valid}/slow" << true << "" << 100 << "" << 0 << 200 << true;
    QTest::newRow("quick enough") << ip + "{valid}/status/200" << true << "" << 60000 << "" << 0
                                  << 200 << false;
    QTest::newRow("http 503 outside 200-399")
        << "http://127.0.0.1:{plain}/status/503" << false << "200-399" << 0
        << "HTTP status 503 is not accepted" << 0 << 503 << false;
    QTest::newRow("TLS off: a connect only")
        << ip + "{expired}/" << false << "200-299" << 0 << "" << 0 << 0 << false;
    // The HTTPS port under http:// is a connect, as the ping always took it: TLS is for https.
    QTest::newRow("http on the HTTPS port")
        << "http://127.0.0.1/" << true << "200-299" << 0 << "" << 0 << 0 << false;
}

void TestEngine::checksTellTheTruth() {
    QFETCH(QString, url);
    QFETCH(bool, tls);
    QFETCH(QString, accepted);
    QFETCH(int, slowMs);
    QFETCH(QString, error);
    QFETCH(int, code);
    QFETCH(int, status);
    QFETCH(bool, slow);
    if (!TestNginx::available())
        QSKIP("nginx is not installed (Debian: nginx)");
    Sites *s = TlsSites();
    QVERIFY2(s, qPrintable(sites->error));
    // The bad servers of our own: one that never answers the handshake, one that talks
    // nonsense.
    TestTcpServer stall;
    QVERIFY(stall.listen());
    stall.setScript(TestTcpServer::Script::neverAnswer());
    TestTcpServer garbage;
    QVERIFY(garbage.listen());
    TestTcpServer::Script nonsense = TestTcpServer::Script::answer(
        {QByteArray("\x15\x03\x03\x00\x02\x02\x28 this is not TLS\r\n", 25)});
    nonsense.waitForRequest = false;
    garbage.setScript(nonsense);
    url.replace(QStringLiteral("{stall}"), QString::number(stall.port()));
    url.replace(QStringLiteral("{garbage}"), QString::number(garbage.port()));
    for (auto it = s->server.cbegin(); it != s->server.cend(); ++it)
        url.replace(QLatin1Char('{') + it.key() + QLatin1Char('}'), s->Port(it.key()));
    resolver->addHost(QStringLiteral("localhost"), QStringLiteral("127.0.0.1"));
    options.HTTPPort = options.HTTPSPort =
        s->nginx.port(s->server.value(QStringLiteral("expired")));
    options.CheckTLS = tls;
    options.AcceptedHTTPStatus = accepted;
    options.SlowAbove = quint32(slowMs);
    engine->SetAttemptTimeoutMs(code == 10060 ? 600 : 10000);
    const NormalisedAddress target = NormaliseAddress(url);

    QVERIFY(PingTo(target));
    QVERIFY(WaitFinished());
    Settle();
    const PingResult &r = rec->results.constFirst();
    const int port = target.port > 0 ? target.port : options.HTTPSPort;
    const bool connectOnly = (url.startsWith(QLatin1String("https")) && !tls) || target.port == 0;
    if (error.isEmpty()) {
        QString line = CompletedEntry(target.boxText, port);
        if (slow)
            line.replace(QStringLiteral(" seconds.\r\n"), QStringLiteral(" seconds. (slow)\r\n"));
        QVERIFY2(log.Matches(rec->log, connectOnly ? QStringList{line + "\r\n"}
                                                   : QStringList{line, QString()}),
                 Visible(rec->log));
        QCOMPARE(r.outcome, PingOutcomeKind::Completed);
        QCOMPARE(r.slow, slow);
        QCOMPARE(rec->slowStarts.size(), slow ? 1 : 0);
        QCOMPARE(r.elapsedSeconds, r.seconds);
    } else {
        QVERIFY2(log.Matches(rec->log, {ErrorEntry(target.host, port, error, code)}),
                 Visible(rec->log));
        QCOMPARE(r.outcome, PingOutcomeKind::Failed);
        QCOMPARE(r.errorCode, code);
        QVERIFY2(r.elapsedSeconds >= 0 && r.elapsedSeconds < 10,
                 QByteArray::number(r.elapsedSeconds));
        QVERIFY(!r.slow);
    }
    QCOMPARE(r.httpStatus, status);
    QCOMPARE(r.ipProtocol, 4);
    // The TLS facts come with an answer over TLS only.
    const bool overTls = tls && status > 0;
    QCOMPARE(r.tls, overTls);
    if (overTls) {
        QCOMPARE(r.tlsVersion, QStringLiteral("TLS 1.3"));
        QVERIFY2(qAbs(r.certificateExpiry.secsTo(s->validExpiry)) < 120,
                 qPrintable(r.certificateExpiry.toString(Qt::ISODate)));
        QVERIFY(r.earliestCertificateExpiry.isValid());
        QVERIFY(r.earliestCertificateExpiry <= r.certificateExpiry);
        QVERIFY2(r.connectSeconds <= r.tlsSeconds && r.tlsSeconds <= r.firstByteSeconds,
                 QByteArray::number(r.tlsSeconds));
    } else {
        QVERIFY(r.tlsVersion.isEmpty());
        QVERIFY(!r.certificateExpiry.isValid());
    }
    if (code == 10060) // the handshake was sent, nothing came back
        QVERIFY(stall.received(0).startsWith("\x16\x03"));
    QCOMPARE(rec->exceptions, 0);
}

void TestEngine::certificateExpiryWarnsOnceADay() {
    if (!TestNginx::available())
        QSKIP("nginx is not installed (Debian: nginx)");
    Sites *s = TlsSites();
    QVERIFY2(s, qPrintable(sites->error));
    TestSmtpServer smtp;
    QVERIFY(smtp.isListening());
    options.CheckTLS = true;
    options.LogTimingDetails = true;
    options.SendEmailOnError = true;
    options.SMTPServer = QStringLiteral("127.0.0.1");
    options.SMTPPort = smtp.port();
    options.SMTPUser = QStringLiteral("user");
    options.SMTPPassword = QStringLiteral("secret");
    options.FromAddress = QStringLiteral("monitor@example.test");
    options.ErrorEmailAddress = QStringLiteral("ops@example.test");
    const QString soon = QStringLiteral("https://127.0.0.1:") + s->Port("soon") + '/';
    const QString valid = QStringLiteral("https://127.0.0.1:") + s->Port("valid") + '/';

    // 5 days and an hour left: under the 14 days of the default.
    QCOMPARE(options.CertExpiryWarnDays, 14u);
    QVERIFY(PingTo(soon));
    QVERIFY(WaitFinished(1));
    const QString timed = SuccessBar + QStringLiteral("\r\n[{STAMP}] Connection to [") + soon +
                          QStringLiteral("] (port ") + s->Port("soon") +
                          QStringLiteral(") completed in {SECS} seconds (lookup {SECS}, connect "
                                         "{SECS}, tls {SECS}, answer {SECS}).\r\n");
    const QString warning = QStringLiteral("Certificate of [") + soon +
                            QStringLiteral("] expires in 5 days ({ANY}).\r\n");
    QVERIFY2(log.Matches(rec->log,
                         {timed, QString(), warning,
                          "Sending email to failure notification address [ops@example.test]...",
                          "Notification email sent sucessfully.\r\n"}),
             Visible(rec->log));
    QCOMPARE(rec->certificateWarnings, QStringList{soon + "|5"});
    QCOMPARE(rec->alerts, QStringList{"certificate|" + soon + "|certificate expires in 5 days "});
    QCOMPARE(smtp.mailCount(), 1);
    const QString mail = QString::fromUtf8(smtp.mails().constFirst().data);
    QVERIFY2(mail.contains(QStringLiteral("Subject: Vennatro - Certificate expiry warning\r\n")),
             mail.toUtf8());
    QVERIFY2(mail.contains(QStringLiteral("] Certificate of [") + soon +
                           QStringLiteral("] expires in 5 days (")),
             mail.toUtf8());

    // The same day: no second warning. Another address, far from its expiry: none.
    QVERIFY(PingTo(soon));
    QVERIFY(WaitFinished(2));
    QVERIFY(PingTo(valid));
    QVERIFY(WaitFinished(3));
    // Fewer days than left: none either.
    options.CertExpiryWarnDays = 5;
    AlertPolicy fresh;
    engine->SetAlertPolicy(&fresh);
    QVERIFY(PingTo(soon));
    QVERIFY(WaitFinished(4));
    // Snoozed: the warning is logged and signalled, neither mailed nor sent further.
    options.CertExpiryWarnDays = 14;
    AlertPolicy snoozed;
    snoozed.SetSnoozes(SnoozeList::Parse(QStringLiteral("*\t2999-01-01T00:00:00Z\r\n"),
                                         QDateTime::currentDateTimeUtc(), nullptr));
    engine->SetAlertPolicy(&snoozed);
    QVERIFY(PingTo(soon));
    QVERIFY(WaitFinished(5));
    engine->SetAlertPolicy(nullptr);
    QCOMPARE(rec->certificateWarnings.size(), 2);
    QCOMPARE(rec->alerts.size(), 1);
    QCOMPARE(smtp.mailCount(), 1);
    QCOMPARE(rec->log.filter(QStringLiteral("Certificate of")).size(), 2);
    QCOMPARE(rec->results.size(), 5);
    for (const PingResult &r : std::as_const(rec->results))
        QCOMPARE(r.outcome, PingOutcomeKind::Completed);
}

void TestEngine::slowEpisodeNotifiesOnce() {
    TestTcpServer http;
    QVERIFY(http.listen());
    const auto after = [](int ms) {
        TestTcpServer::Script script = TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"});
        script.delayMs = ms;
        return script;
    };
    // slow, slow, quick, slow: two episodes.
    const QList<int> delays{250, 250, 0, 250};
    for (int i = 0; i < delays.size(); ++i)
        http.setScriptFor(i, after(delays[i]));
    options.SlowAbove = 150;
    const QString address = QStringLiteral("http://127.0.0.1:") + Port(http.port()) + '/';
    QList<int> startsAfterEach;
    for (int i = 0; i < delays.size(); ++i) {
        QVERIFY(PingTo(address));
        QVERIFY(WaitFinished(i + 1));
        startsAfterEach << int(rec->slowStarts.size());
        QCOMPARE(rec->results[i].slow, delays[i] > 0);
        QCOMPARE(rec->log[2 * i].endsWith(QStringLiteral(" seconds. (slow)\r\n")), delays[i] > 0);
    }
    QCOMPARE(startsAfterEach, (QList<int>{1, 1, 1, 2}));
    // After the ping's own steps: the log entry, its end, then the episode's notice.
    QVERIFY(rec->events.indexOf(QStringLiteral("finished")) <
            rec->events.indexOf(QStringLiteral("slow")));
}

void TestEngine::attemptEndsNoEarlierThanItsTimeOut() {
    TestTcpServer silent;
    QVERIFY(silent.listen());
    silent.setScript(TestTcpServer::Script::neverAnswer());
    engine->SetAttemptTimeoutMs(1000);
    QElapsedTimer clock;
    connect(engine.get(), &PingEngine::attemptStarted, this, [&clock] { clock.start(); });
    qint64 took = -1;
    connect(engine.get(), &PingEngine::attemptFailed, this, [&] { took = clock.elapsed(); });
    QVERIFY(PingTo(QStringLiteral("http://127.0.0.1:") + Port(silent.port()) + '/'));
    QVERIFY(WaitFinished());
    // A coarse timer may fire 5 % early; the attempt's time-out never does.
    QVERIFY2(took >= 1000, QByteArray::number(took));
    QCOMPARE(rec->results[0].errorCode, 10060);
    QVERIFY2(rec->results[0].elapsedSeconds >= 1.0,
             QByteArray::number(rec->results[0].elapsedSeconds));
}

// ---- automatic ping ----

void TestEngine::schedulerPeriodClamp() {
    constexpr quint32 largest = quint32(std::numeric_limits<qint32>::max()) / 60;
    QCOMPARE(AutoPingScheduler::PeriodSeconds(0), 0u);
    QCOMPARE(AutoPingScheduler::PeriodSeconds(1), 60u);
    QCOMPARE(AutoPingScheduler::PeriodSeconds(15), 900u);
    QCOMPARE(AutoPingScheduler::PeriodSeconds(largest), largest * 60);
    QCOMPARE(AutoPingScheduler::PeriodSeconds(largest + 1), 900u);
    // A negative stored interval reads as a huge unsigned one.
    QCOMPARE(AutoPingScheduler::PeriodSeconds(quint32(-1)), 900u);

    AutoPingScheduler scheduler;
    QCOMPARE(scheduler.Timer()->interval(), 1000);
    scheduler.Timer()->setInterval(24 * 3600 * 1000); // ticks come from the test only
    scheduler.Start(largest + 1);
    QVERIFY(scheduler.Active());
    QCOMPARE(scheduler.AutoPingSeconds(), 900u);
    QCOMPARE(scheduler.Remaining(), 900);
    scheduler.SetElapsed(100);
    scheduler.Start(2);
    QCOMPARE(scheduler.AutoPingSeconds(), 120u);
    QCOMPARE(scheduler.AutoPingElapsed(), 0);
    scheduler.Stop();
    QVERIFY(!scheduler.Active());
}

void TestEngine::schedulerCountsThenWaitsWhileBusy() {
    AutoPingScheduler scheduler;
    scheduler.Timer()->setInterval(24 * 3600 * 1000);
    bool busy = false;
    scheduler.SetBusyCheck([&busy] { return busy; });
    QSignalSpy due(&scheduler, &AutoPingScheduler::due);
    QSignalSpy ticked(&scheduler, &AutoPingScheduler::ticked);
    scheduler.Start(1);

    for (int i = 1; i <= 60; ++i)
        scheduler.TimerTimer();
    QCOMPARE(due.size(), 0);
    QCOMPARE(ticked.size(), 60);
    QCOMPARE(scheduler.AutoPingElapsed(), 60);
    QCOMPARE(scheduler.Remaining(), 0);
    // The tick after the countdown reached zero is due.
    scheduler.TimerTimer();
    QCOMPARE(due.size(), 1);
    QCOMPARE(scheduler.AutoPingElapsed(), 0);
    QCOMPARE(scheduler.Remaining(), 60);

    // Due while a ping is under way: it waits, the countdown stays at zero.
    scheduler.SetElapsed(60);
    busy = true;
    for (int i = 0; i < 5; ++i)
        scheduler.TimerTimer();
    QCOMPARE(due.size(), 1);
    QCOMPARE(scheduler.AutoPingElapsed(), 60);
    QCOMPARE(ticked.size(), 66);
    busy = false;
    scheduler.TimerTimer();
    QCOMPARE(due.size(), 2);
    QCOMPARE(scheduler.AutoPingElapsed(), 0);
    scheduler.TimerTimer();
    QCOMPARE(due.size(), 2);
    QCOMPARE(scheduler.AutoPingElapsed(), 1);
    QCOMPARE(ticked.size(), 68);

    // Asleep: the countdown stops where it is and goes on from there, no ping at the wake.
    scheduler.SetElapsed(42);
    scheduler.Pause();
    QVERIFY(!scheduler.Timer()->isActive());
    QVERIFY(scheduler.Active());
    scheduler.Resume();
    QVERIFY(scheduler.Timer()->isActive());
    QCOMPARE(scheduler.AutoPingElapsed(), 42);
    QCOMPARE(due.size(), 2);
    // Stopped while asleep: the wake does not start it again.
    scheduler.Pause();
    scheduler.Stop();
    scheduler.Resume();
    QVERIFY(!scheduler.Active());
}

void TestEngine::schedulerZeroIntervalIsDueOnEveryFreeTick() {
    AutoPingScheduler scheduler;
    scheduler.Timer()->setInterval(24 * 3600 * 1000);
    bool busy = false;
    scheduler.SetBusyCheck([&busy] { return busy; });
    QSignalSpy due(&scheduler, &AutoPingScheduler::due);
    scheduler.Start(0);
    QCOMPARE(scheduler.AutoPingSeconds(), 0u);

    for (int i = 0; i < 3; ++i)
        scheduler.TimerTimer();
    QCOMPARE(due.size(), 3);
    busy = true;
    scheduler.TimerTimer();
    scheduler.TimerTimer();
    QCOMPARE(due.size(), 3);
    QCOMPARE(scheduler.AutoPingElapsed(), 0);
    busy = false;
    scheduler.TimerTimer();
    QCOMPARE(due.size(), 4);
    QCOMPARE(scheduler.AutoPingElapsed(), 0);

    // Without a busy check every tick is free.
    AutoPingScheduler unchecked;
    unchecked.Timer()->setInterval(24 * 3600 * 1000);
    QSignalSpy uncheckedDue(&unchecked, &AutoPingScheduler::due);
    unchecked.Start(0);
    unchecked.TimerTimer();
    unchecked.TimerTimer();
    QCOMPARE(uncheckedDue.size(), 2);
}

// ---- this computer, not the site ----

namespace {

// The verdict's parts, no system backend (its answer would be this machine's), the time
// suspended on a clock of the test's.
struct Verdict {
    NetworkState state;
    SleepWatch sleep;
    qint64 suspendedMs = 0;
    NetworkVerdict verdict{&state, &sleep};
    Verdict() {
        state.SetSystemBackend(false);
        sleep.SetClock([this] { return suspendedMs; });
        QObject::connect(&sleep, &SleepWatch::preparing, &verdict, &NetworkVerdict::Preparing);
        verdict.ApplySettings(true, QString());
    }
};

} // namespace

void TestEngine::sleepEndsThePingNotChecked_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("withVerdict");
    // logind announces the sleep while the ping waits for its answer.
    QTest::newRow("PrepareForSleep") << "announced" << true;
    // Nobody announced it: the time suspended jumped by more than 5 s during the attempt.
    QTest::newRow("clock jump") << "jump" << true;
    // The process stood still past the time-out (SIGSTOP, a paused machine): whatever came
    // then measured the stall, not the site. No verdict needed.
    QTest::newRow("stall, no verdict") << "stall" << false;
}

void TestEngine::sleepEndsThePingNotChecked() {
    QFETCH(QString, how);
    QFETCH(bool, withVerdict);
    TestTcpServer silent;
    QVERIFY(silent.listen());
    silent.setScript(TestTcpServer::Script::neverAnswer());
    Verdict v;
    if (withVerdict)
        engine->SetNetworkVerdict(&v.verdict);
    const auto detach = qScopeGuard([this] { engine->SetNetworkVerdict(nullptr); });
    options.PingAttempts = 3;
    options.SendEmailOnError = true; // to a closed port: a started mail would show
    options.SMTPServer = QStringLiteral("127.0.0.1");
    options.SMTPPort = TestTcpServer::closedPort();
    options.ErrorEmailAddress = QStringLiteral("ops@example.test");
    engine->SetAttemptTimeoutMs(how == QLatin1String("announced") ? 10000 : 300);
    QSignalSpy unannounced(&v.verdict, &NetworkVerdict::sleptUnannounced);
    const QString address = QStringLiteral("http://127.0.0.1:") + Port(silent.port()) + '/';
    QVERIFY(PingTo(address));
    QTRY_COMPARE_WITH_TIMEOUT(silent.connectionCount(), 1, Patience);
    if (how == QLatin1String("announced"))
        emit v.sleep.preparing(true);
    else if (how == QLatin1String("jump"))
        v.suspendedMs += 9000;
    else
        QThread::msleep(3000); // the stall itself, past the time-out and its margin
    QVERIFY(WaitFinished());

    QCOMPARE(rec->results.size(), 1);
    QCOMPARE(rec->results[0].outcome, PingOutcomeKind::NotChecked);
    QCOMPARE(rec->results[0].notChecked, NotCheckedReason::Asleep);
    QCOMPARE(rec->results[0].seconds, -1.0);
    // One attempt, no failure alert, no mail, no retry.
    QCOMPARE(rec->started.size(), 1);
    QVERIFY(rec->downs.isEmpty());
    QCOMPARE(rec->mailStarts, 0);
    QVERIFY(rec->completions.isEmpty());
    const QString asleep = QStringLiteral("Connection to [") + address +
                           QStringLiteral("] not checked: this computer was asleep.\r\n");
    QVERIFY2(rec->log.endsWith(asleep), Visible(rec->log));
    // A time-out keeps its own error line before it; a cancel by the sleep writes none.
    QCOMPARE(rec->log.filter(QStringLiteral("Connection timed out (10060)")).size(),
             how == QLatin1String("announced") ? 0 : 1);
    if (how == QLatin1String("announced")) {
        // Asleep until logind says it woke: nothing is judged meanwhile.
        QCOMPARE(v.verdict.CurrentState(), NetworkVerdict::State::Asleep);
        QVERIFY(!v.verdict.NetworkUp());
    } else if (how == QLatin1String("jump")) {
        QCOMPARE(unannounced.count(), 1);
        QCOMPARE(unannounced[0][0].toLongLong(), 9);
    }
}

void TestEngine::logindOnAPrivateSystemBus() {
#if !defined(Q_OS_LINUX)
    QSKIP("logind is a Linux service");
#else
    // A system bus of the test's own with a stand-in logind on it: the sleep watch hears its
    // PrepareForSleep as it would hear the real one.
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
        QSKIP("dbus-daemon is not installed");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString socket = dir.filePath(QStringLiteral("system_bus"));
    QFile config(dir.filePath(QStringLiteral("system.conf")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                 "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                 "<busconfig><type>system</type><listen>unix:path=" +
                 socket.toUtf8() +
                 "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                 "<allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
                 "<allow receive_sender=\"*\"/></policy></busconfig>\n");
    config.close();
    QProcess bus;
    bus.start(QStringLiteral("dbus-daemon"),
              {QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--nofork"),
               QStringLiteral("--nopidfile"), QStringLiteral("--print-address")});
    const auto stop = qScopeGuard([&bus] {
        bus.kill();
        bus.waitForFinished();
    });
    QVERIFY(bus.waitForReadyRead(Patience));
    const QString address = QString::fromUtf8(bus.readLine()).trimmed();
    QVERIFY2(address.startsWith(QLatin1String("unix:")), qPrintable(address));
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.toUtf8());

    QDBusConnection logind = QDBusConnection::connectToBus(address, QStringLiteral("logind"));
    QVERIFY(logind.isConnected());
    QVERIFY(logind.registerService(QStringLiteral("org.freedesktop.login1")));
    const auto announce = [&logind](bool sleep) {
        QDBusMessage signal = QDBusMessage::createSignal(
            QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"));
        signal << sleep;
        return logind.send(signal);
    };

    Verdict v;
    v.sleep.Listen();
    QVERIFY(v.sleep.Listening());
    QCOMPARE(v.sleep.Problem(), QString());
    QSignalSpy sleeping(&v.verdict, &NetworkVerdict::sleeping);
    QSignalSpy woke(&v.verdict, &NetworkVerdict::woke);
    QVERIFY(announce(true));
    QVERIFY(sleeping.wait(Patience));
    QCOMPARE(v.verdict.CurrentState(), NetworkVerdict::State::Asleep);
    QVERIFY(announce(false));
    QVERIFY(woke.wait(Patience));
    // Awake: verdicts wait for the network (this machine's routes say whether it is there
    // already) or 30 s; a completed ping from beyond this computer ends the wait for good.
    QVERIFY(v.verdict.CurrentState() != NetworkVerdict::State::Asleep);
    v.verdict.Completed(QHostAddress(QStringLiteral("192.0.2.1")));
    QCOMPARE(v.verdict.CurrentState(), NetworkVerdict::State::Up);
    QVERIFY(v.verdict.NetworkUp());
    QDBusConnection::disconnectFromBus(QStringLiteral("logind"));
#endif
}

void TestEngine::routesNeighboursAndReferencesParse() {
    // The kernel's own text: the header, a default route, a link route, one that is not up
    // and an unreachable one (flags RTF_UP 1, RTF_GATEWAY 2, RTF_REJECT 0x200).
    const QByteArray v4 =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "eth0\t00000000\t0100000A\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
        "eth0\t0000000A\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
        "eth1\t0000A8C0\t00000000\t0000\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
        "*\t000000C6\t00000000\t0201\t0\t0\t0\t000000FF\t0\t0\t0\n"
        "garbage\n";
    const QList<RouteEntry> routes = ParseIpv4Routes(v4);
    QCOMPARE(routes.size(), 3);
    QCOMPARE(routes[0].destination, QHostAddress(QStringLiteral("0.0.0.0")));
    QCOMPARE(routes[0].prefix, 0);
    QCOMPARE(routes[0].gateway, QHostAddress(QStringLiteral("10.0.0.1")));
    QCOMPARE(routes[0].interfaceName, QStringLiteral("eth0"));
    QCOMPARE(routes[1].destination, QHostAddress(QStringLiteral("10.0.0.0")));
    QCOMPARE(routes[1].prefix, 24);
    QVERIFY(routes[1].gateway.isNull());
    QVERIFY(routes[2].reject);
    QCOMPARE(routes[2].prefix, 8);

    const QByteArray v6 = "00000000000000000000000000000000 00 00000000000000000000000000000000 "
                          "00 fe800000000000000000000000000001 00000400 00000001 00000000 "
                          "00000003 wlan0\n"
                          "20010db8000000000000000000000000 20 00000000000000000000000000000000 "
                          "00 00000000000000000000000000000000 00000100 00000001 00000000 "
                          "00000001 wlan0\n";
    const QList<RouteEntry> routes6 = ParseIpv6Routes(v6);
    QCOMPARE(routes6.size(), 2);
    QCOMPARE(routes6[0].prefix, 0);
    QCOMPARE(routes6[0].gateway, QHostAddress(QStringLiteral("fe80::1")));
    QCOMPARE(routes6[1].destination, QHostAddress(QStringLiteral("2001:db8::")));
    QCOMPARE(routes6[1].prefix, 32);

    const QList<Neighbour> arp = ParseNeighbours(
        "IP address       HW type     Flags       HW address            Mask     Device\n"
        "10.0.0.1         0x1         0x2         02:00:00:00:00:01     *        eth0\n"
        "10.0.0.7         0x1         0x0         00:00:00:00:00:00     *        eth0\n");
    QCOMPARE(arp.size(), 2);
    QVERIFY(arp[0].complete);
    QVERIFY(!arp[1].complete);
    QCOMPARE(ParseNameServers("# comment\nnameserver 192.0.2.53\nnameserver ::1\nsearch x\n"),
             (QList<QHostAddress>{QHostAddress(QStringLiteral("192.0.2.53")),
                                  QHostAddress(QStringLiteral("::1"))}));

    // Reference addresses: http, https, host:port, [v6]:port; anything else is said once.
    Verdict v;
    v.verdict.ApplySettings(true, QStringLiteral("192.0.2.1:443\r\nhttps://[2001:db8::1]/\r\n"
                                                 "http://192.0.2.2:8080/x\r\n\r\nftp://a/\r\n"
                                                 "2001:db8::1:53\r\n192.0.2.3:99999"));
    QStringList parsed;
    for (const NetworkVerdict::Reference &r : v.verdict.References())
        parsed << r.host + QLatin1Char('|') + QString::number(r.port);
    QCOMPARE(parsed, (QStringList{"192.0.2.1|443", "2001:db8::1|443", "192.0.2.2|8080"}));
    QCOMPARE(v.verdict.SkippedReferences().size(), 3);
    QCOMPARE(v.verdict.SkippedReferences()[0],
             QStringLiteral("Reference address \"ftp://a/\" skipped: not an http or https "
                            "address, nor host:port.\r\n"));
    // Off: every failure is the site's, as before.
    v.verdict.ApplySettings(false, QString());
    NetworkVerdict::Failure failure;
    failure.tried = {QHostAddress(QStringLiteral("192.0.2.1"))};
    failure.code = 10051;
    QCOMPARE(v.verdict.Judge(failure), NetworkVerdict::Answer::Site);
    // A server on this computer fails as the site, network or not.
    v.verdict.ApplySettings(true, QString());
    failure.tried = {QHostAddress(QStringLiteral("127.0.0.1"))};
    QCOMPARE(v.verdict.Judge(failure), NetworkVerdict::Answer::Site);
}

QTEST_GUILESS_MAIN(TestEngine)
#include "test_engine.moc"
