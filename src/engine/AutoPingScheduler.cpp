#include "engine/AutoPingScheduler.h"

#include <limits>

AutoPingScheduler::AutoPingScheduler(QObject *parent) : QObject(parent) {
    m_timer.setInterval(1000);
    connect(&m_timer, &QTimer::timeout, this, &AutoPingScheduler::TimerTimer);
}

quint32 AutoPingScheduler::PeriodSeconds(quint32 intervalMinutes) {
    constexpr quint32 maxMinutes = quint32(std::numeric_limits<qint32>::max()) / 60;
    if (intervalMinutes > maxMinutes)
        intervalMinutes = DefaultMinutes;
    return intervalMinutes * 60;
}

void AutoPingScheduler::Start(quint32 intervalMinutes) {
    m_period = PeriodSeconds(intervalMinutes);
    m_elapsed = 0;
    m_paused = false;
    m_timer.start();
}

void AutoPingScheduler::Stop() {
    m_timer.stop();
    m_paused = false;
}

void AutoPingScheduler::Pause() {
    if (!m_timer.isActive())
        return;
    m_timer.stop();
    m_paused = true;
}

void AutoPingScheduler::Resume() {
    if (!m_paused)
        return;
    m_paused = false;
    m_timer.start();
}

void AutoPingScheduler::SetInterval(quint32 intervalMinutes) {
    m_period = PeriodSeconds(intervalMinutes);
    // The count stops at the period: past it, the tick would count on and never be due.
    if (quint32(m_elapsed) > m_period)
        m_elapsed = qint32(m_period);
}

void AutoPingScheduler::TimerTimer() {
    if (quint32(m_elapsed) != m_period) {
        ++m_elapsed;
    } else if (!m_busy || !m_busy()) {
        m_elapsed = 0;
        emit due();
    }
    emit ticked();
}
