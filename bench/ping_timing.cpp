// How exact is the "completed in X seconds" figure, and what does a ping cost? A loopback
// server answers every request after a known delay D; the program pings it and the figure minus
// D is the overhead the program adds (connect, request, notification dispatch). curl measures
// the same server in the same run for comparison. Then the program sits idle with automatic
// ping off and the timer events and wake-ups of the process are counted.
//
// Two subjects: the main window (offscreen, its real path: actPingExecute, the engine, the log
// pane), or with --engine the ping engine alone in a QCoreApplication, no window, its log
// entries collected in a string.
//
//   ping_timing [--engine] [--samples N] [--delays 0,5,50,200] [--idle SECONDS] [--no-curl]
//   ping_timing [--engine] --idle-only SECONDS   (never pinged)
//   ping_timing [--engine] --cpu N [--rounds R]  (CPU time per ping: R rounds of N pings)
//   ping_timing --tls [--samples N]     (the TLS check beside curl -sI, nginx under an
//                                        authority of its own)
//   ping_timing --probe [--samples N]   (/probe beside prometheus-blackbox-exporter's)
//
// --cpu runs the server in a child process, so the process's own CPU time (getrusage) is the
// client's alone; a plain blocking client doing the same exchange is measured beside it as the
// floor that the kernel's part of a loopback exchange sets.

#include "Version.h"
#include "app/Main.h"
#include "engine/MetricsPublisher.h"
#include "engine/PingEngine.h"
#include "engine/PingTarget.h"
#include "engine/ProbeRunner.h"
#include "engine/WatchList.h"
#include "net/TlsClient.h"
#include "platform/SystemInfo.h"
#include "store/Options.h"
#include "support/EngineProbe.h"
#include "support/TestCertificate.h"
#include "support/TestNginx.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMap>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// A listening socket on 127.0.0.1, any free port; -1 on failure.
int Listen(int &port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(fd, 64) != 0) {
        std::perror("server");
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

// Answers one connection: reads the request up to its blank line, waits delayMs, sends a
// status line and headers, and lets the client close first (so no TIME_WAIT on our side).
void ServeOne(int listener, int delayMs) {
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0)
        return;
    QByteArray request;
    char buffer[4096];
    while (!request.contains("\r\n\r\n")) {
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        request.append(buffer, n);
    }
    if (delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    static const char answer[] = "HTTP/1.0 200 OK\r\nServer: bench\r\nContent-Length: 0\r\n\r\n";
    ::send(client, answer, sizeof answer - 1, MSG_NOSIGNAL);
    ::shutdown(client, SHUT_WR);
    while (::recv(client, buffer, sizeof buffer, 0) > 0) {
    }
    ::close(client);
}

// Answers every request after delayMs, on a thread of its own so that the delay does not
// depend on the event loop of the program under measurement.
class DelayedServer {
public:
    DelayedServer() {
        m_fd = Listen(m_port);
        if (m_fd >= 0)
            m_thread = std::thread([this] { Run(); });
    }
    ~DelayedServer() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    DelayedServer(const DelayedServer &) = delete;
    DelayedServer &operator=(const DelayedServer &) = delete;

    bool ok() const { return m_fd >= 0; }
    int port() const { return m_port; }
    void setDelay(int ms) { m_delayMs = ms; }

private:
    void Run() {
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0)
                ServeOne(m_fd, m_delayMs.load());
        }
    }

    int m_fd = -1;
    int m_port = 0;
    std::atomic<int> m_delayMs{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The same server without delay in a child process, so that its CPU time is not the
// benchmark's. Forked before the application exists (no threads yet); the child ends with
// its parent at the latest.
class ChildServer {
public:
    ChildServer() {
        const int fd = Listen(m_port);
        if (fd < 0)
            return;
        const pid_t parent = ::getpid();
        m_pid = ::fork();
        if (m_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent)
                ::_exit(0);
            for (;;)
                ServeOne(fd, 0);
        }
        ::close(fd);
        if (m_pid < 0)
            std::perror("fork");
    }
    ~ChildServer() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    ChildServer(const ChildServer &) = delete;
    ChildServer &operator=(const ChildServer &) = delete;

    bool ok() const { return m_pid > 0; }
    int port() const { return m_port; }

private:
    pid_t m_pid = -1;
    int m_port = 0;
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

// What is pinged: the window, or the engine alone.
class Subject {
public:
    virtual ~Subject() = default;
    virtual const char *Name() const = 0;
    virtual PingEngine &Engine() = 0;
    // Ping 127.0.0.1/ on port, one attempt, no balloons, no log file.
    virtual void Configure(int port) = 0;
    // Starts one ping; what it logs is Logged() afterwards.
    virtual void StartPing() = 0;
    virtual QString Logged() const = 0;
    // Waits until nothing of the last ping is pending any more.
    virtual void Settle() {}
    virtual bool AutoPingOn() const { return false; }
};

class WindowSubject : public Subject {
public:
    // The widgets carry their member names as object names.
    WindowSubject()
        : m_address(m_window.findChild<QComboBox *>(QStringLiteral("cmbAddress"))),
          m_log(m_window.findChild<QPlainTextEdit *>(QStringLiteral("mmLog"))) {}
    bool Found() const { return m_address && m_log; }
    const char *Name() const override { return "window"; }
    PingEngine &Engine() override { return *m_window.Session->Engine(); }
    void Configure(int port) override {
        Options.HTTPPort = port;
        Options.PingAttempts = 1;
        Options.ShowNotifications = false;
        Options.SaveLog = false;
        m_window.ApplySettings();
        m_address->setEditText(QStringLiteral("127.0.0.1/"));
    }
    void StartPing() override {
        m_blocks = m_log->document()->blockCount();
        m_window.actPingExecute();
    }
    // The pane's newest lines, as far as this ping added them: reading the whole pane would
    // cost the benchmark more with every ping.
    QString Logged() const override {
        const int added = m_log->document()->blockCount() - m_blocks;
        QStringList lines;
        QTextBlock block = m_log->document()->lastBlock();
        for (int i = 0; i <= std::min(added, 8) && block.isValid(); ++i) {
            lines.prepend(block.text());
            block = block.previous();
        }
        return lines.join(QLatin1Char('\n'));
    }
    void Settle() override {
        // A held result ends with one timer event of its own; wait for it before counting.
        while (m_window.TimerNotification->isActive())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    }
    bool AutoPingOn() const override { return m_window.AutoPingOn(); }

private:
    TfMain_Vennatro m_window{new PingSession};
    QComboBox *m_address;
    QPlainTextEdit *m_log;
    int m_blocks = 0;
};

class EngineSubject : public Subject {
public:
    EngineSubject() {
        QObject::connect(&m_engine, &PingEngine::logText,
                         [this](const QString &entry) { m_logged += entry; });
    }
    const char *Name() const override { return "engine alone"; }
    PingEngine &Engine() override { return m_engine; }
    void Configure(int port) override {
        TOptions options = DefaultOptions();
        options.HTTPPort = port;
        options.PingAttempts = 1;
        options.ShowNotifications = false;
        const QString computer = ComputerNetworkName();
        m_engine.ApplySettings(
            options,
            EngineContext{BuildUserAgent(CutBeforeLastDot(QStringLiteral(VENNATRO_FILE_VERSION)),
                                         QString(), CurrentOsVersion(), false, computer),
                          computer, QString()});
        m_engine.SetTarget(NormaliseAddress(QStringLiteral("127.0.0.1/")));
    }
    void StartPing() override {
        m_logged.clear();
        m_engine.Ping();
    }
    QString Logged() const override { return m_logged; }

private:
    PingEngine m_engine;
    QString m_logged;
};

// One ping; the socket's notifications are wrapped to read the engine's clock at connect and
// at the first answer bytes.
bool PingOnce(Subject &subject, Sample &sample) {
    PingEngine &engine = subject.Engine();
    TClientSocket *socket = EngineProbe(engine).ClientSocket();
    qint64 readNs = -1;
    qint64 connectNs = -1;
    QEventLoop loop;
    const TSocketNotifyEvent connected = socket->OnConnect;
    const TSocketNotifyEvent read = socket->OnRead;
    const TSocketNotifyEvent disconnect = socket->OnDisconnect;
    socket->OnConnect = [&](QObject *sender, TCustomWinSocket *s) {
        connectNs = EngineProbe(engine).PingStartTime().nsecsElapsed();
        connected(sender, s);
    };
    socket->OnRead = [&](QObject *sender, TCustomWinSocket *s) {
        if (readNs < 0)
            readNs = EngineProbe(engine).PingStartTime().nsecsElapsed();
        read(sender, s);
    };
    socket->OnDisconnect = [&](QObject *sender, TCustomWinSocket *s) {
        disconnect(sender, s);
        loop.quit();
    };
    // A local guard: no stray single-shot timer outlives the sample.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    guard.start(10000);
    subject.StartPing();
    if (engine.Busy())
        loop.exec();
    socket->OnConnect = connected;
    socket->OnRead = read;
    socket->OnDisconnect = disconnect;

    static const QRegularExpression figure(QStringLiteral("completed in (\\d+\\.\\d{3}) seconds"));
    const QRegularExpressionMatch m = figure.match(subject.Logged());
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
    qint64 mainThread = 0; // voluntary and forced switches of the main thread
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

struct Cpu {
    double user = 0;   // ms
    double system = 0; // ms
};

Cpu CpuNow() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return {double(u.ru_utime.tv_sec) * 1000.0 + double(u.ru_utime.tv_usec) / 1000.0,
            double(u.ru_stime.tv_sec) * 1000.0 + double(u.ru_stime.tv_usec) / 1000.0};
}

double CpuMs() {
    const Cpu c = CpuNow();
    return c.user + c.system;
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

void MeasureIdle(QCoreApplication &app, Subject &subject, int seconds) {
    subject.Settle();
    std::printf("\nIdle (%s), automatic ping %s, for %d s:\n", subject.Name(),
                subject.AutoPingOn() ? "on" : "off", seconds);
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
    std::printf("  wake-ups of the main thread:   %lld (1 is the deadline)\n",
                static_cast<long long>(after.mainThread - before.mainThread));
    std::printf("  wake-ups of all %2d threads:    %lld\n", after.threads,
                static_cast<long long>(after.allThreads - before.allThreads));
    std::printf("  CPU time:                      %.1f ms\n", cpu);
}

// Pings the delayed server and curls it, sample by sample, for every delay. The server is
// gone when this returns, so that its thread does not count in the idle figures.
bool RunTimings(Subject &subject, int samples, const QList<int> &delays, bool withCurl) {
    DelayedServer server;
    if (!server.ok())
        return false;
    subject.Configure(server.port());

    std::printf("Subject: %s. %d samples per delay; overhead = time to the answer's first byte "
                "- D, in ms\n\n",
                subject.Name(), samples);
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
        PingOnce(subject, ours);
        if (withCurl)
            CurlOnce(server.port(), theirs);
        for (int i = 0; i < samples; ++i) {
            if (!PingOnce(subject, ours)) {
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

// The same exchange with plain blocking calls: connect, send the request, read to the end of
// the status line, close. Its CPU time is what the kernel's part of the exchange costs.
bool BareExchange(int port, const QByteArray &request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(quint16(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
              ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) ==
                  ssize_t(request.size());
    QByteArray answer;
    char buffer[4096];
    while (ok && !answer.contains('\n')) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        answer.append(buffer, n);
    }
    ::close(fd);
    return ok && answer.startsWith("HTTP/1.0 200");
}

double PerPingUs(const Cpu &before, const Cpu &after, int n) {
    return (after.user - before.user + after.system - before.system) * 1000.0 / n;
}

// Rounds of N pings back to back against the server in the child process, each followed by N
// exchanges of the plain blocking client: the CPU time of this process (every thread) per ping.
// Rounds take turns so that a busy moment of the shared machine hits both alike.
bool MeasureCpu(Subject &subject, const ChildServer &server, int pings, int rounds) {
    subject.Configure(server.port());
    Sample sample;
    for (int i = 0; i < 50; ++i) { // warm-up
        if (!PingOnce(subject, sample)) {
            std::fprintf(stderr, "warm-up ping failed\n");
            return false;
        }
    }
    std::printf("CPU time per ping (%s, %s), loopback server in a child process, no delay; "
                "%d rounds of %d; in us\n",
                subject.Name(), QAbstractEventDispatcher::instance()->metaObject()->className(),
                rounds, pings);
    std::printf("%6s | %9s %9s | %9s %10s | %10s\n", "round", "ours CPU", "ours wall", "plain CPU",
                "plain wall", "ours-plain");
    const QByteArray request = BuildHeadRequest(QStringLiteral("/"), QStringLiteral("127.0.0.1"),
                                                QStringLiteral("Vennatro/1.0.1 (Linux 6.1)"));
    QList<double> ours, plain, difference;
    for (int round = 1; round <= rounds; ++round) {
        Cpu before = CpuNow();
        QElapsedTimer wall;
        wall.start();
        for (int i = 0; i < pings; ++i) {
            if (!PingOnce(subject, sample)) {
                std::fprintf(stderr, "ping %d failed\n", i);
                return false;
            }
        }
        const double oursWall = double(wall.nsecsElapsed()) / 1e3 / pings;
        const double oursCpu = PerPingUs(before, CpuNow(), pings);

        before = CpuNow();
        wall.start();
        for (int i = 0; i < pings; ++i) {
            if (!BareExchange(server.port(), request)) {
                std::fprintf(stderr, "plain exchange %d failed\n", i);
                return false;
            }
        }
        const double plainWall = double(wall.nsecsElapsed()) / 1e3 / pings;
        const double plainCpu = PerPingUs(before, CpuNow(), pings);
        ours << oursCpu;
        plain << plainCpu;
        difference << oursCpu - plainCpu;
        std::printf("%6d | %9.1f %9.1f | %9.1f %10.1f | %10.1f\n", round, oursCpu, oursWall,
                    plainCpu, plainWall, oursCpu - plainCpu);
        std::fflush(stdout);
    }
    std::printf("%6s | %9.1f %9s | %9.1f %10s | %10.1f\n", "median", Summarise(ours).median, "",
                Summarise(plain).median, "", Summarise(difference).median);
    return true;
}

// ---- TLS: the check beside curl, /probe beside the blackbox exporter ----

// nginx with a TLS site under an authority of the benchmark's own (SSL_CERT_FILE), and a plain
// one, both answering /status/200 at once.
struct TlsSite {
    TestAuthority authority;
    TestNginx nginx;
    int tls = -1;
    int plain = -1;
    bool Start() {
        TestAuthority::Request request;
        request.ipAddresses = QStringList{QStringLiteral("127.0.0.1")};
        const TestAuthority::Files files = authority.issue(QStringLiteral("site"), request);
        if (files.certificate.isEmpty()) {
            std::fprintf(stderr, "no certificate: %s\n", qPrintable(authority.error()));
            return false;
        }
        tls = nginx.addTls(files.certificate, files.key);
        plain = nginx.addPlain();
        QString error;
        if (!nginx.start(&error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return false;
        }
        qputenv("SSL_CERT_FILE", authority.certificatePath().toUtf8());
        qunsetenv("SSL_CERT_DIR");
        return true;
    }
    QString Url(bool https) const {
        return QStringLiteral("%1://127.0.0.1:%2/status/200")
            .arg(https ? QStringLiteral("https") : QStringLiteral("http"))
            .arg(nginx.port(https ? tls : plain));
    }
};

EngineContext BenchContext() {
    const QString computer = ComputerNetworkName();
    return EngineContext{BuildUserAgent(CutBeforeLastDot(QStringLiteral(VENNATRO_FILE_VERSION)),
                                        QString(), CurrentOsVersion(), false, computer),
                         computer, QString()};
}

// One TLS check: the ping's time, and its handshake (from the connect to the end of it).
bool TlsPingOnce(PingEngine &engine, const NormalisedAddress &target, Sample &sample) {
    QEventLoop loop;
    PingResult result;
    const QMetaObject::Connection done =
        QObject::connect(&engine, &PingEngine::finished, [&](const PingResult &r) {
            result = r;
            loop.quit();
        });
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    engine.SetTarget(target);
    engine.Ping();
    loop.exec();
    QObject::disconnect(done);
    while (engine.Active())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    if (result.outcome != PingOutcomeKind::Completed || result.tlsSeconds < 0)
        return false;
    sample.firstByte = result.seconds * 1000.0;
    sample.connected = (result.tlsSeconds - result.connectSeconds) * 1000.0; // the handshake
    return true;
}

bool CurlTlsOnce(const QString &url, const QString &authority, Sample &sample) {
    QProcess curl;
    curl.start(QStringLiteral("curl"),
               {QStringLiteral("-s"), QStringLiteral("-I"), QStringLiteral("-o"),
                QStringLiteral("/dev/null"), QStringLiteral("--cacert"), authority,
                QStringLiteral("-w"),
                QStringLiteral("%{time_connect} %{time_appconnect} %{time_starttransfer}"), url});
    if (!curl.waitForFinished(10000) || curl.exitCode() != 0)
        return false;
    const QStringList parts =
        QString::fromLatin1(curl.readAllStandardOutput()).simplified().split(QLatin1Char(' '));
    if (parts.size() != 3)
        return false;
    sample.firstByte = parts[2].toDouble() * 1000.0;
    sample.connected = (parts[1].toDouble() - parts[0].toDouble()) * 1000.0;
    return true;
}

// The TLS check of the engine and curl -sI against the same nginx site, one after the other.
bool MeasureTls(int samples) {
    TlsSite site;
    if (!site.Start())
        return false;
    PingEngine engine;
    TOptions options = DefaultOptions();
    options.PingAttempts = 1;
    options.CheckTLS = true;
    engine.ApplySettings(options, BenchContext());
    const NormalisedAddress target = NormaliseAddress(site.Url(true));
    QList<double> ours, ourHandshake, theirs, theirHandshake;
    Sample a, b;
    if (!TlsPingOnce(engine, target, a) ||
        !CurlTlsOnce(site.Url(true), site.authority.certificatePath(), b)) {
        std::fprintf(stderr, "the first TLS ping or curl failed\n");
        return false;
    }
    for (int i = 0; i < samples; ++i) {
        if (!TlsPingOnce(engine, target, a) ||
            !CurlTlsOnce(site.Url(true), site.authority.certificatePath(), b)) {
            std::fprintf(stderr, "sample %d failed\n", i);
            return false;
        }
        ours << a.firstByte;
        ourHandshake << a.connected;
        theirs << b.firstByte;
        theirHandshake << b.connected;
    }
    const Stats o = Summarise(ours), oh = Summarise(ourHandshake), t = Summarise(theirs),
                th = Summarise(theirHandshake);
    std::printf("TLS check of %s (nginx, TLS 1.3, P-256), %d samples, ms: median / p95\n",
                qPrintable(site.Url(true)), samples);
    std::printf("  Vennatro: first answer byte %8.3f / %8.3f   handshake %8.3f / %8.3f\n", o.median,
                o.p95, oh.median, oh.p95);
    std::printf("  curl -sI: starttransfer     %8.3f / %8.3f   handshake %8.3f / %8.3f\n", t.median,
                t.p95, th.median, th.p95);
    return true;
}

// A whole exchange of a loopback client: connect, request, the answer to its close; in ms,
// -1 on failure. status: the answer's status line.
double ExchangeMs(quint16 port, const QByteArray &request, QByteArray *answer) {
    QTcpSocket socket;
    QEventLoop loop;
    QElapsedTimer clock;
    QByteArray received;
    QObject::connect(&socket, &QTcpSocket::connected, [&] { socket.write(request); });
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] { received += socket.readAll(); });
    QObject::connect(&socket, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
    QObject::connect(&socket, &QAbstractSocket::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(15000, &loop, &QEventLoop::quit);
    clock.start();
    socket.connectToHost(QHostAddress::LocalHost, port);
    loop.exec();
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    received += socket.readAll();
    if (answer)
        *answer = received;
    return received.startsWith("HTTP/1.") && received.contains("probe_success 1") ? ms : -1;
}

// prometheus-blackbox-exporter with an http_2xx module that trusts the authority.
class Blackbox {
public:
    bool Start(const QString &authority) {
        const QString config = m_dir.filePath(QStringLiteral("blackbox.yml"));
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.write("modules:\n  http_2xx:\n    prober: http\n    timeout: 5s\n    http:\n"
                   "      tls_config:\n        ca_file: " +
                   authority.toUtf8() + "\n");
        file.close();
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        port = probe.serverPort();
        probe.close();
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QStringLiteral("prometheus-blackbox-exporter"),
                        {QStringLiteral("--config.file=") + config,
                         QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(port)});
        if (!m_process.waitForStarted(10000))
            return false;
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 15000) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (socket.waitForConnected(200))
                return true;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
        }
        return false;
    }
    ~Blackbox() {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    quint16 port = 0;

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

// /probe of Vennatro's metrics endpoint and of the blackbox exporter, the same client, the same
// targets, taking turns.
bool MeasureProbe(int samples) {
    TlsSite site;
    if (!site.Start())
        return false;
    Blackbox blackbox;
    if (!blackbox.Start(site.authority.certificatePath())) {
        std::fprintf(stderr, "prometheus-blackbox-exporter did not start\n");
        return false;
    }
    MetricsPublisher publisher;
    ProbeRunner runner;
    TOptions options = DefaultOptions();
    options.CheckTLS = true;
    options.AcceptedHTTPStatus = QStringLiteral("200-299");
    runner.ApplySettings(options, BenchContext());
    runner.SetTlsContext(std::make_shared<TlsContext>());
    publisher.SetProber([&runner](const QString &target, int timeoutMs,
                                  std::function<void(const QByteArray &)> done) {
        return runner.Start(target, timeoutMs, std::move(done));
    });
    QTcpServer free;
    free.listen(QHostAddress::LocalHost);
    const quint16 ours = free.serverPort();
    free.close();
    publisher.Configure(ours, QString());
    if (publisher.ListeningPort() != ours)
        return false;
    std::printf("/probe answer, whole exchange of a loopback client, %d samples, ms: median / "
                "p95\n",
                samples);
    for (const bool https : {true, false}) {
        const QByteArray target = QUrl::toPercentEncoding(site.Url(https));
        const QByteArray ourRequest = "GET /probe?target=" + target +
                                      " HTTP/1.0\r\nHost: x\r\n"
                                      "X-Prometheus-Scrape-Timeout-Seconds: 5\r\n\r\n";
        const QByteArray theirRequest = "GET /probe?module=http_2xx&target=" + target +
                                        " HTTP/1.0\r\nHost: x\r\n"
                                        "X-Prometheus-Scrape-Timeout-Seconds: 5\r\n\r\n";
        QList<double> a, b;
        ExchangeMs(ours, ourRequest, nullptr);
        ExchangeMs(blackbox.port, theirRequest, nullptr);
        for (int i = 0; i < samples; ++i) {
            QByteArray answer, theirAnswer;
            const double x = ExchangeMs(ours, ourRequest, &answer);
            const double y = ExchangeMs(blackbox.port, theirRequest, &theirAnswer);
            if (x < 0 || y < 0) {
                std::fprintf(stderr, "probe %d failed (%s):\n%s\n", i,
                             x < 0 ? "Vennatro" : "blackbox exporter",
                             (x < 0 ? answer : theirAnswer).constData());
                return false;
            }
            a << x;
            b << y;
        }
        const Stats sa = Summarise(a), sb = Summarise(b);
        std::printf("  %-5s target: Vennatro %8.3f / %8.3f   blackbox exporter %8.3f / %8.3f\n",
                    https ? "https" : "http", sa.median, sa.p95, sb.median, sb.p95);
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    int samples = 30;
    QList<int> delays = {0, 5, 50, 200};
    int idleSeconds = 10;
    int cpuPings = 0;
    int cpuRounds = 5;
    bool withCurl = true;
    bool idleOnly = false;
    bool engineOnly = false;
    bool tls = false;
    bool probe = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
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
        } else if (args[i] == QLatin1String("--cpu")) {
            cpuPings = next.toInt();
            ++i;
        } else if (args[i] == QLatin1String("--rounds")) {
            cpuRounds = next.toInt();
            ++i;
        } else if (args[i] == QLatin1String("--engine")) {
            engineOnly = true;
        } else if (args[i] == QLatin1String("--tls")) {
            tls = engineOnly = true;
        } else if (args[i] == QLatin1String("--probe")) {
            probe = engineOnly = true;
        } else if (args[i] == QLatin1String("--no-curl")) {
            withCurl = false;
        } else {
            std::fprintf(stderr, "unknown argument %s\n", qPrintable(args[i]));
            return 2;
        }
    }

    // Before anything else: the child must be forked while this process has one thread.
    std::unique_ptr<ChildServer> childServer;
    if (cpuPings > 0) {
        childServer = std::make_unique<ChildServer>();
        if (!childServer->ok())
            return 1;
    }

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // A private store, so the benchmark never reads or writes the user's settings.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
    QDir().mkpath(home.filePath(QStringLiteral("runtime")));
    QFile::setPermissions(home.filePath(QStringLiteral("runtime")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", home.filePath(QStringLiteral("runtime")).toUtf8());
    std::unique_ptr<QCoreApplication> app;
    std::unique_ptr<Subject> subject;
    if (engineOnly) {
        app = std::make_unique<QCoreApplication>(argc, argv);
        subject = std::make_unique<EngineSubject>();
    } else {
        app = std::make_unique<QApplication>(argc, argv);
        auto window = std::make_unique<WindowSubject>();
        if (!window->Found()) {
            std::fprintf(stderr, "the window has no cmbAddress or mmLog\n");
            return 1;
        }
        subject = std::move(window);
    }

    int status = 0;
    if (tls || probe) {
        subject.reset();
        return (tls ? MeasureTls(samples) : MeasureProbe(samples)) ? 0 : 1;
    }
    if (cpuPings > 0)
        status = MeasureCpu(*subject, *childServer, cpuPings, cpuRounds) ? 0 : 1;
    else if (idleOnly)
        MeasureIdle(*app, *subject, idleSeconds);
    else if (!RunTimings(*subject, samples, delays, withCurl))
        status = 1;
    else
        MeasureIdle(*app, *subject, idleSeconds);
    subject.reset();
    return status;
}
