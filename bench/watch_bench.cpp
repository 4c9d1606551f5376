// The watched addresses' costs, offscreen:
//
//   watch_bench [--minutes 5] [--addresses 100] [--interval 10] [--engine] [--dock] [--full-log]
//       addresses watched against a loopback server (a child process of its own, so that its
//       work is not counted) for a bounded time: this process's CPU time over the wall time,
//       the resident memory at the start and at the end (and each minute), pings and failures.
//       Default: the window as the program makes it (dock hidden); --dock shows the dock;
//       --engine: the watch list alone, no widget; --full-log: the log pane filled to its
//       bound first, the state it reaches after minutes of pings.
//   watch_bench --serve PROGRAM [--minutes 30] [--addresses 100] [--interval 10]
//       the same addresses watched by `PROGRAM --serve` (the headless service), a process of
//       its own: its CPU time over the wall time and its resident memory each minute, read
//       from /proc.
//   watch_bench --start 1000 [--runs 5]
//       a window whose store holds that many watched addresses, each start in a fresh
//       process: the time to the window shown (first paint), from the process start as its
//       parent sees it and from main() as the process sees it.
#include "app/Main.h"
#include "engine/AlertPolicy.h"
#include "engine/Formats.h"
#include "engine/WatchList.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QTextStream out(stdout);

struct Args {
    double minutes = 5;
    int addresses = 100;
    int interval = 10;
    bool engine = false;
    bool dock = false;
    bool fullLog = false; // the log pane at its bound before the measurement
    int start = -1;       // --start N: the start-up measurement with N addresses
    int runs = 5;
    bool child = false; // one start, measured by a parent
    QString serve;      // --serve PROGRAM: the service's costs
};

Args Parse(const QStringList &argv) {
    Args a;
    for (int i = 1; i < argv.size(); ++i) {
        const QString &arg = argv[i];
        const QString next = i + 1 < argv.size() ? argv[i + 1] : QString();
        if (arg == QLatin1String("--minutes")) {
            a.minutes = next.toDouble();
            ++i;
        } else if (arg == QLatin1String("--addresses")) {
            a.addresses = next.toInt();
            ++i;
        } else if (arg == QLatin1String("--interval")) {
            a.interval = next.toInt();
            ++i;
        } else if (arg == QLatin1String("--start")) {
            a.start = next.toInt();
            ++i;
        } else if (arg == QLatin1String("--runs")) {
            a.runs = next.toInt();
            ++i;
        } else if (arg == QLatin1String("--engine")) {
            a.engine = true;
        } else if (arg == QLatin1String("--dock")) {
            a.dock = true;
        } else if (arg == QLatin1String("--full-log")) {
            a.fullLog = true;
        } else if (arg == QLatin1String("--serve")) {
            a.serve = next;
            ++i;
        } else if (arg == QLatin1String("--child")) {
            a.child = true;
        }
    }
    return a;
}

// ---- the loopback server, in a process of its own ----

// Answers every request with a status line as soon as its blank line is in, then closes.
[[noreturn]] void Serve(int listener) {
    struct Client {
        int fd;
        std::string in;
    };
    std::vector<Client> clients;
    static const char answer[] = "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n";
    for (;;) {
        std::vector<pollfd> fds{{listener, POLLIN, 0}};
        for (const Client &c : clients)
            fds.push_back({c.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            _exit(1);
        if (fds[0].revents & POLLIN) {
            const int fd = accept(listener, nullptr, nullptr);
            if (fd >= 0)
                clients.push_back({fd, {}});
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            Client &c = clients[i - 1];
            char buffer[4096];
            const ssize_t n = read(c.fd, buffer, sizeof buffer);
            if (n > 0)
                c.in.append(buffer, size_t(n));
            if (n <= 0 || c.in.find("\r\n\r\n") != std::string::npos) {
                if (n > 0 && write(c.fd, answer, sizeof answer - 1) < 0) {
                    // the client went away: nothing to answer
                }
                close(c.fd);
                c.fd = -1;
            }
        }
        clients.erase(std::remove_if(clients.begin(), clients.end(),
                                     [](const Client &c) { return c.fd < 0; }),
                      clients.end());
    }
}

// Starts the server; returns its pid and port.
bool StartServer(pid_t *pid, quint16 *port) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listener, 128) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return false;
    *port = ntohs(addr.sin_port);
    *pid = fork();
    if (*pid < 0)
        return false;
    if (*pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM); // never outlives the bench
        Serve(listener);
    }
    close(listener);
    return true;
}

void StopServer(pid_t pid) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

// ---- measurements ----

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long RssKiB() {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

QString Addresses(quint16 port, int n) {
    QString text;
    for (int i = 0; i < n; ++i)
        text += QStringLiteral("http://127.0.0.1:%1/watch/%2\r\n").arg(port).arg(i);
    return text;
}

// The store's text for the value, its line breaks escaped.
QByteArray Escaped(const QString &text) {
    QByteArray bytes = text.toUtf8();
    bytes.replace('\\', "\\\\").replace('"', "\\\"").replace('\r', "\\r").replace('\n', "\\n");
    return bytes;
}

// A private configuration folder with a store holding the watched addresses.
bool WriteStore(const QTemporaryDir &dir, const QString &watched, int interval) {
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath(QStringLiteral("data"))));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(dir.filePath(QStringLiteral("cache"))));
    const QString runtime = dir.filePath(QStringLiteral("runtime"));
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    const QString folder = dir.filePath(QStringLiteral("config/Lumo Dev"));
    QDir().mkpath(folder);
    QFile store(folder + QStringLiteral("/Vennatro.reg"));
    if (!store.open(QIODevice::WriteOnly))
        return false;
    const QByteArray text = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Lumo Dev\\Vennatro]\r\n"
                            "\"Ping attempts\"=dword:00000001\r\n"
                            "\"Show notifications\"=dword:00000000\r\n"
                            "\"Save log\"=dword:00000000\r\n"
                            "\"Watch interval\"=dword:" +
                            QByteArray::number(interval, 16).rightJustified(8, '0') +
                            "\r\n"
                            "\"Watched addresses\"=\"" +
                            Escaped(watched) + "\"\r\n";
    return store.write(text) == text.size();
}

// Seen once the window has painted: the first paint of any of its widgets (the window's own
// area is covered by its children, which are painted instead of it).
class FirstPaint : public QObject {
public:
    FirstPaint(QElapsedTimer *clock, const QWidget *window) : m_clock(clock), m_window(window) {}
    qint64 atMs = -1;

protected:
    bool eventFilter(QObject *object, QEvent *event) override {
        const auto *widget = qobject_cast<const QWidget *>(object);
        if (event->type() == QEvent::Paint && atMs < 0 && widget && widget->window() == m_window) {
            atMs = m_clock->elapsed();
            // exit, not quit: quit asks the window to close, and closing only hides it.
            QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
        }
        return false;
    }

private:
    QElapsedTimer *m_clock;
    const QWidget *m_window;
};

int StartOnce(const Args &a, QElapsedTimer &sinceMain) {
    QTemporaryDir dir;
    // Addresses nobody is asked for during the measurement: the first is minutes away.
    if (!WriteStore(dir, Addresses(9, a.start), 3600))
        return 1;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int argc = 1;
    char name[] = "watch_bench";
    char *argv[] = {name, nullptr};
    QApplication app(argc, argv);
    const qint64 appAt = sinceMain.elapsed();
    QElapsedTimer phase;
    phase.start();
    TfMain_Vennatro window(new PingSession);
    const qint64 builtMs = phase.elapsed();
    if (window.Session->Watched()->Count() != qMin(a.start, int(WatchList::MaxAddresses))) {
        out << "the window holds " << window.Session->Watched()->Count() << " addresses"
            << Qt::endl;
        return 1;
    }
    FirstPaint paint(&sinceMain, &window);
    app.installEventFilter(&paint);
    window.show();
    app.exec();
    out << "shown " << paint.atMs << " built " << builtMs << " app " << appAt << Qt::endl;
    return 0;
}

qint64 Median(QList<qint64> v) {
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? -1 : v.at(v.size() / 2);
}

int StartUp(const Args &a) {
    int argc = 1;
    char name[] = "watch_bench";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    out << "Start of a window with " << a.start << " watched addresses in its store (offscreen, "
        << a.runs << " starts after one unmeasured)" << Qt::endl;
    QList<qint64> outside, shown, built;
    for (int run = 0; run <= a.runs; ++run) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QElapsedTimer clock;
        clock.start();
        child.start(
            QCoreApplication::applicationFilePath(),
            {QStringLiteral("--child"), QStringLiteral("--start"), QString::number(a.start)});
        if (!child.waitForReadyRead(60000)) {
            out << "no answer from the measured start" << Qt::endl;
            return 1;
        }
        const qint64 outsideMs = clock.elapsed();
        child.waitForFinished(60000);
        const QList<QByteArray> words = child.readAll().trimmed().split(' ');
        if (words.size() != 6 || words[0] != "shown") {
            out << "unexpected answer: " << words.join(' ') << Qt::endl;
            return 1;
        }
        out << "  run " << run << ": to first paint " << outsideMs << " ms from the process "
            << "start (" << words[1] << " ms from main), window built in " << words[3] << " ms"
            << (run == 0 ? " (not counted)" : "") << Qt::endl;
        if (run == 0)
            continue;
        outside << outsideMs;
        shown << words[1].toLongLong();
        built << words[3].toLongLong();
    }
    out << "median: " << Median(outside) << " ms to the window shown (" << Median(shown)
        << " ms from main), of which " << Median(built) << " ms building the window" << Qt::endl;
    return 0;
}

int Watch(const Args &a) {
    pid_t server = 0;
    quint16 port = 0;
    if (!StartServer(&server, &port)) {
        out << "cannot start the loopback server: " << strerror(errno) << Qt::endl;
        return 1;
    }
    QTemporaryDir dir;
    const QString watched = Addresses(port, a.addresses);
    if (!a.engine && !WriteStore(dir, watched, a.interval))
        return 1;
    int argc = 1;
    char name[] = "watch_bench";
    char *argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    std::unique_ptr<QCoreApplication> app;
    if (a.engine)
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);

    std::unique_ptr<AlertPolicy> alerts;
    std::unique_ptr<WatchList> own;
    std::unique_ptr<TfMain_Vennatro> window;
    WatchList *list = nullptr;
    if (a.engine) {
        alerts = std::make_unique<AlertPolicy>();
        own = std::make_unique<WatchList>(alerts.get());
        TOptions o = DefaultOptions();
        o.PingAttempts = 1;
        o.ShowNotifications = false;
        o.WatchInterval = quint32(a.interval);
        own->ApplySettings(o, EngineContext{QStringLiteral("Vennatro/1.0.1 (bench)"),
                                            QStringLiteral("bench"), QString()});
        if (a.interval < 10)
            own->SetIntervalMs(a.interval * 1000);
        own->Load(watched);
        list = own.get();
    } else {
        window = std::make_unique<TfMain_Vennatro>(new PingSession);
        list = window->Session->Watched();
        if (a.interval < 10)
            list->SetIntervalMs(a.interval * 1000);
        window->show();
        if (a.fullLog) {
            // Entries like a watched ping's, as many as the pane keeps: the state the pane
            // reaches after minutes of pings, from the start.
            for (qsizetype i = 0; i < LogBound::DefaultEntries; ++i)
                window->AddToLog(QString::asprintf(Fmt::CompletedEntry, "08/12/2026 08:00:00",
                                                   "127.0.0.1", int(port), 0.001));
        }
        if (a.dock) {
            auto *toggle = window->findChild<QAction *>(QStringLiteral("actWatched"));
            if (toggle)
                toggle->trigger();
        }
    }
    int completed = 0;
    int failed = 0;
    QObject::connect(list, &WatchList::finished, [&](const PingResult &r) {
        (r.outcome == PingOutcomeKind::Completed ? completed : failed) += 1;
    });

    out << "Watching " << list->Count() << " addresses every " << a.interval << " s for "
        << a.minutes << " min, "
        << (a.engine ? "the watch list alone"
            : a.dock ? "the window, dock shown"
                     : "the window")
        << " (offscreen)" << Qt::endl;
    // The first round (one interval) is start-up; the measurement begins after it.
    const qint64 warmMs = qint64(a.interval) * 1000;
    const qint64 measureMs = qint64(a.minutes * 60000);
    double cpu0 = 0;
    long rss0 = 0;
    QElapsedTimer wall;
    int completed0 = 0;
    QTimer::singleShot(warmMs, [&] {
        cpu0 = CpuSeconds();
        rss0 = RssKiB();
        completed0 = completed;
        wall.start();
        out << "  start: RSS " << rss0 << " KiB, " << completed << " pings done" << Qt::endl;
    });
    QTimer minute;
    minute.setInterval(60000);
    QObject::connect(&minute, &QTimer::timeout, [&] {
        const double cpu = CpuSeconds() - cpu0;
        const qint64 ms = wall.elapsed();
        out << "  " << ms / 1000 << " s: RSS " << RssKiB() << " KiB, CPU "
            << QString::number(100.0 * cpu / (ms / 1000.0), 'f', 2) << "% of a core, "
            << completed - completed0 << " pings" << Qt::endl;
    });
    QTimer::singleShot(warmMs, &minute, qOverload<>(&QTimer::start));
    QTimer::singleShot(warmMs + measureMs, app.get(), [] { QCoreApplication::exit(0); });
    app->exec();

    const double seconds = wall.elapsed() / 1000.0;
    const double cpu = CpuSeconds() - cpu0;
    const long rss1 = RssKiB();
    StopServer(server);
    const int pings = completed - completed0;
    out << "result: " << QString::number(seconds, 'f', 1) << " s wall, "
        << QString::number(cpu, 'f', 2)
        << " s CPU = " << QString::number(100.0 * cpu / seconds, 'f', 2) << "% of one core; "
        << pings << " pings completed (" << QString::number(pings / seconds, 'f', 2)
        << " a second), " << failed << " failed; "
        << QString::number(pings > 0 ? 1e6 * cpu / pings : 0.0, 'f', 0) << " us CPU a ping; RSS "
        << rss0 << " -> " << rss1 << " KiB (" << (rss1 - rss0 >= 0 ? "+" : "") << rss1 - rss0 << ")"
        << Qt::endl;
    return 0;
}

// CPU seconds (user + system) and VmRSS of another process, from /proc.
double ProcessCpuSeconds(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = f.readAll();
    // Fields after the command's closing parenthesis: state is field 3, utime 14, stime 15.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    const double ticks = double(sysconf(_SC_CLK_TCK));
    return fields.size() > 12 ? (fields[11].toDouble() + fields[12].toDouble()) / ticks : -1;
}

long ProcessRssKiB(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

int Serve(const Args &a) {
    pid_t server = 0;
    quint16 port = 0;
    if (!StartServer(&server, &port)) {
        out << "cannot start the loopback server: " << strerror(errno) << Qt::endl;
        return 1;
    }
    QTemporaryDir dir;
    if (!WriteStore(dir, Addresses(port, a.addresses), a.interval))
        return 1;
    int argc = 1;
    char name[] = "watch_bench";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    QProcess service;
    const QString printed = dir.filePath(QStringLiteral("serve.out"));
    service.setStandardOutputFile(printed);
    service.setStandardErrorFile(QProcess::nullDevice());
    service.start(a.serve, {QStringLiteral("--serve")});
    if (!service.waitForStarted()) {
        out << "cannot start " << a.serve << Qt::endl;
        return 1;
    }
    const qint64 pid = service.processId();
    out << "Watching " << a.addresses << " addresses every " << a.interval << " s for " << a.minutes
        << " min, " << a.serve << " --serve" << Qt::endl;
    const auto pings = [&printed] {
        QFile f(printed);
        return f.open(QIODevice::ReadOnly) ? int(f.readAll().count(" completed in ")) : -1;
    };
    const qint64 warmMs = qint64(a.interval) * 1000;
    double cpu0 = 0;
    long rss0 = 0;
    int pings0 = 0;
    QElapsedTimer wall;
    QTimer::singleShot(warmMs, [&] {
        cpu0 = ProcessCpuSeconds(pid);
        rss0 = ProcessRssKiB(pid);
        pings0 = pings();
        wall.start();
        out << "  start: RSS " << rss0 << " KiB, " << pings0 << " pings done" << Qt::endl;
    });
    QTimer minute;
    minute.setInterval(60000);
    QObject::connect(&minute, &QTimer::timeout, [&] {
        const double cpu = ProcessCpuSeconds(pid) - cpu0;
        const qint64 ms = wall.elapsed();
        out << "  " << ms / 1000 << " s: RSS " << ProcessRssKiB(pid) << " KiB, CPU "
            << QString::number(100.0 * cpu / (ms / 1000.0), 'f', 2) << "% of a core" << Qt::endl;
    });
    QTimer::singleShot(warmMs, &minute, qOverload<>(&QTimer::start));
    QTimer::singleShot(warmMs + qint64(a.minutes * 60000), &app, [] { QCoreApplication::exit(0); });
    app.exec();
    const double seconds = wall.elapsed() / 1000.0;
    const double cpu = ProcessCpuSeconds(pid) - cpu0;
    const long rss1 = ProcessRssKiB(pid);
    const int done = pings() - pings0;
    service.terminate();
    service.waitForFinished();
    StopServer(server);
    out << "result: " << QString::number(seconds, 'f', 1) << " s wall, "
        << QString::number(cpu, 'f', 2)
        << " s CPU = " << QString::number(100.0 * cpu / seconds, 'f', 2) << "% of one core; "
        << done << " pings completed; "
        << QString::number(done > 0 ? 1e6 * cpu / done : 0.0, 'f', 0) << " us CPU a ping; RSS "
        << rss0 << " -> " << rss1 << " KiB; exit status " << service.exitCode() << Qt::endl;
    return 0;
}

} // namespace

int main(int argc, char *argv[]) {
    QElapsedTimer sinceMain;
    sinceMain.start();
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const Args a = Parse(args);
    if (a.start >= 0)
        return a.child ? StartOnce(a, sinceMain) : StartUp(a);
    if (!a.serve.isEmpty())
        return Serve(a);
    return Watch(a);
}
