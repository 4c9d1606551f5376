#pragma once

#include <QObject>

// Ends the event loop in order on SIGTERM, SIGINT and SIGHUP (a log-out, a kill, Ctrl+C), so the
// main window still saves the settings and the log as it does on Exit.
class QuitOnSignal : public QObject {
    Q_OBJECT
public:
    explicit QuitOnSignal(QObject *parent = nullptr);
    ~QuitOnSignal() override;

private:
    void ExitWhenRunning();
};
