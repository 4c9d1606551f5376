#include "platform/QuitOnSignal.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int signalPipe[2] = {-1, -1};

void OnSignal(int sig) {
    // Only async-signal-safe work here: the event loop does the rest.
    const char byte = char(sig);
    [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
}
} // namespace

QuitOnSignal::QuitOnSignal(HangUp hangUp, QObject *parent) : QObject(parent), m_hangUp(hangUp) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char buffer[16];
        bool end = false;
        bool reload = false;
        ssize_t n;
        while ((n = ::read(signalPipe[0], buffer, sizeof buffer)) > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] == SIGHUP && m_hangUp == HangUp::Reloads)
                    reload = true;
                else
                    end = true;
            }
        }
        if (reload && !m_requested)
            emit reloadRequested();
        if (!end)
            return;
        if (!m_requested) {
            m_requested = true;
            emit endRequested();
        }
        ExitWhenRunning();
    });
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &action, nullptr);
}

void QuitOnSignal::ExitWhenRunning() {
    // A signal handled while the program is still starting (a pass of pending events before
    // the loop runs) would be lost: exit() only ends a running loop. Ask again shortly.
    if (QThread::currentThread()->loopLevel() == 0) {
        QTimer::singleShot(10, this, [this] { ExitWhenRunning(); });
        return;
    }
    // exit() rather than quit(): quit() first asks the windows to close, and the main window
    // answers a close by hiding to the tray.
    QCoreApplication::exit(0);
}

QuitOnSignal::~QuitOnSignal() {
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &action, nullptr);
    for (int &fd : signalPipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}
