#include "engine/Metrics.h"

#include "engine/PingTarget.h"

#include <QDir>
#include <QHostAddress>
#include <QSaveFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <functional>
#include <utility>

namespace {

int OutcomeIndex(PingOutcomeKind outcome) {
    switch (outcome) {
    case PingOutcomeKind::Completed:
        return 0;
    case PingOutcomeKind::Failed:
        return 1;
    case PingOutcomeKind::Cancelled:
        return 2;
    case PingOutcomeKind::NotChecked:
        return 3;
    }
    return 1;
}

constexpr PingOutcomeKind AllOutcomes[] = {PingOutcomeKind::Completed, PingOutcomeKind::Failed,
                                           PingOutcomeKind::Cancelled, PingOutcomeKind::NotChecked};

// A phase that was not reached is negative; the scrape shows 0 rather than a value no
// Prometheus query expects. NaN and infinity would not parse as "+Inf" either way.
double NonNegative(double seconds) { return std::isfinite(seconds) && seconds > 0 ? seconds : 0; }

QByteArray EscapeLabelValue(const QString &value) {
    const QByteArray utf8 = value.toUtf8();
    QByteArray escaped;
    escaped.reserve(utf8.size());
    for (const char c : utf8) {
        switch (c) {
        case '\\':
            escaped += "\\\\";
            break;
        case '"':
            escaped += "\\\"";
            break;
        case '\n':
            escaped += "\\n";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

void AppendFamily(QByteArray &out, const char *name, const char *type, const char *help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

// A sample: its name, then the series' target and the sample's own labels in braces when
// there are any (a /probe answer has none).
void AppendSample(QByteArray &out, const char *name, const QByteArray &label,
                  const QByteArray &value, const QByteArray &extra = QByteArray()) {
    out += name;
    if (!label.isNull() || !extra.isEmpty()) {
        out += '{';
        if (!label.isNull()) {
            out += "target=\"";
            out += label;
            out += '"';
            if (!extra.isEmpty())
                out += ',';
        }
        out += extra;
        out += '}';
    }
    out += ' ';
    out += value;
    out += '\n';
}

QByteArray Seconds(double value) { return QByteArray::number(value, 'g', 9); }

// The series of one exposition: the target label (null for none) and what it shows.
struct Probed {
    QByteArray label;
    const ProbeFacts *facts;
};

constexpr const char *PhaseNames[] = {"resolve", "connect", "tls", "processing"};

// The probe_* families, each once, with a sample of every probed series.
void AppendProbeFamilies(QByteArray &out, const QList<Probed> &probed) {
    const auto family = [&](const char *name, const char *type, const char *help,
                            const auto &samples) {
        AppendFamily(out, name, type, help);
        for (const Probed &p : probed)
            samples(p.label, *p.facts);
    };
    const auto number = [](auto value) { return QByteArray::number(value); };
    family("probe_success", "gauge",
           "1 when the last ping of the target completed, 0 when it failed.",
           [&](const QByteArray &label, const ProbeFacts &f) {
               AppendSample(out, "probe_success", label, f.success ? "1" : "0");
           });
    family("probe_duration_seconds", "gauge",
           "Time the last ping took: to the first answer bytes, to the connect (https without "
           "the TLS check), or to its failure.",
           [&](const QByteArray &label, const ProbeFacts &f) {
               AppendSample(out, "probe_duration_seconds", label, Seconds(f.duration));
           });
    family("probe_http_status_code", "gauge",
           "HTTP status code of the last answer; 0 when none was read (no answer, or an https "
           "connect only).",
           [&](const QByteArray &label, const ProbeFacts &f) {
               AppendSample(out, "probe_http_status_code", label, number(f.httpStatus));
           });
    family("probe_dns_lookup_time_seconds", "gauge",
           "Host lookup time of the last ping; 0 when unknown.",
           [&](const QByteArray &label, const ProbeFacts &f) {
               AppendSample(out, "probe_dns_lookup_time_seconds", label, Seconds(f.lookup));
           });
    family("probe_http_duration_seconds", "gauge",
           "Time of each phase of the last ping: resolve, connect, tls, processing (to the first "
           "answer bytes); 0 for a phase not reached.",
           [&](const QByteArray &label, const ProbeFacts &f) {
               for (int i = 0; i < 4; ++i)
                   AppendSample(out, "probe_http_duration_seconds", label, Seconds(f.phases[i]),
                                QByteArray("phase=\"") + PhaseNames[i] + '"');
           });
    family("probe_ip_protocol", "gauge",
           "Address family of the last ping: 4 or 6; 0 when no address was tried.",
           [&](const QByteArray &label, const ProbeFacts &f) {
               AppendSample(out, "probe_ip_protocol", label, number(f.ipProtocol));
           });
    family("probe_http_ssl", "gauge", "1 when the answer of the last ping came over TLS.",
           [&](const QByteArray &label, const ProbeFacts &f) {
               AppendSample(out, "probe_http_ssl", label, f.tls ? "1" : "0");
           });
    family("probe_ssl_earliest_cert_expiry", "gauge",
           "Earliest expiry of the certificates the server presented, in Unix time (with the "
           "TLS check).",
           [&](const QByteArray &label, const ProbeFacts &f) {
               if (f.tls)
                   AppendSample(out, "probe_ssl_earliest_cert_expiry", label,
                                number(f.earliestExpiry));
           });
    family("probe_tls_version_info", "gauge",
           "The TLS version of the last ping (with the TLS check).",
           [&](const QByteArray &label, const ProbeFacts &f) {
               if (f.tls)
                   AppendSample(out, "probe_tls_version_info", label, "1",
                                "version=\"" + f.tlsVersion + '"');
           });
    family("vennatro_probe_slow", "gauge",
           "1 when the last ping completed above the \"Slow above\" setting.",
           [&](const QByteArray &label, const ProbeFacts &f) {
               AppendSample(out, "vennatro_probe_slow", label, f.slow ? "1" : "0");
           });
}

// --- the HTTP side ---

const char MetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";
const char PlainContentType[] = "text/plain; charset=utf-8";

QByteArray AnswerHead(const char *status, const char *contentType, qsizetype bodySize) {
    QByteArray head = "HTTP/1.0 ";
    head += status;
    head += "\r\nContent-Type: ";
    head += contentType;
    head += "\r\nContent-Length: ";
    head += QByteArray::number(bodySize);
    head += "\r\nConnection: close\r\n\r\n";
    return head;
}

std::pair<QByteArray, QByteArray> PlainAnswer(const char *status, const QByteArray &body,
                                              bool headOnly) {
    return {AnswerHead(status, PlainContentType, body.size()), headOnly ? QByteArray() : body};
}

// Where the request head ends (just past its blank line), or -1. The blank line may be
// CR LF CR LF, LF LF or a mix; scanning starts at from.
qsizetype HeadEnd(const QByteArray &data, qsizetype from) {
    for (qsizetype i = std::max<qsizetype>(from, 0); i < data.size(); ++i) {
        if (data.at(i) != '\n')
            continue;
        if (i + 1 < data.size() && data.at(i + 1) == '\n')
            return i + 2;
        if (i + 2 < data.size() && data.at(i + 1) == '\r' && data.at(i + 2) == '\n')
            return i + 3;
    }
    return -1;
}

// The answer goes to the socket a piece at a time, the next when the last has drained.
constexpr qsizetype AnswerPieceBytes = 16 * 1024;

// One accepted connection: reads a request head of at most MaxHeadBytes, answers once,
// closes. The socket's own buffer is capped as well, so a client that sends without end
// costs no more memory than that.
class MetricsConnection : public QObject {
public:
    // Answers through the reply at once, or later (a probe): then returns how long that may
    // take in milliseconds.
    using Responder = std::function<int(const QByteArray &head, const MetricsServer::Reply &)>;
    using Ended = std::function<void()>;

    MetricsConnection(QTcpSocket *socket, int headTimeoutMs, int timeoutMs, Responder responder,
                      Ended ended, QObject *parent)
        : QObject(parent), m_socket(socket), m_responder(std::move(responder)),
          m_ended(std::move(ended)) {
        socket->setParent(this);
        socket->setReadBufferSize(MetricsServer::MaxHeadBytes + 1);
        // The kernel's buffer grows to megabytes for a client that does not read; this one is
        // enough for loopback and leaves little behind a client dropped with unsent bytes.
        socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption,
                                int(AnswerPieceBytes * 4));
        // Precise: "within 2 s" must not end a client at 1.9 s.
        m_headDeadline.setSingleShot(true);
        m_headDeadline.setTimerType(Qt::PreciseTimer);
        connect(&m_headDeadline, &QTimer::timeout, this, &MetricsConnection::End);
        m_headDeadline.start(headTimeoutMs);
        m_deadline.setSingleShot(true);
        connect(&m_deadline, &QTimer::timeout, this, &MetricsConnection::End);
        m_deadline.start(timeoutMs);
        connect(socket, &QTcpSocket::readyRead, this, &MetricsConnection::Read);
        connect(socket, &QTcpSocket::bytesWritten, this, &MetricsConnection::Feed);
        connect(socket, &QTcpSocket::disconnected, this, &MetricsConnection::End);
        connect(socket, &QAbstractSocket::errorOccurred, this, [this] {
            // After the answer, a reset or the client's close only ends what is ending anyway;
            // the socket closes itself and reports disconnected.
            if (!m_answered)
                End();
        });
        Read();
    }

private:
    void Read() {
        while (!m_answered && !m_waiting && m_socket->bytesAvailable() > 0) {
            char buffer[4096];
            const qint64 got = m_socket->read(buffer, sizeof buffer);
            if (got <= 0)
                break;
            switch (m_reader.Append(QByteArrayView(buffer, got))) {
            case MetricsRequestReader::State::Reading:
                break;
            case MetricsRequestReader::State::Complete: {
                m_waiting = true;
                m_headDeadline.stop();
                const QPointer<MetricsConnection> self(this);
                const int later =
                    m_responder(m_reader.Head(), [self](const QByteArray &h, const QByteArray &b) {
                        if (self)
                            self->Answer(h, b);
                    });
                // A probe answers when its ping is over: the exchange may last that long.
                if (self && later > 0 && !m_answered)
                    m_deadline.start(std::max(later, m_deadline.remainingTime()));
                break;
            }
            case MetricsRequestReader::State::TooLarge: {
                auto [head, body] = PlainAnswer("400 Bad Request", "Bad request\n", false);
                Answer(head, body);
                break;
            }
            }
        }
    }

    void Answer(const QByteArray &head, const QByteArray &body) {
        if (m_answered || m_ended == nullptr)
            return; // a probe's answer after the client was dropped
        m_answered = true;
        m_headDeadline.stop();
        m_reader = MetricsRequestReader();
        m_body = body;
        m_socket->write(head);
        Feed();
    }

    // Keeps at most about a piece waiting in the socket's buffer; the rest stays in the
    // shared body until the client has taken what came before.
    void Feed() {
        if (!m_answered || m_ended == nullptr)
            return;
        while (m_sent < m_body.size() && m_socket->bytesToWrite() < AnswerPieceBytes) {
            const qsizetype piece = std::min(AnswerPieceBytes, m_body.size() - m_sent);
            m_socket->write(m_body.constData() + m_sent, piece);
            m_sent += piece;
        }
        if (m_sent == m_body.size() && !m_closing) {
            m_closing = true;
            m_body.clear();
            m_socket->disconnectFromHost(); // after the answer is written; then "disconnected"
        }
    }

    // Once, however the exchange ends: frees the server's place for the next connection.
    void End() {
        if (m_ended == nullptr)
            return;
        const Ended ended = std::exchange(m_ended, nullptr);
        m_answered = true;
        m_headDeadline.stop();
        m_socket->abort();
        deleteLater();
        ended();
    }

    QTcpSocket *m_socket;
    Responder m_responder;
    Ended m_ended;
    QTimer m_headDeadline;
    QTimer m_deadline;
    MetricsRequestReader m_reader;
    QByteArray m_body;
    qsizetype m_sent = 0;
    bool m_answered = false;
    bool m_waiting = false; // the head is whole; its answer is under way
    bool m_closing = false;
};

} // namespace

// --- a ping as a probe ---

ProbeFacts FactsOf(const PingResult &result) {
    ProbeFacts f;
    f.success = result.outcome == PingOutcomeKind::Completed;
    f.duration = NonNegative(f.success ? result.seconds : result.elapsedSeconds);
    f.httpStatus = std::max(result.httpStatus, 0);
    f.lookup = NonNegative(result.lookupSeconds);
    // Each phase from the end of the one before, as the blackbox exporter counts them.
    f.phases[0] = f.lookup;
    if (result.connectSeconds >= 0)
        f.phases[1] = NonNegative(result.connectSeconds - f.lookup);
    double answerFrom = result.connectSeconds;
    if (result.tlsSeconds >= 0) {
        f.phases[2] = NonNegative(result.tlsSeconds - result.connectSeconds);
        answerFrom = result.tlsSeconds;
    }
    if (result.firstByteSeconds >= 0 && answerFrom >= 0)
        f.phases[3] = NonNegative(result.firstByteSeconds - answerFrom);
    f.ipProtocol = result.ipProtocol;
    f.tls = result.tls;
    if (f.tls) {
        f.tlsVersion = EscapeLabelValue(result.tlsVersion);
        f.earliestExpiry = result.earliestCertificateExpiry.isValid()
                               ? result.earliestCertificateExpiry.toSecsSinceEpoch()
                               : 0;
    }
    f.slow = f.success && result.slow;
    return f;
}

QByteArray ProbeExposition(const PingResult &result) {
    const ProbeFacts facts = FactsOf(result);
    QByteArray out;
    out.reserve(3072);
    AppendProbeFamilies(out, {Probed{QByteArray(), &facts}});
    return out;
}

// --- MetricsRegistry ---

MetricsRegistry::MetricsRegistry(QObject *parent) : QObject(parent) {}

MetricsRegistry::Series &MetricsRegistry::SeriesFor(const QString &target) {
    auto it = m_series.find(target);
    if (it == m_series.end()) {
        it = m_series.insert(target, Series());
        it->label = EscapeLabelValue(target);
    }
    return *it;
}

void MetricsRegistry::Record(const PingResult &result) {
    Series &series = SeriesFor(AddressWithoutPassword(result.address));
    ++series.pings[OutcomeIndex(result.outcome)];
    // A ping that was not checked says nothing of the target: its last verdict stands.
    if (result.outcome != PingOutcomeKind::Cancelled &&
        result.outcome != PingOutcomeKind::NotChecked) {
        series.probed = true;
        series.facts = FactsOf(result);
    }
    emit changed();
}

void MetricsRegistry::SetNetworkUp(bool up) {
    if (up == m_networkUp)
        return;
    m_networkUp = up;
    emit changed();
}

void MetricsRegistry::AddTarget(const QString &address) {
    const QString target = AddressWithoutPassword(address);
    if (m_series.contains(target))
        return;
    SeriesFor(target);
    emit changed();
}

void MetricsRegistry::RemoveTarget(const QString &address) {
    if (m_series.remove(AddressWithoutPassword(address)) > 0)
        emit changed();
}

QStringList MetricsRegistry::Targets() const { return m_series.keys(); }

QByteArray MetricsRegistry::Exposition() const {
    QByteArray out;
    // About 1400 bytes a target, with labels of usual length; one allocation for the lot.
    qsizetype labels = 0;
    for (const Series &series : m_series)
        labels += series.label.size();
    out.reserve(3072 + m_series.size() * 1400 + labels * 17);

    QList<Probed> probed;
    for (const Series &series : m_series) {
        if (series.probed)
            probed.append(Probed{series.label, &series.facts});
    }
    AppendProbeFamilies(out, probed);
    AppendFamily(out, "vennatro_network_up", "gauge",
                 "1 while this computer's network works, 0 during its outage or the moments "
                 "after a sleep.");
    out += "vennatro_network_up ";
    out += m_networkUp ? '1' : '0';
    out += '\n';
    AppendFamily(out, "vennatro_pings_total", "counter", "Pings finished in this run, by outcome.");
    for (const Series &series : m_series) {
        for (const PingOutcomeKind outcome : AllOutcomes) {
            out += "vennatro_pings_total{target=\"";
            out += series.label;
            out += "\",outcome=\"";
            out += OutcomeName(outcome).toLatin1();
            out += "\"} ";
            out += QByteArray::number(series.pings[OutcomeIndex(outcome)]);
            out += '\n';
        }
    }
    return out;
}

// --- the request ---

MetricsRequestReader::State MetricsRequestReader::Append(QByteArrayView bytes) {
    if (m_state != State::Reading)
        return m_state;
    if (!m_started) {
        // Empty lines before the request line are allowed and ignored.
        qsizetype skip = 0;
        while (skip < bytes.size() && (bytes[skip] == '\r' || bytes[skip] == '\n'))
            ++skip;
        bytes = bytes.sliced(skip);
        m_started = !bytes.isEmpty();
    }
    // One byte past the limit is enough to know a head does not fit.
    m_head += bytes.first(std::min(bytes.size(), MaxHeadBytes + 1 - m_head.size()));
    // The blank line may have begun in the bytes before.
    const qsizetype end = HeadEnd(m_head, m_scanned - 2);
    m_scanned = m_head.size();
    if (end >= 0 && end <= MaxHeadBytes) {
        m_head.truncate(end);
        m_state = State::Complete;
    } else if (m_head.size() > MaxHeadBytes) {
        m_head.clear();
        m_state = State::TooLarge;
    }
    return m_state;
}

namespace {

// The target parameter of a /probe query (the first one), and the scrape's time-out header.
void ReadProbeRequest(QByteArrayView target, QByteArrayView head, MetricsRequest &request) {
    const qsizetype question = target.indexOf('?');
    const QByteArrayView query = question < 0 ? QByteArrayView() : target.sliced(question + 1);
    for (const QByteArray &pair : query.toByteArray().split('&')) {
        if (!pair.startsWith("target="))
            continue;
        // A form's encoding: '+' is a blank, %XX a byte.
        QByteArray value = pair.mid(7);
        value.replace('+', ' ');
        request.target = QString::fromUtf8(QByteArray::fromPercentEncoding(value));
        break;
    }
    for (const QByteArray &raw : head.toByteArray().split('\n').mid(1)) {
        const QByteArray line = raw.trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon < 0 ||
            line.left(colon).trimmed().toLower() != "x-prometheus-scrape-timeout-seconds")
            continue;
        bool ok = false;
        const double seconds = line.mid(colon + 1).trimmed().toDouble(&ok);
        if (ok && std::isfinite(seconds) && seconds > 0)
            request.scrapeTimeoutSeconds = seconds;
    }
}

} // namespace

MetricsRequest ParseMetricsRequest(QByteArrayView head) {
    MetricsRequest request;
    qsizetype lineEnd = head.indexOf('\n');
    QByteArrayView line = lineEnd < 0 ? head : head.first(lineEnd);
    if (line.endsWith('\r'))
        line.chop(1);
    const qsizetype first = line.indexOf(' ');
    const qsizetype last = line.lastIndexOf(' ');
    if (first < 0 || last == first || line.sliced(first + 1, last - first - 1).contains(' '))
        return request; // not three words
    const QByteArrayView method = line.first(first);
    const QByteArrayView target = line.sliced(first + 1, last - first - 1);
    const QByteArrayView version = line.sliced(last + 1);
    if (version != "HTTP/1.0" && version != "HTTP/1.1")
        return request;
    request.headOnly = method == "HEAD";
    const bool metrics = target == "/metrics" || target.startsWith("/metrics?");
    const bool probe = target == "/probe" || target.startsWith("/probe?");
    if ((method != "GET" && !request.headOnly) || (!metrics && !probe)) {
        request.kind = MetricsRequest::Kind::NotFound;
        return request;
    }
    request.kind = metrics ? MetricsRequest::Kind::Metrics : MetricsRequest::Kind::Probe;
    if (probe)
        ReadProbeRequest(target, head, request);
    return request;
}

// --- MetricsServer ---

MetricsServer::MetricsServer(const MetricsRegistry *registry, QObject *parent)
    : QObject(parent), m_registry(registry), m_server(new QTcpServer(this)),
      m_clients(new QObject(this)) {
    // One accepted connection waits inside the server at most; the rest stay in the kernel's
    // queue, so a flood costs no descriptors here.
    m_server->setMaxPendingConnections(1);
    // Room there for more than a flood of slow clients, so a scrape queues behind them rather
    // than having its connection attempt dropped and tried again seconds later. The kernel
    // caps it at net.core.somaxconn.
    m_server->setListenBacklogSize(1024);
    connect(m_server, &QTcpServer::newConnection, this, &MetricsServer::AcceptPending);
    if (registry)
        connect(registry, &MetricsRegistry::changed, this, [this] { m_exposition.clear(); });
}

MetricsServer::~MetricsServer() { Close(); }

bool MetricsServer::Listen(quint16 port, QString *error) {
    Close();
    if (m_server->listen(QHostAddress::LocalHost, port))
        return true;
    if (error) {
        *error = QStringLiteral("Cannot serve the metrics on 127.0.0.1:%1: %2")
                     .arg(port)
                     .arg(m_server->errorString());
    }
    return false;
}

void MetricsServer::Close() {
    m_server->close();
    qDeleteAll(m_clients->children());
    m_openClients = 0;
}

quint16 MetricsServer::Port() const { return m_server->isListening() ? m_server->serverPort() : 0; }

void MetricsServer::SetHeadTimeout(int milliseconds) {
    m_headTimeoutMs = std::max(milliseconds, 1);
}

void MetricsServer::SetClientTimeout(int milliseconds) {
    m_clientTimeoutMs = std::max(milliseconds, 1);
}

void MetricsServer::SetMaxClients(int count) {
    m_maxClients = std::max(count, 1);
    AcceptPending();
}

void MetricsServer::AcceptPending() {
    // A connection beyond the limit is left where it is: the server then accepts no other
    // until nextPendingConnection takes it, when a place is free.
    while (m_openClients < m_maxClients) {
        QTcpSocket *socket = m_server->nextPendingConnection();
        if (!socket)
            break;
        ++m_openClients;
        new MetricsConnection(
            socket, m_headTimeoutMs, m_clientTimeoutMs,
            [this](const QByteArray &head, const Reply &reply) { return Answer(head, reply); },
            [this] { ClientEnded(); }, m_clients);
    }
}

void MetricsServer::ClientEnded() {
    --m_openClients;
    AcceptPending();
}

int MetricsServer::Answer(const QByteArray &head, const Reply &reply) {
    const MetricsRequest request = ParseMetricsRequest(head);
    const auto now = [&reply](const std::pair<QByteArray, QByteArray> &answer) {
        reply(answer.first, answer.second);
        return 0;
    };
    switch (request.kind) {
    case MetricsRequest::Kind::BadRequest:
        return now(PlainAnswer("400 Bad Request", "Bad request\n", false));
    case MetricsRequest::Kind::NotFound:
        return now(PlainAnswer("404 Not Found", "Not found\n", request.headOnly));
    case MetricsRequest::Kind::Probe:
        return StartProbe(request, reply);
    case MetricsRequest::Kind::Metrics:
        break;
    }
    if (!m_registry)
        return now(PlainAnswer("503 Service Unavailable", "No metrics\n", request.headOnly));
    // Built once for every scrape until the registry changes.
    if (m_exposition.isEmpty())
        m_exposition = m_registry->Exposition();
    return now({AnswerHead("200 OK", MetricsContentType, m_exposition.size()),
                request.headOnly ? QByteArray() : m_exposition});
}

int MetricsServer::StartProbe(const MetricsRequest &request, const Reply &reply) {
    const bool headOnly = request.headOnly;
    const auto now = [&](const char *status, const QByteArray &body) {
        const auto [head, text] = PlainAnswer(status, body, headOnly);
        reply(head, text);
        return 0;
    };
    if (!m_prober)
        return now("404 Not Found", "Not found\n");
    if (m_probes >= MaxProbes)
        return now("503 Service Unavailable",
                   "Too many probes at once: at most " + QByteArray::number(MaxProbes) + "\n");
    // The scrape's own limit, as the blackbox exporter takes it; an hour at most.
    const int timeoutMs = int(std::min(request.scrapeTimeoutSeconds, 3600.0) * 1000);
    ++m_probes;
    const QPointer<MetricsServer> self(this);
    const ProbeStart start =
        m_prober(request.target, timeoutMs, [self, reply, headOnly](const QByteArray &text) {
            if (self)
                --self->m_probes;
            reply(AnswerHead("200 OK", MetricsContentType, text.size()),
                  headOnly ? QByteArray() : text);
        });
    if (!start.refusal.isEmpty()) {
        --m_probes;
        return now("400 Bad Request", start.refusal.toUtf8() + '\n');
    }
    return std::max(start.waitMs, 1);
}

// --- the metrics file ---

bool WriteMetricsFile(const QString &path, const QByteArray &text, QString *error) {
    QSaveFile file(path);
    const auto fail = [&](const QString &reason) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), reason);
        return false;
    };
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    // The temporary file starts private; the collector that reads it may run as another user.
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                             QFileDevice::ReadGroup | QFileDevice::ReadOther))
        return fail(file.errorString());
    if (file.write(text) != text.size())
        return fail(file.errorString());
    if (!file.commit())
        return fail(file.errorString());
    return true;
}
