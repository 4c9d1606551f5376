#pragma once

#include <QObject>
#include <QString>
#include <memory>
#include <optional>

class QLocalServer;
class QLocalSocket;

// The places the lock's folder may be, in the order they are tried. Only a folder of this
// user that nobody else may enter is used, so that no other local user can keep the program
// from starting (or listen in on its activations).
struct InstanceFolderPlaces {
    QString runtimeDir; // $XDG_RUNTIME_DIR itself, when it is ours with mode 0700
    QString sharedTemp; // "/tmp": a 0700 folder "vennatro-<uid>" in it
    QString cacheHome;  // $XDG_CACHE_HOME (absolute) or ~/.cache: a 0700 folder "vennatro" in it
    static InstanceFolderPlaces FromEnvironment();
};

// One running instance a user session: an exclusive flock on "<name>.lock" in the first
// usable folder of InstanceFolderPlaces, released by the kernel when the process dies, and a
// QLocalServer beside it that a second start writes the activation text to. On Windows the
// lock is the session's named mutex "<name>", the folder the user's local application data,
// and the server a named pipe.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // name: "Vennatro - Lumo"; message: the activation text.
    SingleInstance(const QString &name, const QString &message, QObject *parent = nullptr);
    ~SingleInstance() override; // releases the lock

    // True when this process now holds the lock (and listens for activations). False when
    // another process holds it, or when the lock could not be taken at all: then
    // errorString() says why.
    bool tryLock();
    // From a second start: delivers the activation text to the holder. True when delivered.
    bool activateRunning(int timeoutMs = 1000);

    // What this instance is, written into the lock file once it holds the lock ("window",
    // "service"), so that a second start can tell whom it met.
    void setRole(const QString &role) { m_role = role; }
    // The role the holder of the lock wrote; empty when none is known.
    QString holderRole() const;

    // Why the last tryLock or activateRunning failed; empty when another instance simply
    // holds the lock.
    QString errorString() const { return m_error; }

    // The places this instance looks in; the environment's unless set (tests).
    void setFolderPlaces(const InstanceFolderPlaces &places) { m_places = places; }

    // The folder of the lock and the socket; empty when no usable folder exists (the reason
    // for each place goes to *error when given).
    static QString runtimeFolder(QString *error = nullptr);
    static QString runtimeFolder(const InstanceFolderPlaces &places, QString *error = nullptr);
    // Makes sure path is a folder of this user with mode 0700, creating it when missing.
    // Refuses a symbolic link, another owner or a wider mode.
    static bool preparePrivateFolder(const QString &path, QString *error = nullptr);

signals:
    void activationRequested();

private:
    void acceptConnections();
    bool readMessage(QLocalSocket *socket); // false: the connection was dropped
    void finishMessage(QLocalSocket *socket);
    QString chooseFolder(QString *error) const;
    // The system's part: takes the lock and notes the role in the lock file; false when another
    // instance holds it (m_error empty) or it could not be taken (m_error says why).
    bool takeLock(const QString &folder);
    void releaseLock();
    QString lockPath(const QString &folder) const;
    QString serverPath(const QString &folder) const; // the activation server's name

    std::optional<InstanceFolderPlaces> m_places;
    QString m_name;
    QString m_message;
    QString m_role = QStringLiteral("window");
    QString m_error;
    qintptr m_lock = -1; // the lock file's descriptor, or the mutex's handle on Windows
    QLocalServer *m_server = nullptr;
};

// Sends the activation text to the running instance; true when it was delivered. The running
// instance is found by its lock folder, not by a window class.
bool ActivatePreviousInstance(const QString &WindowClassName);
