#pragma once

#include "engine/PingEngine.h"
#include "store/Options.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdio>
#include <memory>
#include <optional>

class PingEngine;
class PingSession;
class Resolver;

// What the command line asked for. Unset values come from the user's store.
struct PingCommandRequest {
    QStringList urls;
    int count = 1;
    int intervalSeconds = 1;
    std::optional<quint32> attempts;
    std::optional<quint32> timeoutSeconds;
    std::optional<int> httpPort;
    std::optional<int> httpsPort;
    bool tls = false;                      // --tls: "Check TLS on https"
    std::optional<QString> acceptedStatus; // --accept-status
    std::optional<quint32> slowAboveMs;    // --slow-above
    QString metricsFile;
    bool help = false;
    bool version = false;
    bool serve = false; // the headless service instead of pings
    bool json = false;  // a JSON line a finished ping instead of the log
};

// The texts the engines need, for a face without a window: the user agent of the settings, the
// computer's name and the mail agent.
EngineContext HeadlessContext(const TOptions &options);

// Parses the arguments after the program name. On a usage error returns nothing and says
// why in *error.
std::optional<PingCommandRequest> ParsePingCommand(const QStringList &arguments, QString *error);

// The usage text of --help.
QString PingCommandUsage();

// True when the arguments are for the command line rather than the window: the window takes
// "-quiet" as the first argument and Qt's own options (-style, -platform, ...); anything else
// (an option of the command line, -h, a stray word) is the command line's, which says what is
// wrong with it rather than opening a window.
bool IsCommandLine(const QStringList &arguments);

// Pings each address of the request with an engine of its own session, all at once, count
// times each, and prints the log lines as they happen (LF line breaks). The session records
// the history and the metrics file; it sends no e-mail and serves no metrics port. Ends with
// the exit status: 0 every ping completed, 1 any failed or was cancelled, 3 none failed but
// some could not be checked (this computer had no network, or slept).
class PingCommand : public QObject {
    Q_OBJECT
public:
    PingCommand(const PingCommandRequest &request, const TOptions &settings, FILE *out, FILE *err,
                QObject *parent = nullptr);
    ~PingCommand() override;

    // Not owned; the system's resolver by default.
    void SetResolver(Resolver *resolver);
    // Starts the pings; `done` follows once every one has ended.
    void Start();
    // Ends every ping under way at once (Ctrl+C): counts as a failure.
    void Abort();

    int ExitStatus() const { return m_failed ? 1 : m_notChecked ? 3 : 0; }

signals:
    void done(int status);

private:
    struct Target;
    void StartNext(Target &target);
    void Finished(Target &target, const PingResult &result);
    void Print(const QString &text);

    PingCommandRequest m_request;
    FILE *m_out;
    FILE *m_err;
    PingSession *m_session = nullptr;
    std::vector<std::unique_ptr<Target>> m_targets;
    int m_running = 0;
    bool m_failed = false;
    bool m_notChecked = false;
    bool m_ended = false;
};

// The whole command line: parses, reads the store read-only, pings or serves, returns the exit
// status (2 for a usage error or a refused address). Needs a QCoreApplication.
int RunCommandLine(const QStringList &arguments, FILE *out, FILE *err,
                   Resolver *resolver = nullptr);
