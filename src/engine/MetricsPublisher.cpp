#include "engine/MetricsPublisher.h"

MetricsPublisher::MetricsPublisher(QObject *parent) : QObject(parent), m_server(&m_registry) {}

void MetricsPublisher::Configure(quint32 port, const QString &file) {
    if (port != m_port) {
        m_server.Close();
        m_port = port;
        QString error;
        if (port > 0 && port <= 65535 && !m_server.Listen(quint16(port), &error))
            emit problem(error);
    }
    if (file != m_file) {
        m_file = file;
        m_lastFileError.clear();
    }
}

void MetricsPublisher::Record(const PingResult &result) {
    m_registry.Record(result);
    WriteFile();
}

void MetricsPublisher::WriteFile() {
    if (m_file.isEmpty())
        return;
    QString error;
    if (WriteMetricsFile(m_file, m_registry.Exposition(), &error)) {
        m_lastFileError.clear();
    } else if (error != m_lastFileError) {
        m_lastFileError = error;
        emit problem(error);
    }
}
