// Does the log cost the same however long it is? Three parts:
//
//   start        a fresh process starts the program's window with "Save log" on and a log file
//                of 1 MB, of 1 GB (--big-mb), and of 1 GB of NUL bytes without a line break;
//                measured from outside: from the process start to the window shown with its
//                pane filled, and the process's private memory (RssAnon) then
//   entries      for each size (1, 10, 100 MB by default) a log file of that size is written,
//                the window created with it, and single AddToLog calls timed:
//                  append      "Save log" on: the entry goes to the end of the file
//                  paint       the event processing right after each of those calls
//                  pane only   "Save log" off: the pane's own cost
//   pane memory  RssAnon while ping entries are added to an empty pane, past its bound
//
// The run fails unless every log file afterwards holds its old bytes followed by exactly the
// entries added, and the pane stays within its bound.
//
//   log_growth [--sizes 1,10,100] [--calls 200] [--starts 5] [--big-mb 1024]
//              [--pane-pings 20000] [--hidden]
//
// Runs offscreen with a private XDG_CONFIG_HOME in a temporary folder (the big files too),
// removed at the end; nothing of the user's is read or written.

#include "app/Main.h"
#include "engine/WatchList.h"
#include "platform/gui/MessageBox.h"
#include "store/Options.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <sys/resource.h>
#include <unistd.h>

namespace {

struct Stats {
    double median = 0, p95 = 0, min = 0, max = 0, mean = 0;
};

Stats Summarise(QList<double> v) {
    Stats s;
    if (v.isEmpty())
        return s;
    std::sort(v.begin(), v.end());
    const qsizetype n = v.size();
    s.median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    s.p95 = v[std::max<qsizetype>(0, qsizetype(std::ceil(0.95 * double(n))) - 1)];
    s.min = v.first();
    s.max = v.last();
    double sum = 0;
    for (double x : v)
        sum += x;
    s.mean = sum / double(n);
    return s;
}

// What a log of pings looks like: success blocks, a failure now and then, a banner per run.
QByteArray Entry(qint64 i) {
    if (i % 500 == 0)
        return QByteArrayLiteral("= = = = = = = = = = = =  Session started at [07/12/2025 "
                                 "20:41:07]  = = = = = = = = = = = = =\r\n\r\n\r\n");
    if (i % 50 == 0)
        return QByteArrayLiteral(
            "|  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |\r\n"
            "[07/12/2025 20:41:07] Error connecting to [127.0.0.1] (port 8080): Connection "
            "refused (10061).\r\n\r\n\r\n");
    return QByteArrayLiteral("* * * * * * * * * * * * * * * * * * * * * * * * *\r\n"
                             "[07/12/2025 20:41:07] Connection to [http://127.0.0.1:8080/] (port "
                             "8080) completed in 0.001 seconds.\r\n\r\n");
}

// A log file of at least bytes bytes: one block of about a megabyte of entries, written again
// and again (a gigabyte in a few seconds).
bool WriteLogOfSize(const QString &path, qint64 bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray block;
    for (qint64 i = 0; block.size() < std::min<qint64>(bytes, 1 << 20); ++i)
        block += Entry(i);
    for (qint64 written = 0; written < bytes; written += block.size())
        if (f.write(block) != block.size())
            return false;
    // On disk, as a log left by an earlier run is: otherwise the first append waits for the
    // write-back of the page it extends.
    return f.flush() && ::fsync(f.handle()) == 0;
}

// A gigabyte of NUL bytes without a line break: a file that was never a log.
bool WriteNulFile(const QString &path, qint64 bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.resize(bytes);
}

bool WriteStore(const QString &configHome, const QString &logPath) {
    const QString folder = configHome + QStringLiteral("/Lumo Dev");
    QDir().mkpath(folder);
    QFile f(folder + QStringLiteral("/Vennatro.reg"));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QString path = logPath;
    path.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), "\\\"");
    const QString text = QStringLiteral("REGEDIT4\r\n\r\n"
                                        "[HKEY_CURRENT_USER\\Software\\Lumo Dev\\Vennatro]\r\n"
                                        "\"Save log\"=dword:00000001\r\n"
                                        "\"Show log\"=dword:00000001\r\n"
                                        "\"Log file\"=\"%1\"\r\n")
                             .arg(path);
    return f.write(text.toUtf8()) > 0;
}

// A value of /proc/self/status in KiB, e.g. "RssAnon".
long StatusKiB(const char *name) {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(name) + ':';
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
    return -1;
}

qint64 FileSize(const QString &path) { return QFileInfo(path).size(); }

QByteArray FileEnd(const QString &path, qint64 bytes) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || !f.seek(std::max<qint64>(0, f.size() - bytes)))
        return QByteArray();
    return f.readAll();
}

// One ping's worth of log: the completion line and the empty entry after it.
const QString PingEntry =
    QStringLiteral("* * * * * * * * * * * * * * * * * * * * * * * * *\r\n[07/12/2025 20:41:07] "
                   "Connection to [http://127.0.0.1:8080/] (port 8080) completed in 0.001 "
                   "seconds.\r\n");

double Ms(const QElapsedTimer &t) { return double(t.nsecsElapsed()) / 1e6; }

// User and system time of the process so far.
double CpuMs() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

void PrintRow(const char *what, int sizeMb, const QList<double> &values) {
    const Stats s = Summarise(values);
    const qsizetype slowest = std::max_element(values.begin(), values.end()) - values.begin();
    std::printf("| %4d MB | %-10s | %5lld | %9.3f | %9.3f | %9.3f (#%lld) | %9.3f |\n", sizeMb,
                what, static_cast<long long>(values.size()), s.median, s.p95, s.max,
                static_cast<long long>(slowest + 1), s.mean);
    std::fflush(stdout);
}

// The pane's bound holds: at most 5,000 entries and 2 MiB of entries.
bool PaneInBound(const TfMain_Vennatro &w) {
    return w.LogPane.Entries() <= LogBound::DefaultEntries &&
           w.LogPane.Bytes() <= LogBound::DefaultBytes;
}

// --start-child: one start as a user's, in this fresh process. Prints one line of figures.
int StartChild(int argc, char **argv) {
    QElapsedTimer sinceMain;
    sinceMain.start();
    QApplication app(argc, argv);
    const bool shown = !app.arguments().contains(QStringLiteral("--hidden"));
    SetMessageBoxHook([](const MessageBoxRequest &r) {
        std::fprintf(stderr, "message box: %s\n", qPrintable(r.text));
        std::exit(1);
    });
    const double cpuBefore = CpuMs();
    QElapsedTimer window;
    window.start();
    Options = TOptions();
    auto w = std::make_unique<TfMain_Vennatro>(new PingSession);
    if (shown)
        w->show();
    QCoreApplication::processEvents();
    const double windowMs = Ms(window);
    const double cpuMs = CpuMs() - cpuBefore;
    const auto *pane = w->findChild<QPlainTextEdit *>(QStringLiteral("mmLog"));
    std::printf("ready main_ms=%.2f window_ms=%.2f window_cpu_ms=%.2f rss_anon_kib=%ld "
                "vmrss_kib=%ld pane_chars=%lld in_bound=%d\n",
                Ms(sinceMain), windowMs, cpuMs, StatusKiB("RssAnon"), StatusKiB("VmRSS"),
                static_cast<long long>(pane ? pane->toPlainText().size() : -1),
                PaneInBound(*w) ? 1 : 0);
    std::fflush(stdout);
    return 0;
}

struct StartFigures {
    QList<double> total, window, cpu, rssAnon, vmRss;
    qint64 paneChars = 0;
    bool ok = true;
};

// Starts this program with --start-child runs times; the store already names the log file.
StartFigures MeasureStarts(const QString &self, int runs, bool shown) {
    StartFigures f;
    for (int i = 0; i < runs && f.ok; ++i) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList args{QStringLiteral("--start-child")};
        if (!shown)
            args << QStringLiteral("--hidden");
        QElapsedTimer t;
        t.start();
        child.start(self, args);
        QByteArray line;
        while (!line.contains('\n') && child.waitForReadyRead(60000))
            line += child.readAllStandardOutput();
        const double total = Ms(t);
        child.waitForFinished(60000);
        if (!line.startsWith("ready ")) {
            std::fprintf(stderr, "the start did not report: %s\n", line.constData());
            f.ok = false;
            break;
        }
        QMap<QByteArray, QByteArray> v;
        for (const QByteArray &kv : line.trimmed().split(' ')) {
            const qsizetype eq = kv.indexOf('=');
            if (eq > 0)
                v[kv.left(eq)] = kv.mid(eq + 1);
        }
        f.total << total;
        f.window << v.value("window_ms").toDouble();
        f.cpu << v.value("window_cpu_ms").toDouble();
        f.rssAnon << v.value("rss_anon_kib").toDouble() / 1024.0;
        f.vmRss << v.value("vmrss_kib").toDouble() / 1024.0;
        f.paneChars = v.value("pane_chars").toLongLong();
        if (v.value("in_bound") != "1") {
            std::fprintf(stderr, "the pane is beyond its bound after the start\n");
            f.ok = false;
        }
    }
    return f;
}

QString Range(const QList<double> &values, int decimals) {
    const Stats s = Summarise(values);
    return QStringLiteral("%1 [%2, %3]")
        .arg(s.median, 0, 'f', decimals)
        .arg(s.min, 0, 'f', decimals)
        .arg(s.max, 0, 'f', decimals);
}

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]) == "--start-child")
            return StartChild(argc, argv);

    QTemporaryDir home;
    const QString configHome = home.filePath(QStringLiteral("config"));
    const QString runtime = home.filePath(QStringLiteral("runtime"));
    QDir().mkpath(configHome);
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_CONFIG_HOME", configHome.toUtf8());
    qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
    QApplication app(argc, argv);

    QList<int> sizes = {1, 10, 100};
    int calls = 200;
    int starts = 5;
    int bigMb = 1024;
    int panePings = 20000;
    bool shown = true;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString next = i + 1 < args.size() ? args[i + 1] : QString();
        if (args[i] == QLatin1String("--sizes")) {
            sizes.clear();
            for (const QString &s : next.split(QLatin1Char(','), Qt::SkipEmptyParts))
                sizes << s.toInt();
            ++i;
        } else if (args[i] == QLatin1String("--calls")) {
            calls = next.toInt();
            ++i;
        } else if (args[i] == QLatin1String("--starts")) {
            starts = next.toInt();
            ++i;
        } else if (args[i] == QLatin1String("--big-mb")) {
            bigMb = next.toInt();
            ++i;
        } else if (args[i] == QLatin1String("--pane-pings")) {
            panePings = next.toInt();
            ++i;
        } else if (args[i] == QLatin1String("--hidden")) {
            shown = false;
        } else {
            std::fprintf(stderr, "unknown argument %s\n", qPrintable(args[i]));
            return 2;
        }
    }

    // A message box would wait for a click nobody gives: report it and stop.
    SetMessageBoxHook([](const MessageBoxRequest &r) {
        std::fprintf(stderr, "message box: %s\n", qPrintable(r.text));
        std::exit(1);
    });

    std::printf("Window %s\n\n", shown ? "shown (offscreen)" : "hidden");

    // ---- start ----
    if (starts > 0) {
        std::printf("Start in a fresh process, %d runs each: median [min, max]\n\n", starts);
        std::printf("| log file | written in (s) | process start to window (ms) | window "
                    "creation (ms) | its CPU (ms) | RssAnon (MiB) | VmRSS (MiB) | pane (chars) "
                    "|\n");
        std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
        std::fflush(stdout);
        struct Case {
            QString name;
            qint64 bytes;
            bool nul;
        };
        const QList<Case> cases{
            {QStringLiteral("1 MB"), qint64(1) << 20, false},
            {QStringLiteral("%1 MB").arg(bigMb), qint64(bigMb) << 20, false},
            {QStringLiteral("%1 MB of NUL, no line break").arg(bigMb), qint64(bigMb) << 20, true}};
        for (const Case &c : cases) {
            const QString logPath = home.filePath(QStringLiteral("start-log.txt"));
            QElapsedTimer written;
            written.start();
            const bool made =
                c.nul ? WriteNulFile(logPath, c.bytes) : WriteLogOfSize(logPath, c.bytes);
            const double writtenS = Ms(written) / 1000.0;
            const qint64 before = FileSize(logPath);
            if (!made || !WriteStore(configHome, logPath)) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(logPath));
                return 1;
            }
            const StartFigures f = MeasureStarts(app.applicationFilePath(), starts, shown);
            // Each start only added its banner at the end.
            const qint64 grown = FileSize(logPath) - before;
            const bool grewByBanners = grown > 0 && grown < starts * 200 + 2;
            QFile::remove(logPath);
            if (!f.ok || !grewByBanners) {
                std::fprintf(stderr, "%s: the start failed or the log file changed otherwise\n",
                             qPrintable(c.name));
                return 1;
            }
            std::printf("| %s | %.1f | %s | %s | %s | %s | %s | %lld |\n", qPrintable(c.name),
                        writtenS, qPrintable(Range(f.total, 0)), qPrintable(Range(f.window, 1)),
                        qPrintable(Range(f.cpu, 0)), qPrintable(Range(f.rssAnon, 1)),
                        qPrintable(Range(f.vmRss, 1)), static_cast<long long>(f.paneChars));
            std::fflush(stdout);
        }
        std::printf("\n");
    }

    // ---- entries ----
    if (!sizes.isEmpty()) {
        std::printf("Times in ms per AddToLog call (one ping's completion line)\n\n");
        std::printf("| log     | what       | calls |    median |       p95 | max (call #)     "
                    "|      mean |\n");
        std::printf("|---------|------------|-------|-----------|-----------|------------------|"
                    "-----------|\n");
    }
    QList<QString> notes;
    for (const int sizeMb : sizes) {
        const QString logPath = home.filePath(QStringLiteral("log-%1MB.txt").arg(sizeMb));
        if (!WriteLogOfSize(logPath, qint64(sizeMb) << 20) || !WriteStore(configHome, logPath)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(logPath));
            return 1;
        }
        const long rssBefore = StatusKiB("RssAnon");
        Options = TOptions();
        QElapsedTimer open;
        open.start();
        const double cpuBefore = CpuMs();
        auto w = std::make_unique<TfMain_Vennatro>(new PingSession);
        if (shown)
            w->show();
        QCoreApplication::processEvents();
        const double openMs = Ms(open);
        const double openCpuMs = CpuMs() - cpuBefore;
        if (!Options.SaveLog || Options.LogFile != logPath) {
            std::fprintf(stderr, "the store was not read\n");
            return 1;
        }
        const qint64 sizeAtStart = FileSize(logPath); // the old log and this run's banner

        QList<double> append, paint, paneOnly;
        QElapsedTimer t;
        for (int i = 0; i < calls; ++i) {
            t.start();
            w->AddToLog(PingEntry);
            append << Ms(t);
            t.start();
            QCoreApplication::processEvents();
            paint << Ms(t);
        }
        // The file: what it held at start, then exactly the entries.
        const QByteArray one = PingEntry.toUtf8() + "\r\n";
        QByteArray added;
        for (int i = 0; i < calls; ++i)
            added += one;
        const bool appended = FileSize(logPath) == sizeAtStart + added.size() &&
                              FileEnd(logPath, added.size()) == added;

        Options.SaveLog = false;
        for (int i = 0; i < calls; ++i) {
            t.start();
            w->AddToLog(PingEntry);
            paneOnly << Ms(t);
            QCoreApplication::processEvents();
        }
        Options.SaveLog = true;
        const bool inBound = PaneInBound(*w);

        PrintRow("append", sizeMb, append);
        PrintRow("paint", sizeMb, paint);
        PrintRow("pane only", sizeMb, paneOnly);
        notes << QStringLiteral(
                     "%1 MB: start with the log's end loaded and shown %2 ms (CPU %3 ms); "
                     "RssAnon %4 MiB (+%5 MiB); the entries appended to the file: %6; pane "
                     "within its bound: %7 (%8 entries, %9 bytes)")
                     .arg(sizeMb)
                     .arg(openMs, 0, 'f', 0)
                     .arg(openCpuMs, 0, 'f', 0)
                     .arg(double(StatusKiB("RssAnon")) / 1024.0, 0, 'f', 1)
                     .arg(double(StatusKiB("RssAnon") - rssBefore) / 1024.0, 0, 'f', 1)
                     .arg(appended ? QStringLiteral("yes") : QStringLiteral("NO"))
                     .arg(inBound ? QStringLiteral("yes") : QStringLiteral("NO"))
                     .arg(w->LogPane.Entries())
                     .arg(w->LogPane.Bytes());
        w.reset();
        QFile::remove(logPath);
        if (!appended || !inBound) {
            for (const QString &n : notes)
                std::printf("\n%s", qPrintable(n));
            std::printf("\n");
            std::fprintf(stderr, "the log file or the pane is not as it should be\n");
            return 1;
        }
    }
    if (!sizes.isEmpty()) {
        std::printf("\n");
        for (const QString &n : notes)
            std::printf("%s\n", qPrintable(n));
        std::printf("\n");
    }

    // ---- pane memory ----
    if (panePings > 0) {
        Options = TOptions();
        auto w = std::make_unique<TfMain_Vennatro>(new PingSession);
        Options.SaveLog = false;
        if (shown)
            w->show();
        for (int i = 0; i < 50; ++i)
            QCoreApplication::processEvents();
        std::printf("Pane memory: ping entries (completion line and empty entry) added to an "
                    "empty pane, \"Save log\" off\n\n");
        std::printf("| pings | pane entries | RssAnon (MiB) |\n|---:|---:|---:|\n");
        std::printf("| 0 | %lld | %.1f |\n", static_cast<long long>(w->LogPane.Entries()),
                    double(StatusKiB("RssAnon")) / 1024.0);
        const int steps = 8;
        for (int step = 1; step <= steps; ++step) {
            for (int i = 0; i < panePings / steps; ++i) {
                w->AddToLog(PingEntry);
                w->AddToLog(QString());
                QCoreApplication::processEvents();
            }
            std::printf("| %d | %lld | %.1f |\n", step * (panePings / steps),
                        static_cast<long long>(w->LogPane.Entries()),
                        double(StatusKiB("RssAnon")) / 1024.0);
            std::fflush(stdout);
        }
        if (!PaneInBound(*w)) {
            std::fprintf(stderr, "the pane is beyond its bound\n");
            return 1;
        }
    }
    return 0;
}
