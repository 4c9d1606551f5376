#include "platform/SleepWatch.h"

#include <ctime>

#if defined(Q_OS_LINUX)
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#endif

namespace {

#if defined(Q_OS_LINUX)
qint64 Ms(clockid_t clock) {
    timespec t{};
    if (::clock_gettime(clock, &t) != 0)
        return 0;
    return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}
#endif

} // namespace

SleepWatch::SleepWatch(QObject *parent) : QObject(parent) {}

qint64 SleepWatch::SuspendedMs() const {
    if (m_clock)
        return m_clock();
#if defined(Q_OS_LINUX)
    // Read back to back; the few microseconds between them are far below what counts.
    const qint64 monotonic = Ms(CLOCK_MONOTONIC);
    return Ms(CLOCK_BOOTTIME) - monotonic;
#else
    return 0;
#endif
}

void SleepWatch::Listen() {
    if (m_listening || !m_problem.isEmpty())
        return;
#if defined(Q_OS_LINUX)
    const QString service = QStringLiteral("org.freedesktop.login1");
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        m_problem = QStringLiteral("no system bus: %1").arg(bus.lastError().message());
        return;
    }
    // The match stands even while logind is away: it may start later.
    m_listening =
        bus.connect(service, QStringLiteral("/org/freedesktop/login1"),
                    QStringLiteral("org.freedesktop.login1.Manager"),
                    QStringLiteral("PrepareForSleep"), this, SLOT(OnPrepareForSleep(bool)));
    if (!m_listening)
        m_problem = QStringLiteral("logind's sleep signal cannot be followed");
    else if (!bus.interface() || !bus.interface()->isServiceRegistered(service))
        m_problem = QStringLiteral("systemd-logind is not on the system bus");
#else
    m_problem = QStringLiteral("no systemd-logind on this system");
#endif
}

void SleepWatch::OnPrepareForSleep(bool start) { emit preparing(start); }
