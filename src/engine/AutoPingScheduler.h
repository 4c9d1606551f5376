#pragma once

#include <QObject>
#include <QTimer>
#include <functional>

// Automatic ping every N minutes: the one-second timer, the countdown and the interval clamp.
// It only counts; whoever connects to `due` pings.
class AutoPingScheduler : public QObject {
    Q_OBJECT
public:
    static constexpr quint32 DefaultMinutes = 15;

    explicit AutoPingScheduler(QObject *parent = nullptr);

    // The period of an interval: one that does not fit the signed 32-bit countdown (an
    // overflowing or a negative stored interval) falls back to the default.
    static quint32 PeriodSeconds(quint32 intervalMinutes);

    // Starts counting from zero with the interval's period.
    void Start(quint32 intervalMinutes);
    void Stop();
    // A new interval for the running count: the seconds already counted stay, so the
    // countdown goes on from the new period (a ping is due at once when they already reach it).
    void SetInterval(quint32 intervalMinutes);
    bool Active() const { return m_timer.isActive() || m_paused; }
    // The computer sleeps: the countdown stops where it is, and goes on from there at Resume.
    void Pause();
    void Resume();
    QTimer *Timer() { return &m_timer; } // tests tick by hand

    quint32 AutoPingSeconds() const { return m_period; }
    qint32 AutoPingElapsed() const { return m_elapsed; }
    void SetElapsed(qint32 elapsed) { m_elapsed = elapsed; }
    qint32 Remaining() const { return qint32(m_period) - m_elapsed; }

    // Whether a ping is under way: a due ping waits for it.
    void SetBusyCheck(std::function<bool()> busy) { m_busy = std::move(busy); }

    // One second passed: count, or report the ping due once the pinger is free.
    void TimerTimer();

signals:
    void due();
    // After every second, due or not.
    void ticked();

private:
    QTimer m_timer;
    quint32 m_period = 0;
    qint32 m_elapsed = 0;
    std::function<bool()> m_busy;
    bool m_paused = false;
};
