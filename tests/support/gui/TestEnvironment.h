#pragma once

// The private world of a widget test, for as long as the object lives: store, runtime, data
// and cache folders of its own (the XDG variables point into a temporary folder and get their
// old values back afterwards), message boxes recorded instead of shown, and the recording
// notification area for every tray icon made meanwhile.

#include "platform/gui/MessageBox.h"
#include "support/TestHelpers.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <memory>

class TestEnvironment {
public:
    TestEnvironment();
    ~TestEnvironment();
    TestEnvironment(const TestEnvironment &) = delete;
    TestEnvironment &operator=(const TestEnvironment &) = delete;

    bool IsValid() const { return m_dir.isValid(); }
    // A path in the temporary folder (the folder itself when relative is empty).
    QString Path(const QString &relative = QString()) const;
    QString ConfigHome() const; // XDG_CONFIG_HOME; made by the program when it saves
    QString RuntimeDir() const; // XDG_RUNTIME_DIR, mode 0700
    QString StorePath() const;  // the program's store file below ConfigHome()

    // A store file holding the program's key with the given value lines, each ending in eol.
    static QByteArray StoreText(const QByteArray &valueLines, const QByteArray &eol = "\r\n");
    // Writes the store file a previous run would have left: StoreText(valueLines).
    bool WriteStore(const QByteArray &valueLines) const;

    QList<MessageBoxRequest> messages; // every message box, in order
    // Runs inside each message box, before it is recorded.
    std::function<void(const MessageBoxRequest &)> onMessage;

private:
    QTemporaryDir m_dir; // declared first: the variables go back before it is removed
    ScopedEnv m_config;
    ScopedEnv m_runtime;
    ScopedEnv m_data;
    ScopedEnv m_cache;
};
