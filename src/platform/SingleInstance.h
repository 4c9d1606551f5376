#pragma once

#include <QObject>
#include <QString>
#include <memory>

class QLocalServer;

// One running instance a user session: an exclusive flock on "<name>.lock" in
// $XDG_RUNTIME_DIR (fallback: a 0700 folder /tmp/vennatro-<uid>), released by the kernel when
// the process dies, and a QLocalServer beside it that a second start writes the activation
// text to.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // name: "Vennatro - Lumo"; message: the activation text.
    SingleInstance(const QString &name, const QString &message, QObject *parent = nullptr);
    ~SingleInstance() override; // releases the lock

    // True when this process now holds the lock (and listens for activations).
    bool tryLock();
    // From a second start: delivers the activation text to the holder. True when delivered.
    bool activateRunning(int timeoutMs = 1000);

    static QString runtimeFolder();

signals:
    void activationRequested();

private:
    QString m_name;
    QString m_message;
    int m_lockFd = -1;
    QLocalServer *m_server = nullptr;
};
