#pragma once

#include "engine/PingResult.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <utility>

class QTcpServer;

// What a finished ping tells as a probe, with the blackbox exporter's meanings: success by
// the ping's verdict, the time it took (a failure's too), the phases, the address family, the
// TLS facts of a TLS check.
struct ProbeFacts {
    bool success = false;
    double duration = 0;
    int httpStatus = 0;
    double lookup = 0;
    double phases[4] = {0, 0, 0, 0}; // resolve, connect, tls, processing
    int ipProtocol = 0;
    bool tls = false;
    QByteArray tlsVersion;     // "TLS 1.3"; with tls only
    qint64 earliestExpiry = 0; // Unix seconds; with tls only
    bool slow = false;
};
ProbeFacts FactsOf(const PingResult &result);

// The answer of /probe: the samples of one ping, without a target label (the Prometheus that
// asked adds it).
QByteArray ProbeExposition(const PingResult &result);

// The last result and the ping counts of every address pinged or watched in this run, as the
// Prometheus text format (0.0.4) shows them.
class MetricsRegistry : public QObject {
    Q_OBJECT
public:
    explicit MetricsRegistry(QObject *parent = nullptr);

    // One call a finished ping. A cancelled ping, or one not checked, is only counted: the
    // probe_* samples keep the last ping that checked the target.
    void Record(const PingResult &result);
    // This computer's network works (vennatro_network_up).
    void SetNetworkUp(bool up);
    // A watched address before its first ping: zero counters, no probe_* samples yet.
    void AddTarget(const QString &address);
    // Drops every series of the address.
    void RemoveTarget(const QString &address);

    // The addresses without their passwords (AddressWithoutPassword): what the labels show and
    // what the series are kept by, so two addresses that differ only in the password are one.
    QStringList Targets() const; // sorted
    QByteArray Exposition() const;

signals:
    void changed();

private:
    struct Series {
        QByteArray label; // the address, escaped as a label value
        bool probed = false;
        ProbeFacts facts;
        quint64 pings[4] = {0, 0, 0, 0}; // by PingOutcomeKind
    };

    Series &SeriesFor(const QString &target);

    QMap<QString, Series> m_series; // by target, sorted, so the output is stable
    bool m_networkUp = true;
};

// Collects a request head as its bytes arrive: empty lines before the request line are
// skipped, the head ends with its blank line (CR LF CR LF, LF LF or a mix) and may not be
// longer than MaxHeadBytes, blank line included.
class MetricsRequestReader {
public:
    static constexpr qsizetype MaxHeadBytes = 8192;
    enum class State { Reading, Complete, TooLarge };

    // Takes the next bytes; once the state is no longer Reading, further bytes are ignored.
    // Bytes after the blank line (a body) are never kept.
    State Append(QByteArrayView bytes);
    State CurrentState() const { return m_state; }
    // The whole head, blank line included, once Complete.
    const QByteArray &Head() const { return m_head; }

private:
    QByteArray m_head;
    qsizetype m_scanned = 0;
    bool m_started = false;
    State m_state = State::Reading;
};

// What a request head asks for. Only "GET" and "HEAD" of "/metrics" (with or without a
// query) and of "/probe?target=URL" in HTTP/1.0 or 1.1 are served; a request line that is not
// three words ending in such a version is a bad request, anything else is not found.
struct MetricsRequest {
    enum class Kind { BadRequest, NotFound, Metrics, Probe };
    Kind kind = Kind::BadRequest;
    bool headOnly = false; // a HEAD request: the answer's headers without its body
    QString target;        // Probe: the target parameter, decoded; empty when none
    // Probe: the header X-Prometheus-Scrape-Timeout-Seconds; 0 when not sent or unreadable.
    double scrapeTimeoutSeconds = 0;
};
MetricsRequest ParseMetricsRequest(QByteArrayView head);

// How /probe is answered: the prober checks the target and starts its ping, or refuses it with
// a one-line reason (then 400). A started probe calls done once with its exposition, and says
// how long that may take in milliseconds.
struct ProbeStart {
    QString refusal;
    int waitMs = 0;
};
using MetricsProber = std::function<ProbeStart(const QString &target, int timeoutMs,
                                               std::function<void(const QByteArray &)> done)>;

// Serves GET /metrics on 127.0.0.1. Every exchange is one request and one answer, then the
// connection is closed; nothing here ever waits on a socket.
//
// A hostile local client must not lock out the scrape: a head has HeadTimeout to arrive,
// the whole exchange ClientTimeout; at most MaxClients connections are open, and any further
// one waits in the kernel's listen queue until one of them ends (first come, first served),
// instead of being refused. The answer is handed to a connection in pieces as it drains, so a
// client that never reads costs a few kilobytes, not a copy of the whole text.
class MetricsServer : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype MaxHeadBytes = MetricsRequestReader::MaxHeadBytes;

    explicit MetricsServer(const MetricsRegistry *registry, QObject *parent = nullptr);
    ~MetricsServer() override;

    // Port 0 picks a free port (see Port()). On failure the error text names the address and
    // the reason.
    bool Listen(quint16 port, QString *error);
    // Stops listening and drops the open connections.
    void Close();
    quint16 Port() const; // 0 when not listening

    // The request head must have arrived within this time, or the client is dropped.
    void SetHeadTimeout(int milliseconds);
    int HeadTimeout() const { return m_headTimeoutMs; }
    // The whole exchange must end within this time, or the client is dropped.
    void SetClientTimeout(int milliseconds);
    int ClientTimeout() const { return m_clientTimeoutMs; }
    // Connections open at once; one more waits to be accepted until one of them ends.
    void SetMaxClients(int count);
    int MaxClients() const { return m_maxClients; }
    int OpenClients() const { return m_openClients; }

    // /probe pings at scrape time through the prober; without one it is not found. At most
    // MaxProbes run at once: one more is answered 503.
    static constexpr int MaxProbes = 8;
    void SetProber(MetricsProber prober) { m_prober = std::move(prober); }
    int RunningProbes() const { return m_probes; }

    // Hands the answer's status line and headers, and its body (shared, not copied, by every
    // connection that sends it) to reply: at once, or later for a probe. Returns how long a
    // later answer may take in milliseconds, 0 when it was given at once.
    using Reply = std::function<void(const QByteArray &head, const QByteArray &body)>;

private:
    void AcceptPending();
    void ClientEnded();
    int Answer(const QByteArray &head, const Reply &reply);
    int StartProbe(const MetricsRequest &request, const Reply &reply);

    QPointer<const MetricsRegistry> m_registry;
    QTcpServer *m_server = nullptr;
    QObject *m_clients = nullptr; // parent of one object per open connection
    QByteArray m_exposition;      // the registry's text until it changes; empty: not built
    int m_headTimeoutMs = 2000;
    int m_clientTimeoutMs = 5000;
    int m_maxClients = 64;
    int m_openClients = 0;
    MetricsProber m_prober;
    int m_probes = 0; // running
};

// Replaces the file at path with text in one step (a temporary file in the same folder,
// renamed over it), mode 0644, so a reader never sees half a file.
bool WriteMetricsFile(const QString &path, const QByteArray &text, QString *error);
