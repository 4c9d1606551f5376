#include "cli/PingCommand.h"

#include "Version.h"
#include "cli/ServeCommand.h"
#include "engine/AcceptedStatus.h"
#include "engine/MetricsPublisher.h"
#include "engine/PingEngine.h"
#include "engine/PingSession.h"
#include "engine/PingTarget.h"
#include "platform/QuitOnSignal.h"
#include "platform/Resolver.h"
#include "platform/SystemInfo.h"
#include "store/SettingsTable.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <limits>

namespace {

constexpr int UsageStatus = 2;

// A whole number in [min, max] written with digits only.
std::optional<qint64> Number(const QString &text, qint64 min, qint64 max) {
    if (text.isEmpty() || text.size() > 12)
        return std::nullopt;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    }
    const qint64 value = text.toLongLong();
    if (value < min || value > max)
        return std::nullopt;
    return value;
}

bool HasControl(const QString &text) {
    for (QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    return false;
}

QString ToLf(QString text) {
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

QString ProgramVersion() { return CutBeforeLastDot(QStringLiteral(VENNATRO_FILE_VERSION)); }

// A finished ping for scripts: one JSON object on one line, its time in ISO 8601 UTC.
QString JsonLine(const PingResult &result) {
    QJsonObject o;
    o[QStringLiteral("address")] = AddressWithoutPassword(result.address);
    o[QStringLiteral("time")] = result.finishedAt.toUTC().toString(Qt::ISODateWithMs);
    o[QStringLiteral("outcome")] = OutcomeName(result.outcome);
    o[QStringLiteral("duration_seconds")] =
        result.seconds >= 0 ? QJsonValue(result.seconds) : QJsonValue();
    o[QStringLiteral("code")] = result.errorCode;
    o[QStringLiteral("text")] = result.errorText;
    o[QStringLiteral("http_status")] = result.httpStatus;
    if (result.outcome == PingOutcomeKind::NotChecked)
        o[QStringLiteral("reason")] = result.notChecked == NotCheckedReason::Asleep
                                          ? QStringLiteral("asleep")
                                          : QStringLiteral("no_network");
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) + QLatin1Char('\n');
}

// With several URLs every time-stamped line says which one it belongs to: a failure line
// names only the host, and two paths on one server would print the same line.
QString NamedLines(const QString &text, const QString &url) {
    const QString named = QLatin1Char('[') + url + QLatin1Char(']');
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString &line : lines) {
        if (line.startsWith(QLatin1Char('[')) && !line.contains(named))
            line = url + QStringLiteral(": ") + line;
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace

EngineContext HeadlessContext(const TOptions &options) {
    const QString computer = ComputerNetworkName();
    return EngineContext{BuildUserAgent(ProgramVersion(), QString(), CurrentOsVersion(),
                                        options.ComputerNameInUserAgent, computer),
                         computer,
                         QLatin1String(ApplicationTitle) + QLatin1Char(' ') + ProgramVersion()};
}

bool IsCommandLine(const QStringList &arguments) {
    // Qt's own options for a window's application: those that take a value, and the flags.
    static const QStringList withValue = {
        QStringLiteral("platform"),        QStringLiteral("platformpluginpath"),
        QStringLiteral("platformtheme"),   QStringLiteral("plugin"),
        QStringLiteral("qwindowgeometry"), QStringLiteral("qwindowicon"),
        QStringLiteral("qwindowtitle"),    QStringLiteral("session"),
        QStringLiteral("display"),         QStringLiteral("geometry"),
        QStringLiteral("style"),           QStringLiteral("stylesheet"),
        QStringLiteral("qmljsdebugger")};
    static const QStringList flags = {QStringLiteral("reverse"), QStringLiteral("widgetcount"),
                                      QStringLiteral("nograb"), QStringLiteral("dograb"),
                                      QStringLiteral("sync")};
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (i == 0 && argument.compare(QLatin1String("-quiet"), Qt::CaseInsensitive) == 0)
            continue;
        if (!argument.startsWith(QLatin1Char('-')) || argument.startsWith(QLatin1String("---")))
            return true;
        const QString option = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
        const qsizetype eq = option.indexOf(QLatin1Char('='));
        const QString name = eq < 0 ? option : option.left(eq);
        if (flags.contains(name) && eq < 0)
            continue;
        if (!withValue.contains(name))
            return true;
        if (eq < 0 && ++i >= arguments.size())
            return true; // Qt's option without its value
    }
    return false;
}

QString PingCommandUsage() {
    return QStringLiteral(
        "Usage: vennatro --ping URL [URL...] [options]\n"
        "       vennatro --serve\n"
        "Pings each URL (http:// or https://) the way the window does and prints the log.\n"
        "--serve runs the monitor of the settings without a window: the watched addresses, the\n"
        "automatic ping, the history, the metrics and the alerts, until SIGTERM or SIGINT\n"
        "(SIGHUP reads the settings again).\n"
        "\n"
        "  --count N            pings of each URL (default 1)\n"
        "  --interval SECONDS   pause between two pings of a URL, 1-86400 (default 1)\n"
        "  --attempts N         attempts a ping may take, 1-100 (default: the settings)\n"
        "  --timeout SECONDS    time an attempt may take, 1-3600 (default: the settings)\n"
        "  --http-port N        port of http:// URLs without a port of their own\n"
        "  --https-port N       port of https:// URLs without a port of their own\n"
        "  --tls                https:// URLs: a TLS handshake with the certificate checked,\n"
        "                       then the request (default: the settings; else a connect)\n"
        "  --accept-status LIST status codes that complete a ping, such as 200-399 or\n"
        "                       200,204,301-308; others fail it (default: the settings)\n"
        "  --slow-above MS      a ping slower than MS milliseconds is slow, 0-3600000\n"
        "                       (default: the settings; 0: never)\n"
        "  --metrics-file PATH  write Prometheus metrics to PATH after each ping\n"
        "  --json               one JSON object a line per finished ping instead of the log\n"
        "  --help               this text\n"
        "  --version            the program's version\n"
        "\n"
        "Exit status: 0 every ping completed, 1 a ping failed, 2 a usage error, 3 no ping\n"
        "failed but some could not be checked (this computer had no network, or slept).\n");
}

std::optional<PingCommandRequest> ParsePingCommand(const QStringList &arguments, QString *error) {
    PingCommandRequest request;
    bool pingGiven = false;
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return std::nullopt;
    };
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString option = arguments.at(i);
        QString value;
        bool inlineValue = false;
        const qsizetype eq = option.indexOf(QLatin1Char('='));
        if (option.startsWith(QLatin1String("--")) && eq > 2) {
            value = option.mid(eq + 1);
            option = option.left(eq);
            inlineValue = true;
        }
        const auto takeValue = [&]() -> std::optional<QString> {
            if (inlineValue)
                return value;
            if (i + 1 >= arguments.size())
                return std::nullopt;
            return arguments.at(++i);
        };
        const auto numberOption = [&](qint64 min, qint64 max) -> std::optional<qint64> {
            const std::optional<QString> text = takeValue();
            if (!text) {
                fail(QStringLiteral("%1 needs a value").arg(option));
                return std::nullopt;
            }
            const std::optional<qint64> n = Number(*text, min, max);
            if (!n)
                fail(QStringLiteral("%1 takes a whole number from %2 to %3, not \"%4\"")
                         .arg(option)
                         .arg(min)
                         .arg(max)
                         .arg(*text));
            return n;
        };
        // The settings table's range: what the store may hold, the command line takes.
        const auto settingOption = [&](const char *setting) {
            const SettingRange range = RangeOf(setting);
            return numberOption(range.min, range.max);
        };

        if (option.compare(QLatin1String("-quiet"), Qt::CaseInsensitive) == 0) {
            return fail(QStringLiteral("-quiet starts the window hidden and takes no other "
                                       "argument"));
        } else if (option == QLatin1String("--help") || option == QLatin1String("-h")) {
            request.help = true;
        } else if (option == QLatin1String("--version")) {
            request.version = true;
        } else if (option == QLatin1String("--json")) {
            request.json = true;
        } else if (option == QLatin1String("--serve")) {
            request.serve = true;
        } else if (option == QLatin1String("--ping")) {
            pingGiven = true;
            if (inlineValue)
                request.urls << value;
            while (i + 1 < arguments.size() && !arguments.at(i + 1).startsWith(QLatin1String("--")))
                request.urls << arguments.at(++i);
        } else if (option == QLatin1String("--count")) {
            const auto n = numberOption(1, 1000000);
            if (!n)
                return std::nullopt;
            request.count = int(*n);
        } else if (option == QLatin1String("--interval")) {
            const auto n = numberOption(1, 86400);
            if (!n)
                return std::nullopt;
            request.intervalSeconds = int(*n);
        } else if (option == QLatin1String("--attempts")) {
            const auto n = settingOption(OptionNames::PingAttempts);
            if (!n)
                return std::nullopt;
            request.attempts = quint32(*n);
        } else if (option == QLatin1String("--timeout")) {
            const auto n = settingOption(OptionNames::PingTimeout);
            if (!n)
                return std::nullopt;
            request.timeoutSeconds = quint32(*n);
        } else if (option == QLatin1String("--http-port")) {
            const auto n = settingOption(OptionNames::HTTPPort);
            if (!n)
                return std::nullopt;
            request.httpPort = int(*n);
        } else if (option == QLatin1String("--https-port")) {
            const auto n = settingOption(OptionNames::HTTPSPort);
            if (!n)
                return std::nullopt;
            request.httpsPort = int(*n);
        } else if (option == QLatin1String("--tls")) {
            if (inlineValue)
                return fail(QStringLiteral("--tls takes no value"));
            request.tls = true;
        } else if (option == QLatin1String("--accept-status")) {
            const std::optional<QString> list = takeValue();
            if (!list)
                return fail(QStringLiteral("--accept-status needs a value"));
            if (!AcceptedStatus::Parse(*list))
                return fail(QStringLiteral("--accept-status takes status codes from 100 to 599 "
                                           "and ranges such as 200-399 or 200,204,301-308, "
                                           "not \"%1\"")
                                .arg(*list));
            request.acceptedStatus = list->trimmed();
        } else if (option == QLatin1String("--slow-above")) {
            const auto n = settingOption(OptionNames::SlowAbove);
            if (!n)
                return std::nullopt;
            request.slowAboveMs = quint32(*n);
        } else if (option == QLatin1String("--metrics-file")) {
            const std::optional<QString> path = takeValue();
            if (!path || path->isEmpty())
                return fail(QStringLiteral("--metrics-file needs a path"));
            request.metricsFile = *path;
        } else {
            return fail(QStringLiteral("unknown option \"%1\"").arg(arguments.at(i)));
        }
    }
    if (request.help || request.version)
        return request;
    if (request.serve) {
        // The service pings what the settings say; ping options would mean nothing there.
        if (arguments.size() > 1)
            return fail(QStringLiteral("--serve takes no other option"));
        return request;
    }
    if (!pingGiven || request.urls.isEmpty())
        return fail(QStringLiteral("no URL given (vennatro --ping URL)"));
    for (const QString &url : request.urls) {
        if (HasControl(url))
            return fail(QStringLiteral("the URL \"%1\" contains control characters")
                            .arg(ToLf(url).replace(QLatin1Char('\n'), QLatin1Char(' '))));
        const NormalisedAddress target = NormaliseAddress(url);
        if (!target.accepted)
            return fail(QStringLiteral("%1: %2").arg(
                url, QLatin1String(target.badPort ? InvalidPortText : SchemeRejectedText)));
        // "" or a bare scheme would ping a host of no name and record "http:///".
        if (target.host.isEmpty())
            return fail(QStringLiteral("\"%1\": No address specified.").arg(url));
    }
    // Checked before any ping: a run of pings whose metrics cannot be kept is a usage error.
    if (!request.metricsFile.isEmpty() && !QFileInfo(request.metricsFile).absoluteDir().exists())
        return fail(QStringLiteral("--metrics-file: the folder of \"%1\" does not exist")
                        .arg(request.metricsFile));
    return request;
}

struct PingCommand::Target {
    PingEngine *engine = nullptr;
    NormalisedAddress address;
    int remaining = 0;
    QTimer next;
};

PingCommand::PingCommand(const PingCommandRequest &request, const TOptions &settings, FILE *out,
                         FILE *err, QObject *parent)
    : QObject(parent), m_request(request), m_out(out), m_err(err) {
    TOptions options = settings;
    if (request.attempts)
        options.PingAttempts = *request.attempts;
    if (request.timeoutSeconds)
        options.PingTimeout = *request.timeoutSeconds;
    if (request.httpPort)
        options.HTTPPort = *request.httpPort;
    if (request.httpsPort)
        options.HTTPSPort = *request.httpsPort;
    if (request.tls)
        options.CheckTLS = true;
    if (request.acceptedStatus)
        options.AcceptedHTTPStatus = *request.acceptedStatus;
    if (request.slowAboveMs)
        options.SlowAbove = *request.slowAboveMs;
    // No alerts from the command line: no e-mail, no error ping, no balloons; its metrics go
    // to the file asked for only.
    options.SendEmailOnError = false;
    options.PingOnError = false;
    options.ShowNotifications = false;
    options.MetricsPort = 0;
    options.MetricsFile = request.metricsFile;

    m_session = new PingSession(PingSession::Face::CommandLine, this);
    m_session->ApplySettings(options, HeadlessContext(options));
    connect(m_session, &PingSession::problem, this, [this](const QString &text) {
        fprintf(m_err, "vennatro: %s\n", qPrintable(text));
        fflush(m_err);
    });
    m_session->Open();
    for (const QString &url : request.urls) {
        auto target = std::make_unique<Target>();
        target->engine = m_session->AddEngine();
        target->address = NormaliseAddress(url);
        target->remaining = request.count;
        target->next.setSingleShot(true);
        target->next.setTimerType(Qt::PreciseTimer); // an interval is never shorter than asked
        target->next.setInterval(request.intervalSeconds * 1000);
        Target *t = target.get();
        connect(&t->next, &QTimer::timeout, this, [this, t] { StartNext(*t); });
        if (request.json) {
            connect(t->engine, &PingEngine::finished, this,
                    [this](const PingResult &result) { Print(JsonLine(result)); });
        } else {
            const bool several = request.urls.size() > 1;
            connect(t->engine, &PingEngine::logText, this, [this, t, several](const QString &e) {
                // A password in the address stays off the terminal, and out of what a script
                // keeps of it.
                const QString address = t->address.boxText;
                const QString shown = AddressWithoutPassword(address);
                QString text = ToLf(e).replace(address, shown);
                Print((several ? NamedLines(text, shown) : text) + QLatin1Char('\n'));
            });
        }
        connect(t->engine, &PingEngine::finished, this,
                [this, t](const PingResult &result) { Finished(*t, result); });
        m_session->Metrics()->Registry()->AddTarget(t->address.boxText);
        m_targets.push_back(std::move(target));
    }
}

PingCommand::~PingCommand() = default;

void PingCommand::SetResolver(Resolver *resolver) { m_session->SetResolver(resolver); }

void PingCommand::Start() {
    m_running = int(m_targets.size());
    for (auto &target : m_targets)
        StartNext(*target);
}

void PingCommand::StartNext(Target &target) {
    if (m_ended)
        return;
    --target.remaining;
    target.engine->SetTarget(target.address);
    target.engine->Ping();
}

void PingCommand::Finished(Target &target, const PingResult &result) {
    if (result.outcome == PingOutcomeKind::NotChecked)
        m_notChecked = true;
    else if (result.outcome != PingOutcomeKind::Completed)
        m_failed = true;
    if (target.remaining > 0) {
        target.next.start();
        return;
    }
    if (--m_running == 0 && !m_ended) {
        m_ended = true;
        emit done(ExitStatus());
    }
}

void PingCommand::Abort() {
    m_failed = true;
    m_ended = true;
    for (auto &target : m_targets) {
        target->next.stop();
        if (target->engine->Busy())
            target->engine->Cancel();
    }
}

void PingCommand::Print(const QString &text) {
    const QByteArray bytes = text.toUtf8();
    fwrite(bytes.constData(), 1, size_t(bytes.size()), m_out);
    fflush(m_out);
}

int RunCommandLine(const QStringList &arguments, FILE *out, FILE *err, Resolver *resolver) {
    QString error;
    const std::optional<PingCommandRequest> request = ParsePingCommand(arguments, &error);
    if (!request) {
        fprintf(err, "vennatro: %s\nTry \"vennatro --help\".\n", qPrintable(error));
        return UsageStatus;
    }
    if (request->help) {
        fputs(qPrintable(PingCommandUsage()), out);
        return 0;
    }
    if (request->version) {
        fprintf(out, "Vennatro %s\n", VENNATRO_FILE_VERSION);
        return 0;
    }
    if (request->serve)
        return RunService(out, err);
    QString problem;
    const TOptions settings = ReadOptionsReadOnly(&problem);
    if (!problem.isEmpty())
        fprintf(err, "vennatro: %s; using the default settings.\n",
                qPrintable(problem.endsWith(QLatin1Char('.')) ? problem.chopped(1) : problem));
    fflush(err);

    PingCommand command(*request, settings, out, err);
    if (resolver)
        command.SetResolver(resolver);
    int status = -1;
    QObject::connect(&command, &PingCommand::done, &command, [&status](int s) {
        status = s;
        QCoreApplication::exit(s);
    });
    // Ctrl+C, SIGTERM: the loop ends at once; the pings under way count as failed.
    QuitOnSignal quit;
    QTimer::singleShot(0, &command, [&command] { command.Start(); });
    QCoreApplication::exec();
    if (status < 0) {
        command.Abort();
        status = 1;
    }
    return status;
}
