#include "engine/Metrics.h"

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
    }
    return 1;
}

constexpr PingOutcomeKind AllOutcomes[] = {PingOutcomeKind::Completed, PingOutcomeKind::Failed,
                                           PingOutcomeKind::Cancelled};

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

void AppendSample(QByteArray &out, const char *name, const QByteArray &label,
                  const QByteArray &value) {
    out += name;
    out += "{target=\"";
    out += label;
    out += "\"} ";
    out += value;
    out += '\n';
}

QByteArray Seconds(double value) { return QByteArray::number(value, 'g', 9); }

// --- the HTTP side ---

const char MetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";
const char PlainContentType[] = "text/plain; charset=utf-8";

QByteArray BuildAnswer(const char *status, const char *contentType, const QByteArray &body,
                       bool headOnly) {
    QByteArray answer = "HTTP/1.0 ";
    answer += status;
    answer += "\r\nContent-Type: ";
    answer += contentType;
    answer += "\r\nContent-Length: ";
    answer += QByteArray::number(body.size());
    answer += "\r\nConnection: close\r\n\r\n";
    if (!headOnly)
        answer += body;
    return answer;
}

QByteArray BadRequestAnswer() {
    return BuildAnswer("400 Bad Request", PlainContentType, "Bad request\n", false);
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

// One accepted connection: reads a request head of at most MaxHeadBytes, answers once,
// closes. The socket's own buffer is capped as well, so a client that sends without end
// costs no more memory than that.
class MetricsConnection : public QObject {
public:
    using Responder = std::function<QByteArray(const QByteArray &head)>;

    MetricsConnection(QTcpSocket *socket, int timeoutMs, Responder responder, QObject *parent)
        : QObject(parent), m_socket(socket), m_responder(std::move(responder)) {
        socket->setParent(this);
        socket->setReadBufferSize(MetricsServer::MaxHeadBytes + 1);
        auto *deadline = new QTimer(this);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, this, &MetricsConnection::Drop);
        deadline->start(timeoutMs);
        connect(socket, &QTcpSocket::readyRead, this, &MetricsConnection::Read);
        connect(socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
        connect(socket, &QAbstractSocket::errorOccurred, this, [this] {
            // After the answer, a reset or the client's close only ends what is ending anyway;
            // the socket closes itself and reports disconnected.
            if (!m_answered)
                Drop();
        });
        Read();
    }

private:
    void Read() {
        while (!m_answered && m_socket->bytesAvailable() > 0) {
            m_head += m_socket->read(MetricsServer::MaxHeadBytes + 1 - m_head.size());
            if (!m_started) {
                // Empty lines before the request line are allowed and ignored.
                qsizetype skip = 0;
                while (skip < m_head.size() && (m_head[skip] == '\r' || m_head[skip] == '\n'))
                    ++skip;
                m_head.remove(0, skip);
                m_started = !m_head.isEmpty();
            }
            const qsizetype end = HeadEnd(m_head, m_scanned - 2);
            if (end >= 0 && end <= MetricsServer::MaxHeadBytes) {
                Answer(m_responder(m_head.left(end)));
            } else if (m_head.size() > MetricsServer::MaxHeadBytes) {
                Answer(BadRequestAnswer());
            }
            m_scanned = m_head.size();
        }
    }

    void Answer(const QByteArray &answer) {
        m_answered = true;
        m_head.clear();
        m_socket->write(answer);
        m_socket->disconnectFromHost(); // after the answer is written; then "disconnected"
    }

    void Drop() {
        m_answered = true;
        m_socket->abort();
        deleteLater();
    }

    QTcpSocket *m_socket;
    Responder m_responder;
    QByteArray m_head;
    qsizetype m_scanned = 0;
    bool m_started = false;
    bool m_answered = false;
};

} // namespace

// --- MetricsRegistry ---

MetricsRegistry::MetricsRegistry(QObject *parent) : QObject(parent) {}

MetricsRegistry::Series &MetricsRegistry::SeriesFor(const QString &address) {
    auto it = m_series.find(address);
    if (it == m_series.end()) {
        it = m_series.insert(address, Series());
        it->label = EscapeLabelValue(address);
    }
    return *it;
}

void MetricsRegistry::Record(const PingResult &result) {
    Series &series = SeriesFor(result.address);
    ++series.pings[OutcomeIndex(result.outcome)];
    if (result.outcome != PingOutcomeKind::Cancelled) {
        const bool completed = result.outcome == PingOutcomeKind::Completed;
        series.probed = true;
        series.success = completed;
        series.seconds = NonNegative(result.seconds);
        series.httpStatus = completed ? std::max(result.httpStatus, 0) : 0;
        series.lookupSeconds = NonNegative(result.lookupSeconds);
    }
    emit changed();
}

void MetricsRegistry::AddTarget(const QString &address) {
    if (m_series.contains(address))
        return;
    SeriesFor(address);
    emit changed();
}

void MetricsRegistry::RemoveTarget(const QString &address) {
    if (m_series.remove(address) > 0)
        emit changed();
}

QStringList MetricsRegistry::Targets() const { return m_series.keys(); }

QByteArray MetricsRegistry::Exposition() const {
    QByteArray out;
    // About 400 bytes a target, with labels of usual length; one allocation for the lot.
    qsizetype labels = 0;
    for (const Series &series : m_series)
        labels += series.label.size();
    out.reserve(1024 + m_series.size() * 400 + labels * 7);

    AppendFamily(out, "probe_success", "gauge",
                 "1 when the last ping of the target completed, 0 when it failed.");
    for (const Series &series : m_series) {
        if (series.probed)
            AppendSample(out, "probe_success", series.label, series.success ? "1" : "0");
    }
    AppendFamily(out, "probe_duration_seconds", "gauge",
                 "Time of the last ping: to the first answer bytes (http) or to the connect "
                 "(https).");
    for (const Series &series : m_series) {
        if (series.probed)
            AppendSample(out, "probe_duration_seconds", series.label, Seconds(series.seconds));
    }
    AppendFamily(out, "probe_http_status_code", "gauge",
                 "HTTP status code of the last ping; 0 for https (connect only) and failures.");
    for (const Series &series : m_series) {
        if (series.probed)
            AppendSample(out, "probe_http_status_code", series.label,
                         QByteArray::number(series.httpStatus));
    }
    AppendFamily(out, "probe_dns_lookup_time_seconds", "gauge",
                 "Host lookup time of the last ping; 0 when unknown.");
    for (const Series &series : m_series) {
        if (series.probed)
            AppendSample(out, "probe_dns_lookup_time_seconds", series.label,
                         Seconds(series.lookupSeconds));
    }
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

// --- MetricsServer ---

MetricsServer::MetricsServer(const MetricsRegistry *registry, QObject *parent)
    : QObject(parent), m_registry(registry), m_server(new QTcpServer(this)),
      m_clients(new QObject(this)) {
    connect(m_server, &QTcpServer::newConnection, this, &MetricsServer::AcceptPending);
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
}

quint16 MetricsServer::Port() const { return m_server->isListening() ? m_server->serverPort() : 0; }

void MetricsServer::SetClientTimeout(int milliseconds) {
    m_clientTimeoutMs = std::max(milliseconds, 1);
}

void MetricsServer::SetMaxClients(int count) { m_maxClients = std::max(count, 1); }

int MetricsServer::OpenClients() const { return int(m_clients->children().size()); }

void MetricsServer::AcceptPending() {
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        if (OpenClients() >= m_maxClients) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        new MetricsConnection(
            socket, m_clientTimeoutMs, [this](const QByteArray &head) { return Answer(head); },
            m_clients);
    }
}

QByteArray MetricsServer::Answer(const QByteArray &head) const {
    qsizetype lineEnd = head.indexOf('\n');
    QByteArray line = head.left(lineEnd);
    if (line.endsWith('\r'))
        line.chop(1);
    const QList<QByteArray> parts = line.split(' ');
    if (parts.size() != 3 || (parts[2] != "HTTP/1.0" && parts[2] != "HTTP/1.1"))
        return BadRequestAnswer();
    const QByteArray &method = parts[0];
    const QByteArray &target = parts[1];
    const bool headOnly = method == "HEAD";
    const bool metrics = target == "/metrics" || target.startsWith("/metrics?");
    if ((method != "GET" && !headOnly) || !metrics)
        return BuildAnswer("404 Not Found", PlainContentType, "Not found\n", headOnly);
    if (!m_registry)
        return BuildAnswer("503 Service Unavailable", PlainContentType, "No metrics\n", headOnly);
    return BuildAnswer("200 OK", MetricsContentType, m_registry->Exposition(), headOnly);
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
