#include "support/gui/TestEnvironment.h"

#include "support/gui/RecordingTrayShell.h"

#include <QDir>
#include <QFile>

namespace {

QByteArray PathIn(const QTemporaryDir &dir, const char *folder) {
    return QFile::encodeName(dir.filePath(QLatin1String(folder)));
}

// Made at once and private to the user: Qt refuses a runtime folder that others can enter.
QByteArray RuntimeFolder(const QTemporaryDir &dir) {
    const QString runtime = dir.filePath(QStringLiteral("runtime"));
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return QFile::encodeName(runtime);
}

} // namespace

TestEnvironment::TestEnvironment()
    : m_config("XDG_CONFIG_HOME", PathIn(m_dir, "config")),
      m_runtime("XDG_RUNTIME_DIR", RuntimeFolder(m_dir)),
      m_data("XDG_DATA_HOME", PathIn(m_dir, "data")),
      m_cache("XDG_CACHE_HOME", PathIn(m_dir, "cache")) {
    SetMessageBoxHook([this](const MessageBoxRequest &request) {
        if (onMessage)
            onMessage(request);
        messages << request;
    });
    RecordingTrayShell::Install();
}

TestEnvironment::~TestEnvironment() {
    RecordingTrayShell::Uninstall();
    SetMessageBoxHook(nullptr);
}

QString TestEnvironment::Path(const QString &relative) const {
    return relative.isEmpty() ? m_dir.path() : m_dir.filePath(relative);
}

QString TestEnvironment::ConfigHome() const { return Path(QStringLiteral("config")); }

QString TestEnvironment::RuntimeDir() const { return Path(QStringLiteral("runtime")); }

QString TestEnvironment::StorePath() const {
    return ConfigHome() + QStringLiteral("/Lumo Dev/Vennatro.reg");
}

QByteArray TestEnvironment::StoreText(const QByteArray &valueLines, const QByteArray &eol) {
    return "REGEDIT4" + eol + eol + "[HKEY_CURRENT_USER\\Software\\Lumo Dev\\Vennatro]" + eol +
           valueLines;
}

bool TestEnvironment::WriteStore(const QByteArray &valueLines) const {
    if (!QDir().mkpath(QFileInfo(StorePath()).absolutePath()))
        return false;
    QFile store(StorePath());
    const QByteArray text = StoreText(valueLines);
    return store.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           store.write(text) == text.size();
}
