#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

class QWidget;

// Holds a widget's repaints while changes come in quick succession. The first change after a
// quiet spell shows at once; the ones that follow it show together at most once a period.
// The model behind the widget changes at once either way: only the drawing waits.
class TRepaintThrottle : public QObject {
public:
    // settle: what makes the widget's view current (scrolling, say), run when it is shown.
    TRepaintThrottle(QWidget *widget, int periodMs, std::function<void()> settle);

    // After each change of what the widget shows.
    void Changed();
    bool Holding() const { return m_holding; }
    // No change within the last period: the next one shows at once.
    bool Quiet() const { return !m_timer.isActive(); }

private:
    void Release();

    QWidget *m_widget;
    std::function<void()> m_settle;
    QTimer m_timer;
    bool m_holding = false;
};
