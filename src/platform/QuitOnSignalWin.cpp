#include "platform/QuitOnSignal.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSemaphore>
#include <QThread>
#include <QTimer>

#include <mutex>
#include <windows.h>

// Windows has no signals: Ctrl+C, Ctrl+Break, closing the console, logging off and shutting
// down reach a console program as control events, on a thread of their own.

namespace {

std::mutex instanceMutex;
QPointer<QuitOnSignal> instance; // guarded by instanceMutex
// Released once the object is gone, i.e. the program has left its loop and saved.
QSemaphore *ended = nullptr;

BOOL WINAPI OnControl(DWORD event) {
    QSemaphore *wait = nullptr;
    {
        const std::lock_guard lock(instanceMutex);
        if (!instance)
            return FALSE; // the default: the process ends
        QuitOnSignal *target = instance;
        QMetaObject::invokeMethod(
            target, [target] { target->HandleControl(); }, Qt::QueuedConnection);
        wait = ended;
    }
    // Closing the console, a log-off and a shutdown end the process as soon as this returns:
    // the program gets the few seconds Windows allows to save first.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        wait->tryAcquire(1, 4500);
    return TRUE;
}

} // namespace

QuitOnSignal::QuitOnSignal(HangUp hangUp, QObject *parent) : QObject(parent), m_hangUp(hangUp) {
    {
        const std::lock_guard lock(instanceMutex);
        instance = this;
        if (!ended)
            ended = new QSemaphore; // lives as long as the process: the handler may still wait
    }
    ::SetConsoleCtrlHandler(OnControl, TRUE);
}

void QuitOnSignal::HandleControl() {
    if (!m_requested) {
        m_requested = true;
        emit endRequested();
    }
    ExitWhenRunning();
}

void QuitOnSignal::ExitWhenRunning() {
    // An event handled while the program is still starting would be lost: exit() only ends a
    // running loop. Ask again shortly.
    if (QThread::currentThread()->loopLevel() == 0) {
        QTimer::singleShot(10, this, [this] { ExitWhenRunning(); });
        return;
    }
    QCoreApplication::exit(0);
}

QuitOnSignal::~QuitOnSignal() {
    ::SetConsoleCtrlHandler(OnControl, FALSE);
    const std::lock_guard lock(instanceMutex);
    instance = nullptr;
    ended->release();
}
