#pragma once

#include "engine/AlertPolicy.h"
#include "engine/Metrics.h"
#include "engine/PingEngine.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class Resolver;
class TlsContext;

// The pings of /probe?target=URL, the blackbox exporter's multi-target pattern: each on an
// engine of its own, one attempt, bounded by the scrape's time-out. They raise no alert, write
// no log line and leave no history: the Prometheus that asked keeps the result.
class ProbeRunner : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxTargetLength = 2048;

    explicit ProbeRunner(QObject *parent = nullptr);

    void ApplySettings(const TOptions &options, const EngineContext &context);
    // Not owned; the system's resolver by default.
    void SetResolver(Resolver *resolver) { m_resolver = resolver; }
    void SetTlsContext(std::shared_ptr<TlsContext> context) { m_tlsContext = std::move(context); }
    // The port of the endpoint that asks: a target naming it is refused.
    void SetOwnPort(std::function<quint16()> port) { m_ownPort = std::move(port); }

    // Checks the target and starts its ping; done follows with the exposition of the ping.
    // A refused target starts nothing and says why on one line. timeoutMs: the scrape's
    // (0: none), shortened by half a second for the answer to get back in time.
    ProbeStart Start(const QString &target, int timeoutMs,
                     std::function<void(const QByteArray &)> done);
    // Why a target is not probed; empty when it is.
    QString Refusal(const QString &target) const;
    int Running() const { return m_running; }

private:
    TOptions m_options;
    EngineContext m_context;
    Resolver *m_resolver = nullptr;
    std::shared_ptr<TlsContext> m_tlsContext;
    std::function<quint16()> m_ownPort;
    AlertPolicy m_alerts; // the probes' own: a probe never changes the program's alert state
    int m_running = 0;
};
