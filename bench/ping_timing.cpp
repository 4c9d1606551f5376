// How exact is the "completed in X seconds" figure? A loopback server answers every request
// after a known delay D; the main window pings it and the figure minus D is the overhead the
// program adds (connect, request, notification dispatch). curl measures the same server in the
// same run for comparison. Then the window sits idle with automatic ping off and the timer
// events and wake-ups of the process are counted.
//
//   ping_timing [--samples N] [--delays 0,5,50,200] [--idle SECONDS] [--no-curl]
//               [--inline-lookup]
//   ping_timing --idle-only SECONDS      (a fresh window that never pinged)

#include "app/Main.h"
#include "engine/PingTarget.h"
#include "platform/Resolver.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMap>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// Answers every request on 127.0.0.1 after delayMs, on a thread of its own so that the
// delay does not depend on the event loop of the program under measurement.
class DelayedServer {
public:
    DelayedServer() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            ::listen(m_fd, 16) != 0) {
            std::perror("server");
            return;
        }
        socklen_t len = sizeof addr;
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { Run(); });
        m_ok = true;
    }
    ~DelayedServer() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_fd);
    }
    DelayedServer(const DelayedServer &) = delete;
    DelayedServer &operator=(const DelayedServer &) = delete;

    bool ok() const { return m_ok; }
    int port() const { return m_port; }
    void setDelay(int ms) { m_delayMs = ms; }

private:
    void Run() {
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const int client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            QByteArray request;
            char buffer[4096];
            while (!request.contains("\r\n\r\n")) {
                const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                request.append(buffer, n);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(m_delayMs.load()));
            static const char answer[] =
                "HTTP/1.0 200 OK\r\nServer: bench\r\nContent-Length: 0\r\n\r\n";
            ::send(client, answer, sizeof answer - 1, MSG_NOSIGNAL);
            ::shutdown(client, SHUT_WR);
            // Let the client close first, so the port is not left in TIME_WAIT on our side.
            while (::recv(client, buffer, sizeof buffer, 0) > 0) {
            }
            ::close(client);
        }
    }

    int m_fd = -1;
    int m_port = 0;
    bool m_ok = false;
    std::atomic<int> m_delayMs{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Answers a dotted IPv4 address on the next turn of the event loop, without the worker
// thread of the system resolver (--inline-lookup): shows what that thread hop costs.
class InlineResolver : public Resolver {
public:
    quint64 lookupHost(const QString &host) override {
        const quint64 id = ++m_last;
        in_addr addr{};
        const bool ok = ::inet_pton(AF_INET, host.toLatin1().constData(), &addr) == 1;
        const quint32 value = ok ? ntohl(addr.s_addr) : 0;
        QMetaObject::invokeMethod(
            this, [this, id, ok, value] { emit finished(id, ok ? 0 : 11001, value); },
            Qt::QueuedConnection);
        return id;
    }
    quint64 lookupService(const QString &) override {
        const quint64 id = ++m_last;
        QMetaObject::invokeMethod(
            this, [this, id] { emit finished(id, 10109, 0); }, Qt::QueuedConnection);
        return id;
    }

private:
    quint64 m_last = 0;
};

struct Stats {
    double median = 0;
    double p95 = 0;
};

Stats Summarise(QList<double> values) {
    Stats s;
    if (values.isEmpty())
        return s;
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    s.p95 = values[std::max<qsizetype>(0, qsizetype(std::ceil(0.95 * double(n))) - 1)];
    return s;
}

// One measurement, in ms from the start of the attempt (ours) or of the transfer (curl).
struct Sample {
    double printed = 0;   // the figure the log shows (three decimals of a second)
    double firstByte = 0; // unrounded: when the answer's first bytes were reported
    double connected = 0; // when the connection stood (lookup included)
};

// One ping through the window.
bool PingOnce(TfMain_Vennatro &w, Sample &sample) {
    const qsizetype mark = w.mmLog->toPlainText().size();
    qint64 readNs = -1;
    qint64 connectNs = -1;
    QEventLoop loop;
    const TSocketNotifyEvent connected = w.ClientSocket->OnConnect;
    const TSocketNotifyEvent read = w.ClientSocket->OnRead;
    const TSocketNotifyEvent disconnect = w.ClientSocket->OnDisconnect;
    w.ClientSocket->OnConnect = [&](QObject *sender, TCustomWinSocket *socket) {
        connectNs = w.PingStartTime.nsecsElapsed();
        connected(sender, socket);
    };
    w.ClientSocket->OnRead = [&](QObject *sender, TCustomWinSocket *socket) {
        if (readNs < 0)
            readNs = w.PingStartTime.nsecsElapsed();
        read(sender, socket);
    };
    w.ClientSocket->OnDisconnect = [&](QObject *sender, TCustomWinSocket *socket) {
        disconnect(sender, socket);
        loop.quit();
    };
    // A local guard: no stray single-shot timer outlives the sample.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    guard.start(10000);
    w.actPingExecute();
    if (w.PingBusy)
        loop.exec();
    w.ClientSocket->OnConnect = connected;
    w.ClientSocket->OnRead = read;
    w.ClientSocket->OnDisconnect = disconnect;

    static const QRegularExpression figure(QStringLiteral("completed in (\\d+\\.\\d{3}) seconds"));
    const QRegularExpressionMatch m = figure.match(w.mmLog->toPlainText().mid(mark));
    if (!m.hasMatch() || readNs < 0 || connectNs < 0)
        return false;
    sample.printed = m.captured(1).toDouble() * 1000.0;
    sample.firstByte = double(readNs) / 1e6;
    sample.connected = double(connectNs) / 1e6;
    return true;
}

bool CurlOnce(int port, Sample &sample) {
    QProcess curl;
    curl.start(QStringLiteral("curl"),
               {QStringLiteral("-s"), QStringLiteral("-I"), QStringLiteral("-o"),
                QStringLiteral("/dev/null"), QStringLiteral("-w"),
                QStringLiteral("%{time_connect} %{time_starttransfer}"),
                QStringLiteral("http://127.0.0.1:%1/").arg(port)});
    if (!curl.waitForFinished(10000) || curl.exitCode() != 0)
        return false;
    const QStringList parts =
        QString::fromLatin1(curl.readAllStandardOutput()).simplified().split(QLatin1Char(' '));
    if (parts.size() != 2)
        return false;
    sample.connected = parts[0].toDouble() * 1000.0;
    sample.firstByte = parts[1].toDouble() * 1000.0;
    sample.printed = sample.firstByte;
    return true;
}

struct Wakeups {
    qint64 mainThread = 0; // voluntary and forced switches of the user-interface thread
    qint64 allThreads = 0; // the same, summed over every thread of the process
    int threads = 0;
};

// Context switches of the threads of this process: every one is a wake-up.
Wakeups ContextSwitches() {
    Wakeups total;
    const QString self = QString::number(::getpid());
    const QStringList tasks =
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        QFile f(QStringLiteral("/proc/self/task/%1/status").arg(task));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        ++total.threads;
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (line.startsWith("voluntary_ctxt_switches:") ||
                line.startsWith("nonvoluntary_ctxt_switches:")) {
                const qint64 n = line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
                total.allThreads += n;
                if (task == self)
                    total.mainThread += n;
            }
        }
    }
    return total;
}

double CpuMs() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return (double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

// Counts the timer events the program's objects receive.
class TimerCounter : public QObject {
public:
    int timers = 0;
    int events = 0;
    QMap<QString, int> receivers; // "class name/object name" of every timer event's receiver

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        ++events;
        if (event->type() == QEvent::Timer) {
            ++timers;
            ++receivers[QLatin1String(watched->metaObject()->className()) + QLatin1Char('/') +
                        watched->objectName()];
        }
        return false;
    }
};

void MeasureIdle(QApplication &app, TfMain_Vennatro &w, int seconds) {
    // A held result ends with one timer event of its own; wait for it before counting.
    while (w.TimerNotification->isActive())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    std::printf("\nIdle, automatic ping %s, for %d s:\n", w.AutoPingOn() ? "on" : "off", seconds);
    TimerCounter counter;
    app.installEventFilter(&counter);
    const Wakeups before = ContextSwitches();
    const double cpuBefore = CpuMs();
    QEventLoop loop;
    // The deadline itself is a timer of this benchmark: it fires once, at the end.
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    const double cpu = CpuMs() - cpuBefore;
    const Wakeups after = ContextSwitches();
    app.removeEventFilter(&counter);
    std::printf("  timer events delivered:        %d (1 is the benchmark's own deadline)\n",
                counter.timers);
    for (auto it = counter.receivers.cbegin(); it != counter.receivers.cend(); ++it)
        std::printf("      %4d to %s\n", it.value(), qPrintable(it.key()));
    std::printf("  events delivered in all:       %d\n", counter.events);
    std::printf("  wake-ups of the UI thread:     %lld (1 is the deadline)\n",
                static_cast<long long>(after.mainThread - before.mainThread));
    std::printf("  wake-ups of all %2d threads:    %lld\n", after.threads,
                static_cast<long long>(after.allThreads - before.allThreads));
    std::printf("  CPU time:                      %.1f ms\n", cpu);
}

// Pings the delayed server and curls it, sample by sample, for every delay. The server is
// gone when this returns, so that its thread does not count in the idle figures.
bool RunTimings(TfMain_Vennatro &window, int samples, const QList<int> &delays, bool withCurl) {
    DelayedServer server;
    if (!server.ok())
        return false;
    Options.HTTPPort = server.port();
    Options.PingAttempts = 1;
    Options.ShowNotifications = false;
    Options.SaveLog = false;
    window.ApplySettings();
    window.cmbAddress->setEditText(QStringLiteral("127.0.0.1/"));

    std::printf("%d samples per delay; overhead = time to the answer's first byte - D, in ms\n\n",
                samples);
    std::printf("%6s | %-21s | %-21s | %-21s || %-21s | %-21s\n", "D (ms)", "Vennatro printed",
                "Vennatro unrounded", withCurl ? "curl starttransfer" : "curl (skipped)",
                "connect: Vennatro", "connect: curl");
    std::printf("%6s |%s|%s|%s||%s|%s\n", "", " median      p95      ", " median      p95      ",
                " median      p95      ", " median      p95      ", " median      p95");
    for (const int d : delays) {
        server.setDelay(d);
        QList<double> printed, raw, curlFirst, ourConnect, curlConnect;
        // One warm-up of each, so the first sample does not pay for first-use costs.
        Sample ours, theirs;
        PingOnce(window, ours);
        if (withCurl)
            CurlOnce(server.port(), theirs);
        for (int i = 0; i < samples; ++i) {
            if (!PingOnce(window, ours)) {
                std::fprintf(stderr, "ping failed at D=%d\n", d);
                return false;
            }
            printed << ours.printed - d;
            raw << ours.firstByte - d;
            ourConnect << ours.connected;
            if (withCurl) {
                if (!CurlOnce(server.port(), theirs)) {
                    std::fprintf(stderr, "curl failed at D=%d\n", d);
                    return false;
                }
                curlFirst << theirs.firstByte - d;
                curlConnect << theirs.connected;
            }
        }
        const Stats sp = Summarise(printed), sr = Summarise(raw), sc = Summarise(curlFirst),
                    oc = Summarise(ourConnect), cc = Summarise(curlConnect);
        std::printf("%6d | %8.3f %8.3f    | %8.3f %8.3f    | %8.3f %8.3f    || %8.3f %8.3f    | "
                    "%8.3f %8.3f\n",
                    d, sp.median, sp.p95, sr.median, sr.p95, sc.median, sc.p95, oc.median, oc.p95,
                    cc.median, cc.p95);
        std::fflush(stdout);
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // A private store, so the benchmark never reads or writes the user's settings.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
    QDir().mkpath(home.filePath(QStringLiteral("runtime")));
    QFile::setPermissions(home.filePath(QStringLiteral("runtime")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", home.filePath(QStringLiteral("runtime")).toUtf8());
    QApplication app(argc, argv);

    int samples = 30;
    QList<int> delays = {0, 5, 50, 200};
    int idleSeconds = 10;
    bool withCurl = true;
    bool idleOnly = false;
    bool inlineLookup = false;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString next = i + 1 < args.size() ? args[i + 1] : QString();
        if (args[i] == QLatin1String("--samples")) {
            samples = next.toInt();
            ++i;
        } else if (args[i] == QLatin1String("--delays")) {
            delays.clear();
            for (const QString &d : next.split(QLatin1Char(',')))
                delays << d.toInt();
            ++i;
        } else if (args[i] == QLatin1String("--idle")) {
            idleSeconds = next.toInt();
            ++i;
        } else if (args[i] == QLatin1String("--idle-only")) {
            idleSeconds = next.toInt();
            idleOnly = true;
            ++i;
        } else if (args[i] == QLatin1String("--inline-lookup")) {
            inlineLookup = true;
        } else if (args[i] == QLatin1String("--no-curl")) {
            withCurl = false;
        } else {
            std::fprintf(stderr, "unknown argument %s\n", qPrintable(args[i]));
            return 2;
        }
    }

    TfMain_Vennatro window;
    InlineResolver inlineResolver;
    if (inlineLookup)
        window.ClientSocket->SetResolver(&inlineResolver);
    if (idleOnly) {
        MeasureIdle(app, window, idleSeconds);
        return 0;
    }

    if (!RunTimings(window, samples, delays, withCurl))
        return 1;
    MeasureIdle(app, window, idleSeconds);
    return 0;
}
