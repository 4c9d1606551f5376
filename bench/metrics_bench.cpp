// What does a scrape cost? A registry with T targets (100 by default) is served by the
// MetricsServer on 127.0.0.1; a client on its own thread does N (1000) real HTTP GETs of
// /metrics one after the other, each on a new connection as Prometheus' scrape does with
// "Connection: close": connect, send the request, read to the server's close. The time of
// each exchange is one sample. Before that, Exposition() alone is timed N times.
// With --attack C, C more connections on the server's loop send a byte of a head that never
// ends each second and connect again when dropped, while the GETs go on.
// With --file S, no endpoint: the window's publisher writes the metrics file while 100
// addresses are pinged every 10 s (a result each 100 ms) for S seconds; the file's
// replacements and the bytes written are counted.
//
//   metrics_bench [--requests N] [--targets T] [--attack C]
//   metrics_bench --file S

#include "engine/Metrics.h"
#include "engine/MetricsPublisher.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <sys/stat.h>
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

// Bytes this process has handed to write() so far.
long long WrittenBytes() {
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : io.readAll().split('\n')) {
        if (line.startsWith("wchar:"))
            return line.mid(6).trimmed().toLongLong();
    }
    return -1;
}

int FileRun(QCoreApplication &app, int seconds) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("vennatro.prom"));
    const QByteArray native = QFile::encodeName(path);
    MetricsPublisher publisher;
    publisher.Configure(0, path);
    int pings = 0, replacements = 0;
    ino_t inode = 0;
    const long long before = WrittenBytes();
    QTimer ping;
    QObject::connect(&ping, &QTimer::timeout, [&] {
        publisher.Record(Sample(pings++ % 100));
        struct stat info {};
        if (::stat(native.constData(), &info) == 0 && info.st_ino != inode) {
            inode = info.st_ino;
            ++replacements;
        }
        if (pings >= seconds * 10)
            app.quit();
    });
    ping.start(100);
    app.exec();
    const long long written = WrittenBytes() - before;
    std::printf("%d pings in %d s: the file replaced %d times, %.1f KB/s written\n", pings, seconds,
                replacements, double(written) / 1024.0 / seconds);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    int requests = 1000;
    int targets = 100;
    int attackers = 0;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == "--requests")
            requests = args[++i].toInt();
        else if (args[i] == "--targets")
            targets = args[++i].toInt();
        else if (args[i] == "--attack")
            attackers = args[++i].toInt();
        else if (args[i] == "--file")
            return FileRun(app, args[++i].toInt());
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

    std::vector<std::unique_ptr<QTcpSocket>> attack(attackers);
    std::atomic<bool> attackOn{attackers == 0};
    int ticks = 0;
    QTimer attackTick;
    QObject::connect(&attackTick, &QTimer::timeout, [&] {
        ++ticks;
        if (server.OpenClients() >= std::min(attackers, server.MaxClients()))
            attackOn = true;
        for (auto &socket : attack) {
            if (socket && socket->state() == QAbstractSocket::UnconnectedState)
                socket.reset();
            if (!socket) {
                socket = std::make_unique<QTcpSocket>();
                socket->connectToHost(QHostAddress::LocalHost, port);
                socket->write("GET /metrics HTTP/1.1\r\nX-Slow: ");
            } else if (ticks % 100 == 0) {
                socket->write("a");
            }
        }
    });
    if (attackers > 0)
        attackTick.start(10);

    std::vector<double> times;
    std::atomic<int> failures{0};
    std::thread client([&] {
        const QByteArray request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                   "Accept: text/plain;version=0.0.4\r\n\r\n";
        while (!attackOn)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (int i = 0; i < requests + 20; ++i) { // the first 20 warm up
            if (attackers > 0)                    // a scrape every 100 ms while the attack goes on
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
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
    std::printf("targets %d, body %lld bytes, %d slow clients\n", targets,
                static_cast<long long>(bodySize), attackers);
    std::printf("Exposition()      %d calls: median %.3f ms, p95 %.3f ms, max %.3f ms\n", requests,
                b.median, b.p95, b.max);
    std::printf("GET /metrics      %zu answers: median %.3f ms, p95 %.3f ms, max %.3f ms\n",
                times.size(), s.median, s.p95, s.max);
    std::printf("failed exchanges  %d\n", failures.load());
    return failures.load() == 0 ? 0 : 1;
}
