#pragma once

#include "engine/PingResult.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class QTcpServer;

// The last result and the ping counts of every address pinged or watched in this run, as the
// Prometheus text format (0.0.4) shows them.
class MetricsRegistry : public QObject {
    Q_OBJECT
public:
    explicit MetricsRegistry(QObject *parent = nullptr);

    // One call a finished ping. A cancelled ping is only counted: the probe_* samples keep
    // the last ping that ran to its end.
    void Record(const PingResult &result);
    // A watched address before its first ping: zero counters, no probe_* samples yet.
    void AddTarget(const QString &address);
    // Drops every series of the address.
    void RemoveTarget(const QString &address);

    QStringList Targets() const; // sorted
    QByteArray Exposition() const;

signals:
    void changed();

private:
    struct Series {
        QByteArray label; // the address, escaped as a label value
        bool probed = false;
        bool success = false;
        double seconds = 0;
        int httpStatus = 0;
        double lookupSeconds = 0;
        quint64 pings[3] = {0, 0, 0}; // by PingOutcomeKind
    };

    Series &SeriesFor(const QString &address);

    QMap<QString, Series> m_series; // sorted by address, so the output is stable
};

// Serves GET /metrics on 127.0.0.1. Every exchange is one request and one answer, then the
// connection is closed; nothing here ever waits on a socket.
class MetricsServer : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype MaxHeadBytes = 8192;

    explicit MetricsServer(const MetricsRegistry *registry, QObject *parent = nullptr);
    ~MetricsServer() override;

    // Port 0 picks a free port (see Port()). On failure the error text names the address and
    // the reason.
    bool Listen(quint16 port, QString *error);
    // Stops listening and drops the open connections.
    void Close();
    quint16 Port() const; // 0 when not listening

    // The whole exchange must end within this time, or the client is dropped.
    void SetClientTimeout(int milliseconds);
    int ClientTimeout() const { return m_clientTimeoutMs; }
    // Connections beyond this number are closed at once, so a flood cannot use up the
    // process's file descriptors.
    void SetMaxClients(int count);
    int MaxClients() const { return m_maxClients; }
    int OpenClients() const;

private:
    void AcceptPending();
    QByteArray Answer(const QByteArray &head) const;

    QPointer<const MetricsRegistry> m_registry;
    QTcpServer *m_server = nullptr;
    QObject *m_clients = nullptr; // parent of one object per open connection
    int m_clientTimeoutMs = 5000;
    int m_maxClients = 64;
};

// Replaces the file at path with text in one step (a temporary file in the same folder,
// renamed over it), mode 0644, so a reader never sees half a file.
bool WriteMetricsFile(const QString &path, const QByteArray &text, QString *error);
