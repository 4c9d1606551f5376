#include "store/Options.h"
#include "store/RegStore.h"

#include <QScopeGuard>

#include <cstring>
#include <optional>
#include <windows.h>

#include <vector>

// The store in the registry itself: the program's key below HKEY_CURRENT_USER, its values as
// REG_DWORD and REG_SZ. The "path" the other functions take names the key
// ("HKEY_CURRENT_USER\Software\Lumo Dev\Vennatro").

namespace {

const QString RootPrefix = QStringLiteral("HKEY_CURRENT_USER\\");

const wchar_t *Wide(const QString &text) { return reinterpret_cast<const wchar_t *>(text.utf16()); }

// The system's text for a registry error, without the full stop and line break it ends with.
QString SystemText(LSTATUS code) {
    wchar_t *buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, DWORD(code), 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    QString text = length ? QString::fromWCharArray(buffer, int(length)) : QString();
    ::LocalFree(buffer);
    while (!text.isEmpty() && (text.back().isSpace() || text.back() == QLatin1Char('.')))
        text.chop(1);
    return text.isEmpty() ? QStringLiteral("error %1").arg(code) : text;
}

// The key path below HKEY_CURRENT_USER that a store path names.
QString KeyOf(const QString &path) {
    return NormaliseRegKeyPath(
        path.startsWith(RootPrefix, Qt::CaseInsensitive) ? path.mid(RootPrefix.size()) : path);
}

// REG_SZ data as text: UTF-16 without the terminating NULs the writer may or may not have
// stored.
QString TextOf(const std::vector<BYTE> &data, DWORD size) {
    QString text = QString::fromWCharArray(reinterpret_cast<const wchar_t *>(data.data()),
                                           int(size / sizeof(wchar_t)));
    while (text.endsWith(QChar(u'\0')))
        text.chop(1);
    return text;
}

RegValue ValueOf(DWORD type, const std::vector<BYTE> &data, DWORD size) {
    RegValue value;
    if (type == REG_DWORD && size == sizeof(DWORD)) {
        value.kind = RegValue::Dword;
        std::memcpy(&value.dword, data.data(), sizeof(DWORD));
    } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
        value.kind = type == REG_SZ ? RegValue::Sz : RegValue::ExpandSz;
        value.text = TextOf(data, size);
    } else {
        value.kind = RegValue::Other;
        value.otherType = type;
        value.otherData = QByteArray(reinterpret_cast<const char *>(data.data()), qsizetype(size));
    }
    return value;
}

// All values of an open key. Nothing when they cannot be read.
std::optional<RegKey> ReadKey(HKEY key, const QString &name, LSTATUS *status) {
    RegKey result;
    result.name = name;
    DWORD count = 0, longestName = 0, longestData = 0;
    *status = ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                                 &longestName, &longestData, nullptr, nullptr);
    if (*status != ERROR_SUCCESS)
        return std::nullopt;
    std::vector<wchar_t> valueName(longestName + 1);
    std::vector<BYTE> data(longestData + sizeof(wchar_t));
    for (DWORD i = 0; i < count; ++i) {
        DWORD nameLength = DWORD(valueName.size());
        DWORD size = DWORD(data.size());
        DWORD type = 0;
        *status = ::RegEnumValueW(key, i, valueName.data(), &nameLength, nullptr, &type,
                                  data.data(), &size);
        if (*status == ERROR_NO_MORE_ITEMS)
            break;
        if (*status != ERROR_SUCCESS)
            return std::nullopt;
        const QString text = QString::fromWCharArray(valueName.data(), int(nameLength));
        result.values.insert(text.toLower(), qMakePair(text, ValueOf(type, data, size)));
    }
    *status = ERROR_SUCCESS;
    return result;
}

std::optional<RegDocument> Read(const QString &path, QString *problem) {
    const QString keyPath = KeyOf(path);
    HKEY key = nullptr;
    const LSTATUS opened =
        ::RegOpenKeyExW(HKEY_CURRENT_USER, Wide(keyPath), 0, KEY_QUERY_VALUE, &key);
    if (opened == ERROR_FILE_NOT_FOUND)
        return RegDocument{};
    LSTATUS status = opened;
    std::optional<RegKey> values;
    if (opened == ERROR_SUCCESS) {
        values = ReadKey(key, keyPath, &status);
        ::RegCloseKey(key);
    }
    if (!values) {
        if (problem)
            *problem = QStringLiteral("Cannot read the registry key \"%1%2\": %3.")
                           .arg(RootPrefix, keyPath, SystemText(status));
        return std::nullopt;
    }
    RegDocument doc;
    doc.keys.insert(keyPath.toLower(), *values);
    return doc;
}

LSTATUS WriteValue(HKEY key, const QString &name, const RegValue &value) {
    switch (value.kind) {
    case RegValue::Dword: {
        const DWORD data = value.dword;
        return ::RegSetValueExW(key, Wide(name), 0, REG_DWORD,
                                reinterpret_cast<const BYTE *>(&data), sizeof data);
    }
    case RegValue::Sz:
    case RegValue::ExpandSz: {
        // With its terminating NUL, as the registry's own writers store text.
        const DWORD size = DWORD((value.text.size() + 1) * sizeof(wchar_t));
        return ::RegSetValueExW(key, Wide(name), 0,
                                value.kind == RegValue::Sz ? REG_SZ : REG_EXPAND_SZ,
                                reinterpret_cast<const BYTE *>(value.text.utf16()), size);
    }
    case RegValue::Other:
        return ::RegSetValueExW(key, Wide(name), 0, value.otherType,
                                reinterpret_cast<const BYTE *>(value.otherData.constData()),
                                DWORD(value.otherData.size()));
    }
    return ERROR_INVALID_PARAMETER;
}

} // namespace

QString RegStorePath() { return RootPrefix + QString::fromLatin1(SettingsKey); }

void RemoveStoreLeftovers(const QString &) {
    // The registry writes each value whole; a save leaves nothing behind.
}

RegDocument LoadRegStore(const QString &path) {
    QString problem;
    std::optional<RegDocument> doc = Read(path, &problem);
    if (!doc)
        throw ERegStoreUnreadable(problem, false); // never written over: it may hold more
    return std::move(*doc);
}

std::optional<RegDocument> ReadRegStore(const QString &path, QString *problem) {
    return Read(path, problem);
}

void SaveRegStore(const QString &path, const RegDocument &doc) {
    // The program's key is the whole store: values gone from the document (deleted through
    // the accessor) leave the key; other keys are never touched.
    const QString keyPath = KeyOf(path);
    const RegKey wanted = doc.keys.value(keyPath.toLower());
    HKEY key = nullptr;
    LSTATUS status =
        ::RegCreateKeyExW(HKEY_CURRENT_USER, Wide(keyPath), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr);
    const auto fail = [&](const QString &what) {
        throw ERegistryException(QStringLiteral("Cannot write %1 in the registry key \"%2%3\": %4.")
                                     .arg(what, RootPrefix, keyPath, SystemText(status)));
    };
    if (status != ERROR_SUCCESS)
        fail(QStringLiteral("anything"));
    const auto closer = qScopeGuard([key] { ::RegCloseKey(key); });
    Q_UNUSED(closer);
    for (const auto &entry : wanted.values) {
        status = WriteValue(key, entry.first, entry.second);
        if (status != ERROR_SUCCESS)
            fail(QStringLiteral("the value \"%1\"").arg(entry.first));
    }
    const std::optional<RegKey> stored = ReadKey(key, keyPath, &status);
    if (!stored)
        fail(QStringLiteral("anything"));
    for (const auto &entry : stored->values) {
        if (!wanted.values.contains(entry.first.toLower())) {
            status = ::RegDeleteValueW(key, Wide(entry.first));
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
                fail(QStringLiteral("the value \"%1\"").arg(entry.first));
        }
    }
}

QString StoreWriteFailureText() {
    return QStringLiteral(
        "Error while writing in the Windows Registry.\rCheck that you have the proper rights.");
}
