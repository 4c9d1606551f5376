#pragma once

#include "engine/Metrics.h"
#include "engine/PingResult.h"

#include <QObject>
#include <QString>

// The window's metrics: every finished ping is recorded, served on the metrics port and
// written to the metrics file, as the settings say. Problems are reported once each through
// `problem`, so a port in use or a full disk never floods the log.
class MetricsPublisher : public QObject {
    Q_OBJECT
public:
    explicit MetricsPublisher(QObject *parent = nullptr);

    // Port 0: no endpoint; an empty path: no file. Listens again only when the port changed.
    void Configure(quint32 port, const QString &file);
    void Record(const PingResult &result);
    MetricsRegistry *Registry() { return &m_registry; }
    quint16 ListeningPort() const { return m_server.Port(); }

signals:
    void problem(const QString &text);

private:
    void WriteFile();

    MetricsRegistry m_registry;
    MetricsServer m_server;
    quint32 m_port = 0;
    QString m_file;
    QString m_lastFileError; // said once until a write succeeds again
};
