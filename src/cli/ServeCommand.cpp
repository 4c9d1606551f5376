#include "cli/ServeCommand.h"

#include "cli/PingCommand.h"
#include "engine/PingSession.h"
#include "engine/WatchList.h"
#include "platform/AppErrors.h"
#include "platform/QuitOnSignal.h"
#include "platform/SingleInstance.h"
#include "store/RegStore.h"
#include "store/SettingsTable.h"
#include "support/UsualFunctions.h"

#include <QCoreApplication>

namespace {

QByteArray Lf(const QString &entry) {
    QString text = entry;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text.toUtf8() + '\n';
}

// The settings as the store holds them now; a problem is said on err and the defaults serve.
TOptions ReadSettings(FILE *err) {
    QString problem;
    const TOptions options = ReadOptionsReadOnly(&problem);
    if (!problem.isEmpty()) {
        fprintf(err, "vennatro: %s; using the default settings.\n",
                qPrintable(problem.endsWith(QLatin1Char('.')) ? problem.chopped(1) : problem));
        fflush(err);
    }
    return options;
}

// The service's run: the session, the automatic ping of the settings, and a reload.
class Service {
public:
    Service(FILE *out, FILE *err) : m_out(out), m_err(err) {
        QObject::connect(&m_session, &PingSession::logEntry, &m_session,
                         [this](const QString &entry) { Print(entry); });
    }

    void Start() {
        Apply(ReadSettings(m_err));
        m_session.Log(SessionBanner(TimeStamp()));
        m_session.Open();
        StartAutoPing();
    }

    // SIGHUP: the settings, the watched list and the automatic ping as the store says now.
    void Reload() {
        const TOptions before = m_session.Settings();
        Apply(ReadSettings(m_err));
        m_session.Log(QStringLiteral("Settings read again from \"%1\".\r\n").arg(RegStorePath()));
        const TOptions &now = m_session.Settings();
        if (now.WatchedAddresses != m_session.Watched()->Stored())
            m_session.Watched()->Load(now.WatchedAddresses);
        if (now.AutoPingAtStart != before.AutoPingAtStart ||
            now.AutoPingAddress != before.AutoPingAddress ||
            now.AutoPingInterval != before.AutoPingInterval) {
            m_session.StopAutoPing();
            StartAutoPing();
        }
    }

    void Stop() {
        m_session.StopAutoPing();
        m_session.AbortMail();
        m_session.FlushLog();
    }

private:
    void Apply(const TOptions &options) {
        m_session.ApplySettings(options, HeadlessContext(options));
    }

    void StartAutoPing() {
        const TOptions &options = m_session.Settings();
        if (!options.AutoPingAtStart)
            return;
        const NormalisedAddress target = NormaliseAddress(options.AutoPingAddress);
        if (!target.accepted) {
            m_session.Log(
                QStringLiteral("Auto-ping address \"%1\" refused: %2\r\n")
                    .arg(options.AutoPingAddress,
                         QLatin1String(target.badPort ? InvalidPortText : SchemeRejectedText)));
            return;
        }
        m_session.StartAutoPing(target);
    }

    void Print(const QString &entry) {
        const QByteArray bytes = Lf(entry);
        fwrite(bytes.constData(), 1, size_t(bytes.size()), m_out);
        fflush(m_out);
    }

    FILE *m_out;
    FILE *m_err;
    PingSession m_session{PingSession::Face::Service};
};

} // namespace

int RunService(FILE *out, FILE *err) {
    SingleInstance instance(QString::fromLatin1(SingleInstanceName), RegisterActivationMessage());
    instance.setRole(QStringLiteral("service"));
    if (!instance.tryLock()) {
        if (!instance.errorString().isEmpty())
            fprintf(err, "vennatro: %s\n", qPrintable(instance.errorString()));
        else if (instance.holderRole() == QLatin1String("service"))
            fprintf(err, "vennatro: Vennatro already runs as a service in this session.\n");
        else
            fprintf(err, "vennatro: the Vennatro window runs in this session; the service does "
                         "not start beside it (Exit the window first).\n");
        return 1;
    }
    // Errors that escape a step go to the error stream: there is nobody to show a box to.
    SetApplicationErrorHandler([err](const QString &message) {
        fprintf(err, "vennatro: %s\n", qPrintable(message));
        fflush(err);
    });
    QuitOnSignal quit(QuitOnSignal::HangUp::Reloads);
    Service service(out, err);
    QObject::connect(&quit, &QuitOnSignal::reloadRequested, &quit,
                     [&service] { GuardedCall([&service] { service.Reload(); }); });
    service.Start();
    const int status = quit.Requested() ? 0 : QCoreApplication::exec();
    service.Stop();
    SetApplicationErrorHandler(nullptr);
    return status;
}
