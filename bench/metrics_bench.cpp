// What does a scrape cost? A registry with T targets (100 by default) is served by the
// MetricsServer on 127.0.0.1; a client on its own thread does N (1000) real HTTP GETs of
// /metrics one after the other, each on a new connection as Prometheus' scrape does with
// "Connection: close": connect, send the request, read to the server's close. The time of
// each exchange is one sample. Before that, Exposition() alone is timed N times.
//
//   metrics_bench [--requests N] [--targets T]

#include "engine/Metrics.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpSocket>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

struct Stats {
    double median = 0, p95 = 0, max = 0;
};

Stats Summarise(std::vector<double> v) {
    Stats s;
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    s.median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    s.p95 = v[std::max<size_t>(1, size_t(std::ceil(0.95 * double(n)))) - 1];
    s.max = v.back();
    return s;
}

PingResult Sample(int i) {
    PingResult r;
    r.finishedAt = QDateTime::currentDateTimeUtc();
    r.address = i % 3 == 0 ? QStringLiteral("https://host-%1.example.org/").arg(i)
                           : QStringLiteral("http://host-%1.example.org/status?x=%1").arg(i);
    r.outcome = i % 7 == 0 ? PingOutcomeKind::Failed : PingOutcomeKind::Completed;
    r.seconds = 0.001 * (i + 1) + 0.000123456;
    r.lookupSeconds = 0.0001 * (i + 1);
    r.httpStatus = r.outcome == PingOutcomeKind::Completed && i % 3 != 0 ? 200 : 0;
    r.attempts = 1;
    return r;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    int requests = 1000;
    int targets = 100;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == "--requests")
            requests = args[++i].toInt();
        else if (args[i] == "--targets")
            targets = args[++i].toInt();
    }

    MetricsRegistry registry;
    for (int i = 0; i < targets; ++i) {
        registry.Record(Sample(i));
        registry.Record(Sample(i)); // counts above one
    }

    std::vector<double> build;
    qsizetype bodySize = 0;
    for (int i = 0; i < requests; ++i) {
        QElapsedTimer t;
        t.start();
        const QByteArray text = registry.Exposition();
        build.push_back(double(t.nsecsElapsed()) / 1e6);
        bodySize = text.size();
    }

    MetricsServer server(&registry);
    QString error;
    if (!server.Listen(0, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const quint16 port = server.Port();

    std::vector<double> times;
    std::atomic<int> failures{0};
    std::thread client([&] {
        const QByteArray request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                   "Accept: text/plain;version=0.0.4\r\n\r\n";
        for (int i = 0; i < requests + 20; ++i) { // the first 20 warm up
            QElapsedTimer t;
            t.start();
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            QByteArray answer;
            bool ok = socket.waitForConnected(5000);
            if (ok) {
                socket.write(request);
                while (socket.state() == QAbstractSocket::ConnectedState &&
                       socket.waitForReadyRead(5000))
                    answer += socket.readAll();
                answer += socket.readAll();
            }
            const double ms = double(t.nsecsElapsed()) / 1e6;
            ok = ok && answer.startsWith("HTTP/1.0 200 OK\r\n") && answer.endsWith("\n") &&
                 answer.size() > bodySize;
            if (!ok)
                ++failures;
            else if (i >= 20)
                times.push_back(ms);
        }
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    app.exec();
    client.join();

    const Stats b = Summarise(build);
    const Stats s = Summarise(times);
    std::printf("targets %d, body %lld bytes\n", targets, static_cast<long long>(bodySize));
    std::printf("Exposition()      %d calls: median %.3f ms, p95 %.3f ms, max %.3f ms\n", requests,
                b.median, b.p95, b.max);
    std::printf("GET /metrics      %zu answers: median %.3f ms, p95 %.3f ms, max %.3f ms\n",
                times.size(), s.median, s.p95, s.max);
    std::printf("failed exchanges  %d\n", failures.load());
    return failures.load() == 0 ? 0 : 1;
}
