#include "engine/Metrics.h"
#include "engine/MetricsPublisher.h"
#include "engine/ProbeRunner.h"
#include "support/TestTcpServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>

namespace {

PingResult Result(const QString &address, PingOutcomeKind outcome, double seconds,
                  double lookupSeconds, int httpStatus) {
    PingResult r;
    r.finishedAt = QDateTime::currentDateTimeUtc();
    r.address = address;
    r.outcome = outcome;
    r.seconds = seconds;
    r.elapsedSeconds = seconds; // the engine's: the time to the end, a failure's too
    r.lookupSeconds = lookupSeconds;
    r.httpStatus = httpStatus;
    r.attempts = 1;
    return r;
}

// The family headers, in the order they appear.
const QByteArray SuccessHead =
    "# HELP probe_success 1 when the last ping of the target completed, 0 when it failed.\n"
    "# TYPE probe_success gauge\n";
const QByteArray DurationHead =
    "# HELP probe_duration_seconds Time the last ping took: to the first answer bytes, to the "
    "connect (https without the TLS check), or to its failure.\n"
    "# TYPE probe_duration_seconds gauge\n";
const QByteArray StatusHead =
    "# HELP probe_http_status_code HTTP status code of the last answer; 0 when none was read (no "
    "answer, or an https connect only).\n"
    "# TYPE probe_http_status_code gauge\n";
const QByteArray LookupHead = "# HELP probe_dns_lookup_time_seconds Host lookup time of the last "
                              "ping; 0 when unknown.\n"
                              "# TYPE probe_dns_lookup_time_seconds gauge\n";
const QByteArray PhasesHead =
    "# HELP probe_http_duration_seconds Time of each phase of the last ping: resolve, connect, "
    "tls, processing (to the first answer bytes); 0 for a phase not reached.\n"
    "# TYPE probe_http_duration_seconds gauge\n";
const QByteArray IpHead = "# HELP probe_ip_protocol Address family of the last ping: 4 or 6; 0 "
                          "when no address was tried.\n"
                          "# TYPE probe_ip_protocol gauge\n";
const QByteArray SslHead = "# HELP probe_http_ssl 1 when the answer of the last ping came over "
                           "TLS.\n"
                           "# TYPE probe_http_ssl gauge\n";
const QByteArray ExpiryHead =
    "# HELP probe_ssl_earliest_cert_expiry Earliest expiry of the certificates the server "
    "presented, in Unix time (with the TLS check).\n"
    "# TYPE probe_ssl_earliest_cert_expiry gauge\n";
const QByteArray TlsVersionHead = "# HELP probe_tls_version_info The TLS version of the last ping "
                                  "(with the TLS check).\n"
                                  "# TYPE probe_tls_version_info gauge\n";
const QByteArray SlowHead = "# HELP vennatro_probe_slow 1 when the last ping completed above the "
                            "\"Slow above\" setting.\n"
                            "# TYPE vennatro_probe_slow gauge\n";

// A probed series of a plain http ping as the tests record it: no phases but the lookup, no
// address family, no TLS.
struct Row {
    QByteArray label;
    const char *success;
    const char *duration;
    int status;
    const char *lookup;
};

// The probe families of those series, in the order of the exposition.
QByteArray ProbeText(const QList<Row> &rows) {
    const auto each = [&rows](const QByteArray &head, const auto &line) {
        QByteArray t = head;
        for (const Row &r : rows)
            t += line(r);
        return t;
    };
    const auto sample = [](const char *name, const Row &r, const QByteArray &value) {
        return QByteArray(name) + "{target=\"" + r.label + "\"} " + value + "\n";
    };
    return each(SuccessHead, [&](const Row &r) { return sample("probe_success", r, r.success); }) +
           each(DurationHead,
                [&](const Row &r) { return sample("probe_duration_seconds", r, r.duration); }) +
           each(StatusHead,
                [&](const Row &r) {
                    return sample("probe_http_status_code", r, QByteArray::number(r.status));
                }) +
           each(
               LookupHead,
               [&](const Row &r) { return sample("probe_dns_lookup_time_seconds", r, r.lookup); }) +
           each(PhasesHead,
                [&](const Row &r) {
                    QByteArray t;
                    for (const char *phase : {"resolve", "connect", "tls", "processing"})
                        t += "probe_http_duration_seconds{target=\"" + r.label + "\",phase=\"" +
                             phase + "\"} " +
                             (qstrcmp(phase, "resolve") == 0 ? QByteArray(r.lookup) : "0") + "\n";
                    return t;
                }) +
           each(IpHead, [&](const Row &r) { return sample("probe_ip_protocol", r, "0"); }) +
           each(SslHead, [&](const Row &r) { return sample("probe_http_ssl", r, "0"); }) +
           ExpiryHead + TlsVersionHead +
           each(SlowHead, [&](const Row &r) { return sample("vennatro_probe_slow", r, "0"); });
}

const QByteArray NoProbes = ProbeText({});

const QByteArray NetworkHead = "# HELP vennatro_network_up 1 while this computer's network works, "
                               "0 during its outage or the moments after a sleep.\n"
                               "# TYPE vennatro_network_up gauge\n";
// The network's gauge (up) and the counters' head.
const QByteArray PingsHead = NetworkHead + "vennatro_network_up 1\n" +
                             "# HELP vennatro_pings_total Pings finished in this run, by outcome.\n"
                             "# TYPE vennatro_pings_total counter\n";

QByteArray Counters(const QByteArray &label, int completed, int failed, int cancelled,
                    int notChecked = 0) {
    const QByteArray prefix = "vennatro_pings_total{target=\"" + label + "\",outcome=\"";
    return prefix + "completed\"} " + QByteArray::number(completed) + "\n" + prefix + "failed\"} " +
           QByteArray::number(failed) + "\n" + prefix + "cancelled\"} " +
           QByteArray::number(cancelled) + "\n" + prefix + "not_checked\"} " +
           QByteArray::number(notChecked) + "\n";
}

QByteArray OkAnswer(const QByteArray &body, bool withBody = true) {
    return "HTTP/1.0 200 OK\r\n"
           "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
           "Content-Length: " +
           QByteArray::number(body.size()) +
           "\r\n"
           "Connection: close\r\n"
           "\r\n" +
           (withBody ? body : QByteArray());
}

const QByteArray NotFoundHead = "HTTP/1.0 404 Not Found\r\n"
                                "Content-Type: text/plain; charset=utf-8\r\n"
                                "Content-Length: 10\r\n"
                                "Connection: close\r\n"
                                "\r\n";
const QByteArray NotFoundAnswer = NotFoundHead + "Not found\n";
const QByteArray BadRequestAnswer = "HTTP/1.0 400 Bad Request\r\n"
                                    "Content-Type: text/plain; charset=utf-8\r\n"
                                    "Content-Length: 12\r\n"
                                    "Connection: close\r\n"
                                    "\r\n"
                                    "Bad request\n";

// A loopback client on the test's own event loop: collects every answer byte.
class Client {
public:
    explicit Client(quint16 port) {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    bool Closed() {
        if (socket.state() != QAbstractSocket::UnconnectedState)
            return false;
        received += socket.readAll();
        return true;
    }

    QTcpSocket socket;
    QByteArray received;
};

// A request head of exactly size bytes, blank line included.
QByteArray PaddedRequest(qsizetype size) {
    QByteArray head = "GET /metrics HTTP/1.1\r\nX-Pad: ";
    const QByteArray end = "\r\n\r\n";
    head += QByteArray(size - head.size() - end.size(), 'a');
    return head + end;
}

} // namespace

class TestMetrics : public QObject {
    Q_OBJECT
private slots:
    // The registry and its text.
    void expositionOfKnownResults();
    void cancelledPingOnlyCounts();
    void notCheckedPingKeepsTheLastVerdict();
    void watchedTargetsAndChangeSignal();
    void labelValuesEscaped();
    void passwordsNeverShown();

    // The server on the wire.
    void answersMetrics_data();
    void answersMetrics();
    void headRequestGetsHeadersOnly();
    void headSplitOverSeveralReads();
    void otherRequestsNotFound_data();
    void otherRequestsNotFound();
    void malformedRequestLine_data();
    void malformedRequestLine();
    void headSizeLimit();
    void endlessHeadDroppedAndServerGoesOn();
    void silentClientDroppedAfterTimeOut();
    void manyClientsAtOnce();
    void clientsBeyondLimitWait();
    void scrapesGetThroughSlowClients();
    void floodOfClientsThatNeverRead();
    void portInUse();
    void closeStopsServing();

    // The file for node_exporter.
    void metricsFileReplacedInOneStep();
    void metricsFileInMissingFolder();
    void metricsFileAtMostOncePerInterval();

    // The checks as a probe: blackbox meanings, /probe?target=URL at scrape time.
    void probeFactsOfEachKindOfPing();
    void probeRequestsParse_data();
    void probeRequestsParse();
    void probeAnswersAtScrapeTime();
    void probeRefusals_data();
    void probeRefusals();
    void probesAtMostEightAndWithinTheScrape();
};

void TestMetrics::expositionOfKnownResults() {
    MetricsRegistry registry;
    // Recorded out of order: the output is sorted by address.
    registry.Record(Result("https://c.example/", PingOutcomeKind::Completed, 0.125, -1, 0));
    registry.Record(Result("http://b.example/", PingOutcomeKind::Failed, -1, 0.5, 0));
    registry.Record(
        Result("http://a.example/", PingOutcomeKind::Completed, 0.123456789, 0.0000125, 200));

    const QByteArray expected =
        ProbeText({{"http://a.example/", "1", "0.123456789", 200, "1.25e-05"},
                   {"http://b.example/", "0", "0", 0, "0.5"},
                   {"https://c.example/", "1", "0.125", 0, "0"}}) +
        PingsHead + Counters("http://a.example/", 1, 0, 0) +
        Counters("http://b.example/", 0, 1, 0) + Counters("https://c.example/", 1, 0, 0);
    QCOMPARE(registry.Exposition(), expected);
    QCOMPARE(registry.Targets(),
             QStringList({"http://a.example/", "http://b.example/", "https://c.example/"}));

    // A later failure of a target replaces all its probe samples and adds to its counts.
    registry.Record(Result("http://a.example/", PingOutcomeKind::Failed, 2.5, -1, 0));
    const QByteArray text = registry.Exposition();
    QVERIFY(text.contains("probe_success{target=\"http://a.example/\"} 0\n"));
    QVERIFY(text.contains("probe_duration_seconds{target=\"http://a.example/\"} 2.5\n"));
    QVERIFY(text.contains("probe_http_status_code{target=\"http://a.example/\"} 0\n"));
    QVERIFY(text.contains("probe_dns_lookup_time_seconds{target=\"http://a.example/\"} 0\n"));
    QVERIFY(text.contains(Counters("http://a.example/", 1, 1, 0)));
}

void TestMetrics::cancelledPingOnlyCounts() {
    MetricsRegistry registry;
    registry.Record(Result("http://a/", PingOutcomeKind::Completed, 0.2, 0.01, 200));
    registry.Record(Result("http://a/", PingOutcomeKind::Cancelled, -1, -1, 0));
    // A target whose only ping was cancelled has counters but nothing to show as a probe.
    registry.Record(Result("http://z/", PingOutcomeKind::Cancelled, -1, -1, 0));

    const QByteArray expected = ProbeText({{"http://a/", "1", "0.2", 200, "0.01"}}) + PingsHead +
                                Counters("http://a/", 1, 0, 1) + Counters("http://z/", 0, 0, 1);
    QCOMPARE(registry.Exposition(), expected);
}

void TestMetrics::notCheckedPingKeepsTheLastVerdict() {
    MetricsRegistry registry;
    QSignalSpy changed(&registry, &MetricsRegistry::changed);
    registry.Record(Result("http://a/", PingOutcomeKind::Completed, 0.2, 0.01, 200));
    PingResult unchecked = Result("http://a/", PingOutcomeKind::NotChecked, -1, -1, 0);
    unchecked.notChecked = NotCheckedReason::NoNetwork;
    unchecked.errorCode = 10051;
    registry.Record(unchecked);
    registry.SetNetworkUp(false);
    registry.SetNetworkUp(false); // no change, no signal
    QCOMPARE(changed.count(), 3);

    // The sample stays the completed ping's: the outage was this computer's, not the site's.
    QByteArray expected = ProbeText({{"http://a/", "1", "0.2", 200, "0.01"}}) + PingsHead +
                          Counters("http://a/", 1, 0, 0, 1);
    expected.replace("vennatro_network_up 1\n", "vennatro_network_up 0\n");
    QCOMPARE(registry.Exposition(), expected);
    registry.SetNetworkUp(true);
    QVERIFY(registry.Exposition().contains("\nvennatro_network_up 1\n"));
}

void TestMetrics::watchedTargetsAndChangeSignal() {
    MetricsRegistry registry;
    QSignalSpy changed(&registry, &MetricsRegistry::changed);

    registry.AddTarget("http://w/");
    QCOMPARE(changed.count(), 1);
    QCOMPARE(registry.Exposition(), NoProbes + PingsHead + Counters("http://w/", 0, 0, 0));

    registry.AddTarget("http://w/"); // already there: nothing changes, no signal
    QCOMPARE(changed.count(), 1);

    registry.Record(Result("http://w/", PingOutcomeKind::Completed, 1, 0.1, 301));
    QCOMPARE(changed.count(), 2);
    registry.AddTarget("http://w/"); // keeps the recorded state
    QVERIFY(registry.Exposition().contains("probe_http_status_code{target=\"http://w/\"} 301\n"));
    QVERIFY(registry.Exposition().contains(Counters("http://w/", 1, 0, 0)));

    registry.Record(Result("http://v/", PingOutcomeKind::Failed, -1, -1, 0));
    QCOMPARE(changed.count(), 3);

    registry.RemoveTarget("http://w/");
    QCOMPARE(changed.count(), 4);
    const QByteArray text = registry.Exposition();
    QVERIFY(!text.contains("http://w/"));
    QVERIFY(text.contains(Counters("http://v/", 0, 1, 0)));

    registry.RemoveTarget("http://unknown/");
    QCOMPARE(changed.count(), 4);

    registry.RemoveTarget("http://v/");
    QCOMPARE(changed.count(), 5);
    QCOMPARE(registry.Exposition(), NoProbes + PingsHead);
    QVERIFY(registry.Targets().isEmpty());
}

void TestMetrics::labelValuesEscaped() {
    MetricsRegistry registry;
    const QString odd = QStringLiteral("http://x/a\"b\\c\nd");
    registry.Record(Result(odd, PingOutcomeKind::Completed, 0.5, 0.25, 204));
    registry.AddTarget(QStringLiteral("http://b\u00fccher.example/"));

    const QByteArray label = "http://x/a\\\"b\\\\c\\nd";
    const QByteArray utf8Label = "http://b\xc3\xbc"
                                 "cher.example/";
    const QByteArray expected = ProbeText({{label, "1", "0.5", 204, "0.25"}}) + PingsHead +
                                Counters(utf8Label, 0, 0, 0) + Counters(label, 1, 0, 0);
    QCOMPARE(registry.Exposition(), expected);
    // Removal goes by the address itself, not its escaped form.
    registry.RemoveTarget(odd);
    QVERIFY(!registry.Exposition().contains("http://x/"));
}

void TestMetrics::passwordsNeverShown() {
    MetricsRegistry registry;
    // The same address with another password, or none, is one target, shown without it.
    registry.Record(Result("http://ann:secret@a/", PingOutcomeKind::Completed, 0.5, 0.25, 200));
    registry.Record(Result("http://ann:other@a/", PingOutcomeKind::Failed, -1, -1, 0));
    registry.AddTarget("https://bob:pw@[::1]:8443/x");
    QCOMPARE(registry.Targets(), QStringList({"http://ann@a/", "https://bob@[::1]:8443/x"}));
    QVERIFY(registry.Exposition().contains(Counters("http://ann@a/", 1, 1, 0)));
    registry.RemoveTarget("https://bob:anything@[::1]:8443/x");
    QCOMPARE(registry.Targets(), QStringList({"http://ann@a/"}));
}

void TestMetrics::answersMetrics_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("HTTP/1.1 with headers") << QByteArray("GET /metrics HTTP/1.1\r\n"
                                                         "Host: 127.0.0.1\r\n"
                                                         "User-Agent: Prometheus/2.42\r\n"
                                                         "Accept: text/plain;version=0.0.4\r\n"
                                                         "\r\n");
    QTest::newRow("HTTP/1.0, LF only, query") << QByteArray("GET /metrics?a=1&b[]=2 HTTP/1.0\n\n");
    QTest::newRow("mixed line ends") << QByteArray("GET /metrics HTTP/1.1\r\nHost: h\n\r\n");
    QTest::newRow("empty line first") << QByteArray("\r\nGET /metrics HTTP/1.0\r\n\r\n");
    QTest::newRow("GET with a body") << QByteArray("GET /metrics HTTP/1.1\r\n"
                                                   "Content-Length: 3\r\n\r\nabc");
}

void TestMetrics::answersMetrics() {
    QFETCH(QByteArray, request);
    MetricsRegistry registry;
    registry.Record(Result("http://a/", PingOutcomeKind::Completed, 0.5, 0.001, 200));
    registry.AddTarget("http://b/");
    MetricsServer server(&registry);
    QString error;
    QVERIFY2(server.Listen(0, &error), qPrintable(error));
    QVERIFY(server.Port() != 0);

    Client client(server.Port());
    client.socket.write(request);
    QTRY_VERIFY_WITH_TIMEOUT(client.Closed(), 10000);
    QCOMPARE(client.received, OkAnswer(registry.Exposition()));

    // Each scrape reads the registry as it is then.
    registry.Record(Result("http://b/", PingOutcomeKind::Failed, -1, -1, 0));
    Client second(server.Port());
    second.socket.write(request);
    QTRY_VERIFY_WITH_TIMEOUT(second.Closed(), 10000);
    QVERIFY(second.received.contains(Counters("http://b/", 0, 1, 0)));
    QCOMPARE(second.received, OkAnswer(registry.Exposition()));
    QTRY_COMPARE(server.OpenClients(), 0);
}

void TestMetrics::headRequestGetsHeadersOnly() {
    MetricsRegistry registry;
    registry.Record(Result("http://a/", PingOutcomeKind::Completed, 0.5, 0.001, 200));
    MetricsServer server(&registry);
    QVERIFY(server.Listen(0, nullptr));

    Client client(server.Port());
    client.socket.write("HEAD /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(client.Closed(), 10000);
    QCOMPARE(client.received, OkAnswer(registry.Exposition(), false));

    Client other(server.Port());
    other.socket.write("HEAD /other HTTP/1.1\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(other.Closed(), 10000);
    QCOMPARE(other.received, NotFoundHead);
}

void TestMetrics::headSplitOverSeveralReads() {
    MetricsRegistry registry;
    registry.AddTarget("http://a/");
    MetricsServer server(&registry);
    QVERIFY(server.Listen(0, nullptr));

    Client client(server.Port());
    QSignalSpy closed(&client.socket, &QTcpSocket::disconnected);
    // Cut inside the blank line, where a search that starts only at the new bytes misses it.
    const QList<QByteArray> pieces = {"GET /metrics HTTP/1.1\r\nHost: x\r", "\n\r", "\n"};
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        client.socket.write(pieces[i]);
        if (i + 1 < pieces.size()) {
            // No answer to an unfinished head; the wait also lets the server read the piece.
            QVERIFY(!closed.wait(150));
            QVERIFY(client.received.isEmpty());
        }
    }
    QTRY_VERIFY_WITH_TIMEOUT(client.Closed(), 10000);
    QCOMPARE(client.received, OkAnswer(registry.Exposition()));
}

void TestMetrics::otherRequestsNotFound_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("other path") << QByteArray("GET /other HTTP/1.1\r\nHost: x\r\n\r\n");
    QTest::newRow("root") << QByteArray("GET / HTTP/1.0\r\n\r\n");
    QTest::newRow("POST") << QByteArray("POST /metrics HTTP/1.1\r\nHost: x\r\n"
                                        "Content-Length: 4\r\n\r\nabcd");
    QTest::newRow("PUT") << QByteArray("PUT /metrics HTTP/1.1\r\n\r\n");
    QTest::newRow("method in small letters") << QByteArray("get /metrics HTTP/1.1\r\n\r\n");
    QTest::newRow("longer path") << QByteArray("GET /metricsx HTTP/1.1\r\n\r\n");
    QTest::newRow("trailing slash") << QByteArray("GET /metrics/ HTTP/1.1\r\n\r\n");
}

void TestMetrics::otherRequestsNotFound() {
    QFETCH(QByteArray, request);
    MetricsRegistry registry;
    registry.AddTarget("http://a/");
    MetricsServer server(&registry);
    QVERIFY(server.Listen(0, nullptr));

    Client client(server.Port());
    client.socket.write(request);
    QTRY_VERIFY_WITH_TIMEOUT(client.Closed(), 10000);
    QCOMPARE(client.received, NotFoundAnswer);
}

void TestMetrics::malformedRequestLine_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("no version") << QByteArray("GET /metrics\r\n\r\n");
    QTest::newRow("other version") << QByteArray("GET /metrics HTTP/2.0\r\n\r\n");
    QTest::newRow("garbage") << QByteArray("\x01\x02\x03 garbage\r\n\r\n");
    QTest::newRow("too many words") << QByteArray("GET /metrics x HTTP/1.1\r\n\r\n");
}

void TestMetrics::malformedRequestLine() {
    QFETCH(QByteArray, request);
    MetricsRegistry registry;
    MetricsServer server(&registry);
    QVERIFY(server.Listen(0, nullptr));

    Client client(server.Port());
    client.socket.write(request);
    QTRY_VERIFY_WITH_TIMEOUT(client.Closed(), 10000);
    QCOMPARE(client.received, BadRequestAnswer);
}

void TestMetrics::headSizeLimit() {
    MetricsRegistry registry;
    registry.AddTarget("http://a/");
    MetricsServer server(&registry);
    QVERIFY(server.Listen(0, nullptr));

    // A head of exactly the limit, blank line included, is still served.
    Client fits(server.Port());
    fits.socket.write(PaddedRequest(MetricsServer::MaxHeadBytes));
    QTRY_VERIFY_WITH_TIMEOUT(fits.Closed(), 10000);
    QCOMPARE(fits.received, OkAnswer(registry.Exposition()));

    // One byte more without a blank line is refused at once: the client has not closed and
    // sends nothing further.
    Client over(server.Port());
    over.socket.write(QByteArray(MetricsServer::MaxHeadBytes + 1, 'x'));
    QTRY_VERIFY_WITH_TIMEOUT(over.Closed(), 10000);
    QCOMPARE(over.received, BadRequestAnswer);

    // The same byte count that would have held a blank line only after the limit.
    Client late(server.Port());
    late.socket.write(PaddedRequest(MetricsServer::MaxHeadBytes + 1));
    QTRY_VERIFY_WITH_TIMEOUT(late.Closed(), 10000);
    QCOMPARE(late.received, BadRequestAnswer);
}

void TestMetrics::endlessHeadDroppedAndServerGoesOn() {
    MetricsRegistry registry;
    registry.AddTarget("http://a/");
    MetricsServer server(&registry);
    QVERIFY(server.Listen(0, nullptr));

    Client flood(server.Port());
    flood.socket.write(QByteArray(1024 * 1024, 'x'));
    QTRY_VERIFY_WITH_TIMEOUT(flood.Closed(), 20000);
    // The answer may be lost to the reset that closing with unread bytes causes; if any
    // bytes came, they are the refusal.
    QVERIFY2(flood.received.isEmpty() || flood.received == BadRequestAnswer,
             flood.received.left(200).constData());
    QTRY_COMPARE(server.OpenClients(), 0);

    Client next(server.Port());
    next.socket.write("GET /metrics HTTP/1.1\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(next.Closed(), 10000);
    QCOMPARE(next.received, OkAnswer(registry.Exposition()));
}

void TestMetrics::silentClientDroppedAfterTimeOut() {
    MetricsRegistry registry;
    MetricsServer server(&registry);
    QCOMPARE(server.ClientTimeout(), 5000);
    QCOMPARE(server.HeadTimeout(), 2000);
    server.SetHeadTimeout(300); // and a byte a second would not keep a client for longer
    QVERIFY(server.Listen(0, nullptr));

    QElapsedTimer clock;
    clock.start();
    Client silent(server.Port());
    Client halfHead(server.Port());
    halfHead.socket.write("GET /metrics HTTP/1.1\r\nHost: x\r\n");
    QTRY_COMPARE(server.OpenClients(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(silent.Closed() && halfHead.Closed(), 10000);
    // Coarse timers may fire up to 5 % early.
    QVERIFY2(clock.elapsed() >= 280, QByteArray::number(clock.elapsed()).constData());
    QVERIFY(silent.received.isEmpty());
    QVERIFY(halfHead.received.isEmpty());
    QTRY_COMPARE(server.OpenClients(), 0);
}

void TestMetrics::manyClientsAtOnce() {
    MetricsRegistry registry;
    for (int i = 0; i < 20; ++i)
        registry.Record(Result(QStringLiteral("http://host%1/").arg(i), PingOutcomeKind::Completed,
                               0.01 * i, 0.001, 200));
    MetricsServer server(&registry);
    QVERIFY(server.Listen(0, nullptr));

    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 40; ++i)
        clients.push_back(std::make_unique<Client>(server.Port()));
    for (auto &client : clients)
        client->socket.write("GET /metrics HTTP/1.1\r\n\r\n");
    const QByteArray expected = OkAnswer(registry.Exposition());
    for (auto &client : clients) {
        QTRY_VERIFY_WITH_TIMEOUT(client->Closed(), 20000);
        QCOMPARE(client->received, expected);
    }
}

void TestMetrics::clientsBeyondLimitWait() {
    MetricsRegistry registry;
    MetricsServer server(&registry);
    QCOMPARE(server.MaxClients(), 64);
    server.SetMaxClients(2);
    server.SetHeadTimeout(60000); // the first two stay as long as the test wants
    QVERIFY(server.Listen(0, nullptr));

    Client first(server.Port());
    Client second(server.Port());
    QTRY_COMPARE(server.OpenClients(), 2);
    // Neither refused nor served while both places are taken: it waits.
    Client third(server.Port());
    third.socket.write("GET /metrics HTTP/1.0\r\n\r\n");
    QVERIFY(!QSignalSpy(&third.socket, &QTcpSocket::readyRead).wait(300));
    QCOMPARE(third.socket.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(server.OpenClients(), 2);

    first.socket.abort(); // a place comes free: the one that waited is served
    QTRY_VERIFY_WITH_TIMEOUT(third.Closed(), 10000);
    QCOMPARE(third.received, OkAnswer(registry.Exposition()));
    QCOMPARE(second.socket.state(), QAbstractSocket::ConnectedState);
    Client fourth(server.Port());
    Client fifth(server.Port());
    QTRY_COMPARE(server.OpenClients(), 2);
    server.SetMaxClients(3); // a higher limit lets the waiting one in at once
    QTRY_COMPARE(server.OpenClients(), 3);
}

void TestMetrics::scrapesGetThroughSlowClients() {
    MetricsRegistry registry;
    for (int i = 0; i < 100; ++i)
        registry.AddTarget(QStringLiteral("http://10.0.0.%1/").arg(i));
    MetricsServer server(&registry); // the limits as shipped: 64 clients, 2 s for a head
    QVERIFY(server.Listen(0, nullptr));
    const QByteArray expected = OkAnswer(registry.Exposition());

    // 64 clients send a byte of an endless head a second, and connect again at once when
    // dropped; once they hold every place, a scrape starts every 200 ms, 20 in all, each
    // given 5 s (Prometheus: 10 s).
    std::vector<std::unique_ptr<QTcpSocket>> attack(server.MaxClients());
    std::vector<std::pair<std::unique_ptr<Client>, QElapsedTimer>> scrapes;
    std::vector<qint64> took;
    int ticks = 0, connects = 0, maxOpen = 0, settled = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        ++ticks;
        maxOpen = std::max(maxOpen, server.OpenClients());
        for (auto &socket : attack) {
            if (socket && socket->state() == QAbstractSocket::UnconnectedState)
                socket.reset();
            if (!socket) {
                ++connects;
                socket = std::make_unique<QTcpSocket>();
                socket->connectToHost(QHostAddress::LocalHost, server.Port());
                socket->write("GET /metrics HTTP/1.1\r\nX-Slow: ");
            } else if (ticks % 100 == 0) {
                socket->write("a");
            }
        }
        if (maxOpen == server.MaxClients() && ticks % 20 == 0 && scrapes.size() < 20) {
            scrapes.emplace_back(std::make_unique<Client>(server.Port()), QElapsedTimer());
            scrapes.back().first->socket.write("GET /metrics HTTP/1.1\r\n\r\n");
            scrapes.back().second.start();
            took.push_back(-1);
        }
        settled = 0;
        for (size_t i = 0; i < scrapes.size(); ++i) {
            auto &[client, clock] = scrapes[i];
            if (took[i] < 0 && clock.elapsed() < 5000 && client->Closed())
                took[i] = client->received == expected ? clock.elapsed() : 99999;
            settled += took[i] >= 0 || clock.elapsed() >= 5000;
        }
    });
    tick.start(10);
    // Ends by itself: the last scrape starts after about 5 s and is given up 5 s later.
    QTRY_VERIFY_WITH_TIMEOUT(settled == 20, 20000);
    tick.stop();

    QByteArray times;
    for (const qint64 t : took)
        times += QByteArray::number(t) + ' ';
    qInfo("scrape times (ms; -1 none within 5 s): %s", times.constData());
    const auto served =
        std::count_if(took.begin(), took.end(), [](qint64 t) { return t >= 0 && t < 5000; });
    QVERIFY2(served >= 19, times.constData()); // 95 %
    // The attack went on all along: its clients were dropped after 2 s and came back, twice.
    QVERIFY2(connects >= server.MaxClients() * 3, QByteArray::number(connects).constData());
    QCOMPARE(maxOpen, server.MaxClients());
}

void TestMetrics::floodOfClientsThatNeverRead() {
    // The answer is about 1.3 MB, far more than a connection's kernel buffers hold.
    MetricsRegistry registry;
    for (int i = 0; i < 3000; ++i)
        registry.Record(Result(QStringLiteral("http://10.0.%1.%2/").arg(i / 256).arg(i % 256),
                               PingOutcomeKind::Completed, 0.01, 0.001, 200));
    MetricsServer server(&registry);
    server.SetHeadTimeout(500); // shorter than shipped for the test's time; the same bounds
    server.SetClientTimeout(1500);
    QVERIFY(server.Listen(0, nullptr));
    rlimit files{};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &files), 0);
    files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 2048));
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &files), 0);
    Client warm(server.Port()); // the text is built once, before the counts start
    warm.socket.write("GET /metrics HTTP/1.0\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(warm.Closed(), 10000);

    // The server's descriptors: those whose own end is its port.
    const auto serverDescriptors = [port = server.Port()] {
        int count = 0;
        for (int fd = 0; fd < 4096; ++fd) {
            sockaddr_in address{};
            socklen_t size = sizeof address;
            count += ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0 &&
                     address.sin_family == AF_INET && ntohs(address.sin_port) == port;
        }
        return count;
    };
    const auto residentKb = [] {
        QFile status("/proc/self/status");
        status.open(QIODevice::ReadOnly);
        const QByteArray text = status.readAll();
        return text.mid(text.indexOf("VmRSS:") + 6).trimmed().split(' ').value(0).toLongLong();
    };
    const qint64 residentBefore = residentKb();

    // 1,000 connections at once that send a request and never read the answer; at most 64 of
    // them are the server's, each with a piece of the answer, the rest wait in the kernel.
    std::vector<std::unique_ptr<QTcpSocket>> flood(1000);
    for (auto &socket : flood) {
        socket = std::make_unique<QTcpSocket>();
        socket->setReadBufferSize(1); // takes the first byte of the answer, then nothing
        socket->connectToHost(QHostAddress::LocalHost, server.Port());
        socket->write("GET /metrics HTTP/1.1\r\n\r\n");
    }
    qint64 descriptors = 0, grownKb = 0, answered = 0;
    int maxOpen = 0;
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, [&] {
        descriptors = std::max<qint64>(descriptors, serverDescriptors());
        grownKb = std::max(grownKb, residentKb() - residentBefore);
        maxOpen = std::max(maxOpen, server.OpenClients());
        answered = std::count_if(flood.begin(), flood.end(),
                                 [](const auto &s) { return s->bytesAvailable() > 0; });
    });
    sample.start(50);
    // More than one round: the first 64 were dropped at the end of their time for others.
    QTRY_VERIFY_WITH_TIMEOUT(answered >= 100, 20000);
    sample.stop();
    qInfo("flood: %d open at most, %lld descriptors, %lld kB more resident", maxOpen, descriptors,
          grownKb);
    QCOMPARE(maxOpen, server.MaxClients());
    // One a client, one waiting inside the server, the listening one.
    QVERIFY(descriptors <= server.MaxClients() + 2);
#ifndef __SANITIZE_ADDRESS__ // its quarantine keeps freed memory resident on purpose
    QVERIFY2(grownKb < 24 * 1024, QByteArray::number(grownKb)); // a copy each: 64 x 1.3 MB
#endif
    flood.clear();
    QTRY_COMPARE_WITH_TIMEOUT(server.OpenClients(), 0, 15000);
    Client after(server.Port());
    after.socket.write("GET /metrics HTTP/1.0\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(after.Closed(), 10000);
    QCOMPARE(after.received, warm.received);
}

void TestMetrics::portInUse() {
    MetricsRegistry registry;
    registry.AddTarget("http://a/");
    MetricsServer first(&registry);
    QVERIFY(first.Listen(0, nullptr));
    const quint16 port = first.Port();

    MetricsServer second(&registry);
    QString error;
    QVERIFY(!second.Listen(port, &error));
    QVERIFY2(
        error.startsWith(QStringLiteral("Cannot serve the metrics on 127.0.0.1:%1: ").arg(port)),
        qPrintable(error));
    QVERIFY(error.size() >
            QStringLiteral("Cannot serve the metrics on 127.0.0.1:%1: ").arg(port).size());
    QCOMPARE(second.Port(), quint16(0));
    QVERIFY(!second.Listen(port, nullptr)); // no error text wanted: no crash

    // The first one is untouched.
    Client client(port);
    client.socket.write("GET /metrics HTTP/1.1\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(client.Closed(), 10000);
    QCOMPARE(client.received, OkAnswer(registry.Exposition()));

    // Once the first has let go, the port is free for the second.
    first.Close();
    QVERIFY2(second.Listen(port, &error), qPrintable(error));
    QCOMPARE(second.Port(), port);
}

void TestMetrics::closeStopsServing() {
    MetricsRegistry registry;
    MetricsServer server(&registry);
    QVERIFY(server.Listen(0, nullptr));
    const quint16 port = server.Port();

    // 127.0.0.1 only: neither the IPv6 loopback nor the rest of 127/8 finds anybody there.
    for (const QHostAddress &elsewhere :
         {QHostAddress(QHostAddress::LocalHostIPv6), QHostAddress("127.0.0.2")}) {
        QTcpSocket socket;
        socket.connectToHost(elsewhere, port);
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 10000);
        QCOMPARE(socket.error(), QAbstractSocket::ConnectionRefusedError);
    }

    Client open(port);
    QTRY_COMPARE(server.OpenClients(), 1);
    server.Close();
    QCOMPARE(server.Port(), quint16(0));
    QCOMPARE(server.OpenClients(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(open.Closed(), 10000);
    QVERIFY(open.received.isEmpty());

    QTcpSocket refused;
    refused.connectToHost(QHostAddress::LocalHost, port);
    QTRY_COMPARE_WITH_TIMEOUT(refused.state(), QAbstractSocket::UnconnectedState, 10000);
    QCOMPARE(refused.error(), QAbstractSocket::ConnectionRefusedError);
}

void TestMetrics::metricsFileReplacedInOneStep() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("vennatro.prom");
    MetricsRegistry registry;
    registry.Record(Result("http://a/", PingOutcomeKind::Completed, 0.5, 0.001, 200));
    registry.Record(Result("http://b/", PingOutcomeKind::Failed, -1, -1, 0));

    // A first write under a strict umask still gives a file others can read.
    const mode_t oldMask = ::umask(077);
    QString error;
    const bool written = WriteMetricsFile(path, registry.Exposition(), &error);
    ::umask(oldMask);
    QVERIFY2(written, qPrintable(error));
    QVERIFY(error.isEmpty());
    struct stat info {};
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, mode_t(0644));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), registry.Exposition());
    }

    // A reader that has the old file open keeps reading it whole: the new text arrives as a
    // new file renamed over the old one, never by rewriting it in place.
    QFile reader(path);
    QVERIFY(reader.open(QIODevice::ReadOnly));
    const QByteArray before = registry.Exposition();
    QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    registry.Record(Result("http://c/", PingOutcomeKind::Completed, 0.25, 0.002, 404));
    QVERIFY2(WriteMetricsFile(path, registry.Exposition(), &error), qPrintable(error));
    QCOMPARE(reader.readAll(), before);
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), registry.Exposition());
    }
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, mode_t(0644));
    // No temporary file left beside it.
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{"vennatro.prom"});
}

void TestMetrics::metricsFileInMissingFolder() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("missing/vennatro.prom");
    QString error;
    QVERIFY(!WriteMetricsFile(path, "x 1\n", &error));
    QVERIFY2(error.startsWith(QDir::toNativeSeparators(path) + ": "), qPrintable(error));
    QVERIFY(error.size() > path.size() + 2);
    QVERIFY(!QFile::exists(path));
    QVERIFY(!WriteMetricsFile(path, "x 1\n", nullptr));
}

void TestMetrics::metricsFileAtMostOncePerInterval() {
    QTemporaryDir dir;
    const QString path = dir.filePath("vennatro.prom");
    const auto content = [&] {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    QByteArray last;
    {
        MetricsPublisher publisher;
        QCOMPARE(publisher.FileInterval(), 5000);
        publisher.SetFileInterval(600);
        publisher.Configure(0, path);
        QElapsedTimer clock;
        clock.start();
        // The first change after a quiet spell is written at once.
        publisher.Record(Result("http://ann:pw@a/", PingOutcomeKind::Completed, 0.5, 0.1, 200));
        const QByteArray first = publisher.Registry()->Exposition();
        QCOMPARE(content(), first);
        QVERIFY(first.contains("http://ann@a/") && !first.contains("pw"));
        // A hundred pings within the interval: one write with all of them at its end.
        for (int i = 0; i < 100; ++i)
            publisher.Record(Result(QStringLiteral("http://10.0.0.%1/").arg(i),
                                    PingOutcomeKind::Failed, -1, -1, 0));
        QCOMPARE(content(), first);
        QTRY_COMPARE_WITH_TIMEOUT(content(), publisher.Registry()->Exposition(), 10000);
        QVERIFY2(clock.elapsed() >= 600, QByteArray::number(clock.elapsed()));

        publisher.SetFileInterval(60000); // the rest comes from Flush and the end alone
        publisher.Registry()->AddTarget("http://w/");
        QVERIFY(!content().contains("http://w/"));
        publisher.Flush();
        QCOMPARE(content(), publisher.Registry()->Exposition());
        publisher.Registry()->RemoveTarget("http://w/");
        last = publisher.Registry()->Exposition();
        QVERIFY(content() != last);
    }
    QCOMPARE(content(), last); // written as the publisher went
}

// ---- the checks as a probe ----

void TestMetrics::probeFactsOfEachKindOfPing() {
    // Over TLS and slow: every phase, the family, the certificate, the version.
    PingResult tls = Result("https://a/", PingOutcomeKind::Completed, 0.015, 0.001, 200);
    tls.connectSeconds = 0.003;
    tls.tlsSeconds = 0.010;
    tls.firstByteSeconds = 0.015;
    tls.ipProtocol = 6;
    tls.tls = true;
    tls.tlsVersion = QStringLiteral("TLS 1.3");
    tls.certificateExpiry = QDateTime(QDate(2030, 6, 1), QTime(0, 0), Qt::UTC);
    tls.earliestCertificateExpiry = QDateTime(QDate(2030, 1, 2), QTime(3, 4, 5), Qt::UTC);
    tls.slow = true;
    QCOMPARE(ProbeExposition(tls),
             SuccessHead + "probe_success 1\n" + DurationHead + "probe_duration_seconds 0.015\n" +
                 StatusHead + "probe_http_status_code 200\n" + LookupHead +
                 "probe_dns_lookup_time_seconds 0.001\n" + PhasesHead +
                 "probe_http_duration_seconds{phase=\"resolve\"} 0.001\n"
                 "probe_http_duration_seconds{phase=\"connect\"} 0.002\n"
                 "probe_http_duration_seconds{phase=\"tls\"} 0.007\n"
                 "probe_http_duration_seconds{phase=\"processing\"} 0.005\n" +
                 IpHead + "probe_ip_protocol 6\n" + SslHead + "probe_http_ssl 1\n" + ExpiryHead +
                 "probe_ssl_earliest_cert_expiry 1893553445\n" + TlsVersionHead +
                 "probe_tls_version_info{version=\"TLS 1.3\"} 1\n" + SlowHead +
                 "vennatro_probe_slow 1\n");

    // A failure takes the time the ping took, and keeps the status of a refused answer.
    PingResult refused = Result("http://b/", PingOutcomeKind::Failed, -1, 0.002, 503);
    refused.elapsedSeconds = 0.04;
    refused.connectSeconds = 0.01;
    refused.firstByteSeconds = 0.04;
    refused.ipProtocol = 4;
    const QByteArray text = ProbeExposition(refused);
    for (const char *line :
         {"probe_success 0\n", "probe_duration_seconds 0.04\n", "probe_http_status_code 503\n",
          "probe_http_duration_seconds{phase=\"connect\"} 0.008\n",
          "probe_http_duration_seconds{phase=\"tls\"} 0\n",
          "probe_http_duration_seconds{phase=\"processing\"} 0.03\n", "probe_ip_protocol 4\n",
          "probe_http_ssl 0\n", "vennatro_probe_slow 0\n"})
        QVERIFY2(text.contains(line), line);
    // Without TLS no certificate and no version.
    QVERIFY(!text.contains("\nprobe_ssl_earliest_cert_expiry "));
    QVERIFY(!text.contains("\nprobe_tls_version_info{"));

    // The registry shows the same facts under the target's label.
    MetricsRegistry registry;
    registry.Record(tls);
    QVERIFY(registry.Exposition().contains(
        "probe_http_duration_seconds{target=\"https://a/\",phase=\"tls\"} 0.007\n"));
    QVERIFY(registry.Exposition().contains(
        "probe_tls_version_info{target=\"https://a/\",version=\"TLS 1.3\"} 1\n"));
    QVERIFY(registry.Exposition().contains("vennatro_probe_slow{target=\"https://a/\"} 1\n"));
}

void TestMetrics::probeRequestsParse_data() {
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("target");
    QTest::addColumn<double>("timeout");
    const int probe = int(MetricsRequest::Kind::Probe);
    QTest::newRow("as Prometheus asks")
        << QByteArray("GET /probe?module=http_2xx&target=https%3A%2F%2F127.0.0.1%3A8443%2Fa%3Fb%3D1"
                      " HTTP/1.1\r\nX-Prometheus-Scrape-Timeout-Seconds: 9.5\r\n\r\n")
        << probe << "https://127.0.0.1:8443/a?b=1" << 9.5;
    QTest::newRow("plain text, a blank, header in small letters")
        << QByteArray("GET /probe?target=http://x.test/a+b HTTP/1.0\r\n"
                      "x-prometheus-scrape-timeout-seconds:3\r\n\r\n")
        << probe << "http://x.test/a b" << 3.0;
    QTest::newRow("first target wins, no time-out")
        << QByteArray("GET /probe?target=http://a/&target=http://b/ HTTP/1.1\r\n\r\n") << probe
        << "http://a/" << 0.0;
    QTest::newRow("no target") << QByteArray("GET /probe HTTP/1.1\r\n\r\n") << probe << "" << 0.0;
    QTest::newRow("unreadable time-out")
        << QByteArray("GET /probe?target=http://a/ HTTP/1.1\r\n"
                      "X-Prometheus-Scrape-Timeout-Seconds: soon\r\n\r\n")
        << probe << "http://a/" << 0.0;
    QTest::newRow("UTF-8") << QByteArray(
                                  "GET /probe?target=http://b%C3%BCcher.test/ HTTP/1.1\r\n\r\n")
                           << probe << "http://b\u00fccher.test/" << 0.0;
    QTest::newRow("POST is not served")
        << QByteArray("POST /probe?target=http://a/ HTTP/1.1\r\n\r\n")
        << int(MetricsRequest::Kind::NotFound) << "" << 0.0;
    QTest::newRow("longer path") << QByteArray("GET /probes?target=http://a/ HTTP/1.1\r\n\r\n")
                                 << int(MetricsRequest::Kind::NotFound) << "" << 0.0;
}

void TestMetrics::probeRequestsParse() {
    QFETCH(QByteArray, head);
    const MetricsRequest request = ParseMetricsRequest(head);
    QTEST(int(request.kind), "kind");
    QTEST(request.target, "target");
    QTEST(request.scrapeTimeoutSeconds, "timeout");
}

namespace {

// A metrics endpoint with /probe as the session sets it up, on its own.
struct ProbeRig {
    MetricsPublisher publisher;
    ProbeRunner runner;
    explicit ProbeRig(TOptions options = DefaultOptions()) {
        runner.ApplySettings(options,
                             EngineContext{QStringLiteral("Vennatro/1.0"), QStringLiteral("host"),
                                           QStringLiteral("Vennatro 1.0")});
        runner.SetOwnPort([this] { return publisher.ListeningPort(); });
        publisher.SetProber([this](const QString &target, int timeoutMs,
                                   std::function<void(const QByteArray &)> done) {
            return runner.Start(target, timeoutMs, std::move(done));
        });
        publisher.Configure(0, QString());
    }
    // Listens on a free port of its own.
    bool Listen() {
        const quint16 port = TestTcpServer::closedPort();
        publisher.Configure(port, QString());
        return publisher.ListeningPort() == port;
    }
    quint16 Port() const { return publisher.ListeningPort(); }
};

QByteArray ProbeGet(const QString &target, const QByteArray &headers = QByteArray()) {
    return "GET /probe?target=" + QUrl::toPercentEncoding(target) + " HTTP/1.1\r\n" + headers +
           "\r\n";
}

QByteArray Body(const QByteArray &answer) { return answer.mid(answer.indexOf("\r\n\r\n") + 4); }

} // namespace

void TestMetrics::probeAnswersAtScrapeTime() {
    TestTcpServer http;
    QVERIFY(http.listen());
    http.setScript(TestTcpServer::Script::answer({"HTTP/1.0 204 No Content\r\n\r\n"}));
    ProbeRig rig;
    QVERIFY(rig.Listen());
    const QString target = QStringLiteral("http://127.0.0.1:%1/probed").arg(http.port());

    Client client(rig.Port());
    client.socket.write(ProbeGet(target));
    QTRY_VERIFY_WITH_TIMEOUT(client.Closed(), 10000);
    QVERIFY2(client.received.startsWith("HTTP/1.0 200 OK\r\nContent-Type: text/plain; "
                                        "version=0.0.4; charset=utf-8\r\n"),
             client.received.constData());
    const QByteArray body = Body(client.received);
    for (const char *line : {"probe_success 1\n", "probe_http_status_code 204\n",
                             "probe_ip_protocol 4\n", "probe_http_ssl 0\n"})
        QVERIFY2(body.contains(line), body.constData());
    QVERIFY(http.received(0).startsWith("HEAD /probed HTTP/1.0\r\n"));
    // The probe is the asker's: no series of it on /metrics, nothing left running.
    QVERIFY(rig.publisher.Registry()->Targets().isEmpty());
    QTRY_COMPARE(rig.runner.Running(), 0);

    // A refused target: the probe's own verdict, one attempt whatever the settings say.
    const quint16 closed = TestTcpServer::closedPort();
    Client refused(rig.Port());
    refused.socket.write(ProbeGet(QStringLiteral("http://127.0.0.1:%1/").arg(closed)));
    QTRY_VERIFY_WITH_TIMEOUT(refused.Closed(), 10000);
    QVERIFY2(Body(refused.received).contains("probe_success 0\n"), refused.received.constData());
    QVERIFY(Body(refused.received).contains("probe_http_status_code 0\n"));
}

void TestMetrics::probeRefusals_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");
    const auto refusal = [](const QByteArray &why) {
        return "HTTP/1.0 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\n"
               "Content-Length: " +
               QByteArray::number(why.size() + 1) + "\r\nConnection: close\r\n\r\n" + why + "\n";
    };
    QTest::newRow("no target") << QByteArray("GET /probe HTTP/1.1\r\n\r\n")
                               << refusal("No target: ask for /probe?target=URL");
    QTest::newRow("empty target") << QByteArray("GET /probe?target= HTTP/1.1\r\n\r\n")
                                  << refusal("No target: ask for /probe?target=URL");
    QTest::newRow("ftp") << ProbeGet("ftp://127.0.0.1/")
                         << refusal("Only http:// and https:// targets are probed");
    QTest::newRow("file") << ProbeGet("file:///etc/passwd")
                          << refusal("Only http:// and https:// targets are probed");
    QTest::newRow("no scheme") << ProbeGet("127.0.0.1/")
                               << refusal("Only http:// and https:// targets are probed");
    QTest::newRow("bad port") << ProbeGet("http://127.0.0.1:70000/")
                              << refusal("Invalid port in the address.");
    QTest::newRow("control characters") << ProbeGet("http://127.0.0.1/\r\nX-Injected: 1")
                                        << refusal("The target contains control characters");
    QTest::newRow("3000 characters") << ProbeGet("http://127.0.0.1/" + QString(2983, 'a'))
                                     << refusal("The target is longer than 2048 characters");
    QTest::newRow("10 KB") << ProbeGet("http://127.0.0.1/" + QString(10 * 1024, 'a'))
                           << BadRequestAnswer;
    QTest::newRow("this endpoint")
        << QByteArray("{self}") << refusal("The target is this metrics endpoint");
}

void TestMetrics::probeRefusals() {
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    ProbeRig rig;
    QVERIFY(rig.Listen());
    if (request == "{self}")
        request = ProbeGet(QStringLiteral("http://localhost:%1/metrics").arg(rig.Port()));
    Client client(rig.Port());
    client.socket.write(request);
    QTRY_VERIFY_WITH_TIMEOUT(client.Closed(), 10000);
    QCOMPARE(client.received, answer);
    QCOMPARE(rig.runner.Running(), 0); // nothing was pinged
}

void TestMetrics::probesAtMostEightAndWithinTheScrape() {
    TestTcpServer silent;
    QVERIFY(silent.listen());
    silent.setScript(TestTcpServer::Script::neverAnswer());
    TOptions options = DefaultOptions();
    options.PingAttempts = 3; // a probe takes one
    ProbeRig rig(options);
    QVERIFY(rig.Listen());
    const QByteArray request = ProbeGet(QStringLiteral("http://127.0.0.1:%1/").arg(silent.port()),
                                        "X-Prometheus-Scrape-Timeout-Seconds: 2\r\n");
    QElapsedTimer clock;
    clock.start();
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < MetricsServer::MaxProbes; ++i) {
        clients.push_back(std::make_unique<Client>(rig.Port()));
        clients.back()->socket.write(request);
    }
    QTRY_COMPARE_WITH_TIMEOUT(silent.connectionCount(), MetricsServer::MaxProbes, 10000);
    Client ninth(rig.Port());
    ninth.socket.write(request);
    QTRY_VERIFY_WITH_TIMEOUT(ninth.Closed(), 10000);
    QCOMPARE(Body(ninth.received), QByteArray("Too many probes at once: at most 8\n"));
    QVERIFY(ninth.received.startsWith("HTTP/1.0 503 Service Unavailable\r\n"));
    // Each ends within the scrape's 2 s, half a second early, as a failure that took 1.5 s.
    for (auto &client : clients) {
        QTRY_VERIFY_WITH_TIMEOUT(client->Closed(), 10000);
        const QByteArray body = Body(client->received);
        QVERIFY2(body.contains("probe_success 0\n"), client->received.constData());
        const qsizetype at = body.indexOf("\nprobe_duration_seconds ") + 24;
        const double took = body.mid(at, body.indexOf('\n', at) - at).toDouble();
        QVERIFY2(took >= 1.5 && took < 1.9, QByteArray::number(took));
    }
    QVERIFY2(clock.elapsed() >= 1500 && clock.elapsed() < 4000,
             QByteArray::number(clock.elapsed()));
    QCOMPARE(silent.connectionCount(), MetricsServer::MaxProbes); // one attempt each
    QTRY_COMPARE(rig.publisher.Registry()->Targets().size(), 0);
    QTRY_COMPARE(rig.runner.Running(), 0);
}

QTEST_GUILESS_MAIN(TestMetrics)
#include "test_metrics.moc"
