#include "app/RepaintThrottle.h"

#include <QWidget>

TRepaintThrottle::TRepaintThrottle(QWidget *widget, int periodMs, std::function<void()> settle)
    : QObject(widget), m_widget(widget), m_settle(std::move(settle)) {
    m_timer.setSingleShot(true);
    m_timer.setInterval(periodMs);
    connect(&m_timer, &QTimer::timeout, this, &TRepaintThrottle::Release);
}

void TRepaintThrottle::Changed() {
    if (!m_timer.isActive()) {
        // Quiet until now: shown at once, and the period starts.
        m_settle();
        m_timer.start();
        return;
    }
    if (!m_holding) {
        m_holding = true;
        // Updates off for the widget and its children: no repaint is queued, and scrolling
        // skips its drawing work.
        m_widget->setUpdatesEnabled(false);
    }
}

void TRepaintThrottle::Release() {
    if (!m_holding)
        return; // nothing changed during the period: the next change shows at once
    m_holding = false;
    m_settle();
    m_widget->setUpdatesEnabled(true); // repaints the whole widget once
    m_timer.start();                   // a flood goes on being drawn once a period
}
