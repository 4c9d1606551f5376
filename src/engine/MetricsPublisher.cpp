#include "engine/MetricsPublisher.h"

#include <algorithm>

MetricsPublisher::MetricsPublisher(QObject *parent) : QObject(parent), m_server(&m_registry) {
    m_fileTimer.setSingleShot(true);
    // A coarse timer may fire up to 5 % early: "at most once per interval" would not hold.
    m_fileTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_fileTimer, &QTimer::timeout, this, [this] { WriteFile(true); });
    // Watched addresses added or removed change the file as well as pings do.
    connect(&m_registry, &MetricsRegistry::changed, this, &MetricsPublisher::RegistryChanged);
}

MetricsPublisher::~MetricsPublisher() {
    // Nobody is left to hear of a failure at this point.
    m_fileTimer.stop();
    if (m_fileStale)
        WriteFile(false);
}

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
        if (m_file.isEmpty()) {
            m_fileTimer.stop();
            m_fileStale = false;
        }
    }
}

void MetricsPublisher::Record(const PingResult &result) { m_registry.Record(result); }

void MetricsPublisher::Flush() {
    m_fileTimer.stop();
    if (m_fileStale)
        WriteFile(true);
}

void MetricsPublisher::SetFileInterval(int milliseconds) {
    m_fileIntervalMs = std::max(milliseconds, 0);
}

void MetricsPublisher::RegistryChanged() {
    if (m_file.isEmpty())
        return;
    m_fileStale = true;
    if (m_fileTimer.isActive())
        return; // the waiting write takes this change along
    const qint64 since = m_lastWrite.isValid() ? m_lastWrite.elapsed() : m_fileIntervalMs;
    if (since >= m_fileIntervalMs)
        WriteFile(true);
    else
        m_fileTimer.start(int(m_fileIntervalMs - since));
}

void MetricsPublisher::WriteFile(bool report) {
    if (m_file.isEmpty())
        return;
    m_fileStale = false;
    // A failed write counts too: a full disk is not tried again after every ping.
    m_lastWrite.start();
    QString error;
    if (WriteMetricsFile(m_file, m_registry.Exposition(), &error)) {
        m_lastFileError.clear();
    } else if (report && error != m_lastFileError) {
        m_lastFileError = error;
        emit problem(error);
    }
}
