// What does one log entry cost once the log is big? For each size (1, 10, 100 MB by default) a
// log file of that size is written first and the main window is created with "Save log" on, so
// it loads the file into the pane the way a long-running user's start does. Then single
// AddToLog calls are timed:
//
//   append       "Save log" on, the file in step with the pane: the entry is appended
//   paint        the event processing right after each of those calls (the pane's repaint)
//   pane only    "Save log" off: the pane's own cost
//   rewrite      "Save log" on, Forget() before each call: the whole file is written again,
//                as a program that rewrote the file on every entry would do
//
// At the end of each size the file must equal the pane's text, or the run fails.
//
// First, before any big log, the resident memory one ping's entries cost in the pane: N pairs
// of entries (the completion line and the empty entry after it) added to an empty pane.
//
//   log_growth [--sizes 1,10,100] [--calls 200] [--rewrite-calls 20] [--pane-pings 5000]
//              [--hidden]
//
// Runs offscreen with a private XDG_CONFIG_HOME; nothing of the user's is read or written.

#include "app/Main.h"
#include "engine/Options.h"
#include "platform/MessageBox.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

namespace {

struct Stats {
    double median = 0, p95 = 0, max = 0, mean = 0;
};

Stats Summarise(QList<double> v) {
    Stats s;
    if (v.isEmpty())
        return s;
    std::sort(v.begin(), v.end());
    const qsizetype n = v.size();
    s.median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    s.p95 = v[std::max<qsizetype>(0, qsizetype(std::ceil(0.95 * double(n))) - 1)];
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

bool WriteLogOfSize(const QString &path, qint64 bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray chunk;
    qint64 written = 0;
    for (qint64 i = 0; written < bytes; ++i) {
        chunk += Entry(i);
        if (chunk.size() > (1 << 20) || written + chunk.size() >= bytes) {
            if (f.write(chunk) != chunk.size())
                return false;
            written += chunk.size();
            chunk.clear();
        }
    }
    // On disk, as a log left by an earlier run is: otherwise the first append waits for the
    // write-back of the page it extends.
    return f.flush() && ::fsync(f.handle()) == 0;
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

long RssKiB() {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

QByteArray FileBytes(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
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

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
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
    int rewriteCalls = 20;
    int panePings = 5000;
    bool shown = true;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString next = i + 1 < args.size() ? args[i + 1] : QString();
        if (args[i] == QLatin1String("--sizes")) {
            sizes.clear();
            for (const QString &s : next.split(QLatin1Char(',')))
                sizes << s.toInt();
            ++i;
        } else if (args[i] == QLatin1String("--calls")) {
            calls = next.toInt();
            ++i;
        } else if (args[i] == QLatin1String("--rewrite-calls")) {
            rewriteCalls = next.toInt();
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
    if (panePings > 0) {
        Options = TOptions();
        auto w = std::make_unique<TfMain_Vennatro>();
        Options.SaveLog = false;
        if (shown)
            w->show();
        for (int i = 0; i < 50; ++i)
            QCoreApplication::processEvents();
        const long before = RssKiB();
        const qsizetype textBefore = w->LogText().toUtf8().size();
        for (int i = 0; i < panePings; ++i) {
            w->AddToLog(PingEntry);
            w->AddToLog(QString());
            QCoreApplication::processEvents();
        }
        const double grown = double(RssKiB() - before);
        const double bytes = double(w->LogText().toUtf8().size() - textBefore);
        std::printf("Pane memory: %d pings' entries (%.0f KiB of log text) add %.1f MiB resident "
                    "memory: %.2f KiB a ping, %.1f bytes a byte of log\n\n",
                    panePings, bytes / 1024.0, grown / 1024.0, grown / panePings,
                    grown * 1024.0 / bytes);
    }
    std::printf("Times in ms per AddToLog call (one ping's completion line)\n\n");
    std::printf("| log     | what       | calls |    median |       p95 | max (call #)     |      "
                "mean |\n");
    std::printf("|---------|------------|-------|-----------|-----------|------------------|------"
                "-----|\n");
    QList<QString> notes;
    for (const int sizeMb : sizes) {
        const QString logPath = home.filePath(QStringLiteral("log-%1MB.txt").arg(sizeMb));
        if (!WriteLogOfSize(logPath, qint64(sizeMb) << 20) || !WriteStore(configHome, logPath)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(logPath));
            return 1;
        }
        const long rssBefore = RssKiB();
        Options = TOptions();
        QElapsedTimer open;
        open.start();
        const double cpuBefore = CpuMs();
        auto w = std::make_unique<TfMain_Vennatro>();
        if (shown)
            w->show();
        QCoreApplication::processEvents();
        const double openMs = Ms(open);
        // The CPU time as well: on a shared machine the wall time also holds other programs'.
        const double openCpuMs = CpuMs() - cpuBefore;
        if (!Options.SaveLog || Options.LogFile != logPath) {
            std::fprintf(stderr, "the store was not read\n");
            return 1;
        }

        QList<double> append, paint, paneOnly, rewrite;
        QElapsedTimer t;
        for (int i = 0; i < calls; ++i) {
            t.start();
            w->AddToLog(PingEntry);
            append << Ms(t);
            t.start();
            QCoreApplication::processEvents();
            paint << Ms(t);
        }
        const bool appendedInStep = FileBytes(logPath) == w->LogText().toUtf8();

        Options.SaveLog = false;
        for (int i = 0; i < calls; ++i) {
            t.start();
            w->AddToLog(PingEntry);
            paneOnly << Ms(t);
            QCoreApplication::processEvents();
        }
        Options.SaveLog = true;

        for (int i = 0; i < rewriteCalls; ++i) {
            w->Log.Forget();
            t.start();
            w->AddToLog(PingEntry);
            rewrite << Ms(t);
            QCoreApplication::processEvents();
        }
        const QByteArray pane = w->LogText().toUtf8();
        const bool inStep = FileBytes(logPath) == pane;

        PrintRow("append", sizeMb, append);
        PrintRow("paint", sizeMb, paint);
        PrintRow("pane only", sizeMb, paneOnly);
        PrintRow("rewrite", sizeMb, rewrite);
        notes << QStringLiteral(
                     "%1 MB: start with the log loaded and shown %2 ms (CPU %8 ms); resident "
                     "memory %3 MiB (+%4 MiB); file equals pane after the appends: %5, at "
                     "the end: %6 (%7 bytes)")
                     .arg(sizeMb)
                     .arg(openMs, 0, 'f', 0)
                     .arg(double(RssKiB()) / 1024.0, 0, 'f', 0)
                     .arg(double(RssKiB() - rssBefore) / 1024.0, 0, 'f', 0)
                     .arg(appendedInStep ? QStringLiteral("yes") : QStringLiteral("NO"))
                     .arg(inStep ? QStringLiteral("yes") : QStringLiteral("NO"))
                     .arg(pane.size())
                     .arg(openCpuMs, 0, 'f', 0);
        w.reset();
        QFile::remove(logPath);
        if (!appendedInStep || !inStep) {
            for (const QString &n : notes)
                std::printf("\n%s", qPrintable(n));
            std::printf("\n");
            std::fprintf(stderr, "the log file does not equal the pane\n");
            return 1;
        }
    }
    std::printf("\n");
    for (const QString &n : notes)
        std::printf("%s\n", qPrintable(n));
    return 0;
}
