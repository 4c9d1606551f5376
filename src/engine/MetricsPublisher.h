#pragma once

#include "engine/Metrics.h"
#include "engine/PingResult.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

// The window's metrics: every finished ping is recorded, served on the metrics port and
// written to the metrics file, as the settings say. Problems are reported once each through
// `problem`, so a port in use or a full disk never floods the log.
//
// The file is rewritten at most once per FileInterval: the first change after a quiet spell
// at once, the ones after it together at the end of the interval, and a change still waiting
// when the publisher goes (or on Flush). A collector reads it once a scrape; a hundred
// watched addresses must not rewrite it ten times a second.
class MetricsPublisher : public QObject {
    Q_OBJECT
public:
    static constexpr int DefaultFileInterval = 5000; // milliseconds

    explicit MetricsPublisher(QObject *parent = nullptr);
    ~MetricsPublisher() override; // writes a change that is still waiting

    // Port 0: no endpoint; an empty path: no file. Listens again only when the port changed.
    void Configure(quint32 port, const QString &file);
    void Record(const PingResult &result);
    void SetNetworkUp(bool up) { m_registry.SetNetworkUp(up); }
    MetricsRegistry *Registry() { return &m_registry; }
    quint16 ListeningPort() const { return m_server.Port(); }
    // /probe?target=URL on the metrics port goes to the prober.
    void SetProber(MetricsProber prober) { m_server.SetProber(std::move(prober)); }

    // Writes a waiting change now.
    void Flush();
    void SetFileInterval(int milliseconds);
    int FileInterval() const { return m_fileIntervalMs; }

signals:
    void problem(const QString &text);

private:
    void RegistryChanged();
    void WriteFile(bool report);

    MetricsRegistry m_registry;
    MetricsServer m_server;
    quint32 m_port = 0;
    QString m_file;
    QString m_lastFileError; // said once until a write succeeds again
    QTimer m_fileTimer;      // runs while a change waits for the interval to pass
    QElapsedTimer m_lastWrite;
    bool m_fileStale = false; // the registry changed since the last write
    int m_fileIntervalMs = DefaultFileInterval;
};
