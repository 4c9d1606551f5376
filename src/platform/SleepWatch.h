#pragma once

#include <QObject>
#include <QString>
#include <functional>

// When this computer sleeps. systemd-logind announces a suspend on the system bus
// (PrepareForSleep true before, false after); a sleep nobody announced shows in the clocks:
// CLOCK_BOOTTIME counts the time suspended, CLOCK_MONOTONIC does not.
class SleepWatch : public QObject {
    Q_OBJECT
public:
    explicit SleepWatch(QObject *parent = nullptr);

    // Listens to logind on the system bus (DBUS_SYSTEM_BUS_ADDRESS, else the system's).
    // Without a bus or a logind the clocks alone tell; Problem() says why.
    void Listen();
    bool Listening() const { return m_listening; }
    // Why Listen could not follow logind; empty when it could (or was not asked to).
    const QString &Problem() const { return m_problem; }

    // The milliseconds this computer has spent suspended since it booted.
    qint64 SuspendedMs() const;
    // Another clock of the time suspended, in milliseconds. For tests.
    void SetClock(std::function<qint64()> clock) { m_clock = std::move(clock); }

signals:
    // logind's PrepareForSleep: true the computer is about to sleep, false it woke.
    void preparing(bool sleep);

private slots:
    void OnPrepareForSleep(bool start);

private:
    std::function<qint64()> m_clock;
    bool m_listening = false;
    QString m_problem;
};
