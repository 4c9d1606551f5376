#include "engine/ProbeRunner.h"

#include "engine/PingTarget.h"
#include "platform/Resolver.h"

#include <algorithm>

namespace {

// The margin the scrape's own time-out leaves for the answer, as the blackbox exporter's.
constexpr int AnswerMarginMs = 500;
constexpr int ShortestAttemptMs = 100;

bool HasControl(const QString &text) {
    return std::any_of(text.cbegin(), text.cend(),
                       [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

// This machine itself, as a target names it.
bool NamesThisMachine(const QString &host) {
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const std::optional<QHostAddress> address = Resolver::addressLiteral(host);
    return address && (address->isLoopback() || *address == QHostAddress::AnyIPv4 ||
                       *address == QHostAddress::AnyIPv6);
}

} // namespace

ProbeRunner::ProbeRunner(QObject *parent) : QObject(parent) { m_options = DefaultOptions(); }

void ProbeRunner::ApplySettings(const TOptions &options, const EngineContext &context) {
    m_options = options;
    m_context = context;
    // One attempt, and no alert of any kind.
    m_options.PingAttempts = 1;
    m_options.SendEmailOnError = false;
    m_options.PingOnError = false;
    m_options.CertExpiryWarnDays = 0;
}

QString ProbeRunner::Refusal(const QString &target) const {
    if (target.isEmpty())
        return QStringLiteral("No target: ask for /probe?target=URL");
    if (target.size() > MaxTargetLength)
        return QStringLiteral("The target is longer than %1 characters").arg(MaxTargetLength);
    if (HasControl(target))
        return QStringLiteral("The target contains control characters");
    if (!target.startsWith(QLatin1String("http://"), Qt::CaseInsensitive) &&
        !target.startsWith(QLatin1String("https://"), Qt::CaseInsensitive))
        return QStringLiteral("Only http:// and https:// targets are probed");
    const NormalisedAddress address = NormaliseAddress(target);
    if (!address.accepted)
        return QLatin1String(address.badPort ? InvalidPortText : SchemeRejectedText);
    const quint16 own = m_ownPort ? m_ownPort() : 0;
    const int port = address.port > 0 ? address.port
                                      : (address.https ? m_options.HTTPSPort : m_options.HTTPPort);
    if (own != 0 && port == own && NamesThisMachine(address.host))
        return QStringLiteral("The target is this metrics endpoint");
    return QString();
}

ProbeStart ProbeRunner::Start(const QString &target, int timeoutMs,
                              std::function<void(const QByteArray &)> done) {
    ProbeStart start;
    start.refusal = Refusal(target);
    if (!start.refusal.isEmpty())
        return start;
    int attemptMs = int(std::clamp<quint32>(m_options.PingTimeout, 1, 3600) * 1000);
    if (timeoutMs > 0)
        attemptMs = std::min(attemptMs, std::max(ShortestAttemptMs, timeoutMs - AnswerMarginMs));
    auto *engine = new PingEngine(this);
    engine->SetAlertPolicy(&m_alerts);
    if (m_resolver)
        engine->SetResolver(m_resolver);
    engine->SetTlsContext(m_tlsContext);
    engine->ApplySettings(m_options, m_context);
    engine->SetAttemptTimeoutMs(attemptMs);
    ++m_running;
    connect(engine, &PingEngine::finished, this,
            [this, engine, done = std::move(done)](const PingResult &result) {
                --m_running;
                engine->disconnect(this);
                engine->deleteLater();
                done(ProbeExposition(result));
            });
    engine->SetTarget(NormaliseAddress(target));
    engine->Ping();
    // The attempt's time-out ends it; the rest is the close and the answer.
    start.waitMs = attemptMs + 1000;
    return start;
}
