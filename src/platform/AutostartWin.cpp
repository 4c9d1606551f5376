#include "platform/Autostart.h"

#include "support/Exceptions.h"

#include <QDir>

#include <windows.h>

// The log-on start entry is the Run key's value "Vennatro": the program's full path, a blank
// and "-quiet", the path not quoted.

namespace {

const wchar_t *Wide(const QString &text) { return reinterpret_cast<const wchar_t *>(text.utf16()); }

const QString RunKey = QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion\\Run");
const QString EntryName = QStringLiteral("Vennatro");

} // namespace

QString AutostartPath() { return QStringLiteral("HKEY_CURRENT_USER\\") + RunKey; }

void WriteAutostart(const QString &programPath) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, Wide(RunKey), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        throw Exception(QStringLiteral("Operation aborted"));
    const QString data = QDir::toNativeSeparators(programPath) + QStringLiteral(" -quiet");
    const LSTATUS status = ::RegSetValueExW(key, Wide(EntryName), 0, REG_SZ,
                                            reinterpret_cast<const BYTE *>(data.utf16()),
                                            DWORD((data.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        throw ERegistryException(QStringLiteral("Failed to write the value '%1'").arg(EntryName));
}

void RemoveAutostart() {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, Wide(RunKey), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    ::RegDeleteValueW(key, Wide(EntryName));
    ::RegCloseKey(key);
}
