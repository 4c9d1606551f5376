#pragma once

#include <QApplication>

// The application object: exceptions that escape a handler are handed to the program's error
// display instead of unwinding through Qt's event loop.
class VennatroApplication : public QApplication {
    Q_OBJECT
public:
    VennatroApplication(int &argc, char **argv);
    bool notify(QObject *receiver, QEvent *event) override;
};

// True when the first argument is "-quiet" in any letter case; later arguments do not count.
bool StartQuiet(const QStringList &arguments);
