#pragma once

#include <QObject>

// Ends the event loop in order on SIGTERM, SIGINT and SIGHUP (a log-out, a kill, Ctrl+C), so the
// main window still saves the settings and the log as it does on Exit. On Windows: the console's
// control events (Ctrl+C, Ctrl+Break, closing the console, log-off, shut-down). A service takes
// SIGHUP as the request to read its settings again, as daemons do.
class QuitOnSignal : public QObject {
    Q_OBJECT
public:
    enum class HangUp { Ends, Reloads };
    explicit QuitOnSignal(HangUp hangUp = HangUp::Ends, QObject *parent = nullptr);
    ~QuitOnSignal() override;

    // True once one of the signals has been handled. A signal handled during start-up may only
    // have closed a message box's own loop: the program asks this before it enters its own.
    bool Requested() const { return m_requested; }

    // Windows: a console control event, posted to this object's thread from the one the system
    // calls its handler on.
    void HandleControl();

signals:
    // The first handled signal; the loops are asked to end right after.
    void endRequested();
    // SIGHUP, with HangUp::Reloads.
    void reloadRequested();

private:
    void ExitWhenRunning();

    bool m_requested = false;
    HangUp m_hangUp;
};
