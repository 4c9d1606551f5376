#include "store/RegistryDefault.h"

namespace {
// Registry access bits that allow changes: set value, create sub-key.
constexpr quint32 WriteAccess = 0x0002 | 0x0004;
constexpr quint32 FullAccess = 0xF003F;

ERegistryException InvalidType(const QString &name) {
    return ERegistryException(QStringLiteral("Invalid data type for '%1'").arg(name));
}

ERegistryException Missing(const QString &name) {
    return ERegistryException(QStringLiteral("The value '%1' does not exist").arg(name));
}
} // namespace

TRegistryDefault::TRegistryDefault() : TRegistryDefault(FullAccess) {}

TRegistryDefault::TRegistryDefault(quint32 access)
    : m_write((access & WriteAccess) != 0), m_path(RegStorePath()) {
    try {
        m_doc = LoadRegStore(m_path);
    } catch (const ERegStoreUnreadable &e) {
        m_loadError = e.Message();
        m_locked = !e.KeptAsBad();
    } catch (const ERegistryException &e) {
        m_loadError = e.Message();
        m_locked = true;
    }
}

TRegistryDefault::TRegistryDefault(const RegDocument &document)
    : m_write(false), m_doc(document), m_locked(true) {}

TRegistryDefault::TRegistryDefault(InMemory) : m_write(true) {}

TRegistryDefault::~TRegistryDefault() {
    if (!m_dirty || m_path.isEmpty())
        return;
    try {
        SaveRegStore(m_path, m_doc);
    } catch (const ERegistryException &) {
        // Nobody is left to tell; CloseKey is where a caller learns of a failed write.
    }
}

bool TRegistryDefault::OpenKey(const QString &key, bool canCreate) {
    const QString path = NormaliseRegKeyPath(key);
    if (path.isEmpty() || (m_write && m_locked))
        return false;
    const QString id = path.toLower();
    if (!m_doc.keys.contains(id)) {
        if (!canCreate || !m_write)
            return false;
        m_doc.keys[id].name = path;
        m_dirty = true;
    }
    m_currentKey = id;
    return true;
}

bool TRegistryDefault::OpenKeyReadOnly(const QString &key) const {
    const QString path = NormaliseRegKeyPath(key);
    if (path.isEmpty() || !m_doc.keys.contains(path.toLower()))
        return false;
    m_currentKey = path.toLower();
    return true;
}

void TRegistryDefault::CloseKey() {
    m_currentKey.clear();
    if (!m_dirty)
        return;
    // Cleared first: a failed write is reported here once, not retried by the destructor.
    m_dirty = false;
    if (!m_path.isEmpty())
        SaveRegStore(m_path, m_doc);
}

const RegValue *TRegistryDefault::Find(const QString &name) const {
    if (m_currentKey.isEmpty())
        return nullptr;
    const auto key = m_doc.keys.constFind(m_currentKey);
    if (key == m_doc.keys.cend())
        return nullptr;
    const auto value = key->values.constFind(name.toLower());
    return value == key->values.cend() ? nullptr : &value->second;
}

bool TRegistryDefault::ValueExists(const QString &name) const { return Find(name) != nullptr; }

QStringList TRegistryDefault::ValueNames() const {
    QStringList names;
    const auto key = m_doc.keys.constFind(m_currentKey);
    if (m_currentKey.isEmpty() || key == m_doc.keys.cend())
        return names;
    for (const auto &entry : key->values)
        names << entry.first;
    return names;
}

bool TRegistryDefault::ReadBool(const QString &name) const { return ReadInteger(name) != 0; }

qint32 TRegistryDefault::ReadInteger(const QString &name) const {
    const RegValue *value = Find(name);
    if (!value)
        throw Missing(name);
    if (value->kind != RegValue::Dword)
        throw InvalidType(name);
    MarkRead(name);
    return static_cast<qint32>(value->dword);
}

QString TRegistryDefault::ReadString(const QString &name) const {
    const RegValue *value = Find(name);
    if (!value)
        throw Missing(name);
    if (value->kind != RegValue::Sz && value->kind != RegValue::ExpandSz)
        throw InvalidType(name);
    MarkRead(name);
    const qsizetype nul = value->text.indexOf(QChar(u'\0'));
    return nul < 0 ? value->text : value->text.left(nul);
}

void TRegistryDefault::Write(const QString &name, const RegValue &value) {
    if (!m_write || m_currentKey.isEmpty())
        throw ERegistryException(QStringLiteral("Failed to write the value '%1'").arg(name));
    RegKey &key = m_doc.keys[m_currentKey];
    auto it = key.values.find(name.toLower());
    if (it != key.values.end())
        it->second = value;
    else
        key.values.insert(name.toLower(), qMakePair(name, value));
    m_dirty = true;
}

void TRegistryDefault::WriteBool(const QString &name, bool value) {
    RegValue v;
    v.kind = RegValue::Dword;
    v.dword = value ? 1 : 0;
    Write(name, v);
}

void TRegistryDefault::WriteInteger(const QString &name, qint32 value) {
    RegValue v;
    v.kind = RegValue::Dword;
    v.dword = static_cast<quint32>(value);
    Write(name, v);
}

void TRegistryDefault::WriteString(const QString &name, const QString &value) {
    RegValue v;
    v.kind = RegValue::Sz;
    v.text = value;
    Write(name, v);
}

bool TRegistryDefault::DeleteValue(const QString &name) {
    if (!m_write || m_currentKey.isEmpty())
        return false;
    if (m_doc.keys[m_currentKey].values.remove(name.toLower()) == 0)
        return false;
    m_dirty = true;
    return true;
}

bool TRegistryDefault::ReadBoolDefault(const QString &name, bool def) const {
    // Missing or of another kind, the default stands for it: read all the same.
    MarkRead(name);
    try {
        return ReadBool(name);
    } catch (const ERegistryException &) {
        return def;
    }
}

qint32 TRegistryDefault::ReadIntegerDefault(const QString &name, qint32 def) const {
    MarkRead(name);
    try {
        return ReadInteger(name);
    } catch (const ERegistryException &) {
        return def;
    }
}

QString TRegistryDefault::ReadStringDefault(const QString &name, const QString &def) const {
    if (!ValueExists(name)) {
        MarkRead(name);
        return def;
    }
    const QString text = ReadString(name);
    return text.isEmpty() ? def : text;
}

void TUnreadValues::Remember(const TRegistryDefault &loaded, const TRegistryDefault &held) {
    m_values.clear();
    for (const QString &name : held.ValueNames()) {
        if (loaded.WasRead(name))
            continue;
        const RegValue *stored = loaded.Value(name);
        m_values.append(Unread{name, stored ? std::optional<RegValue>(*stored) : std::nullopt,
                               *held.Value(name)});
    }
}

void TUnreadValues::Restore(TRegistryDefault &reg) const {
    for (const Unread &value : m_values) {
        const RegValue *written = reg.Value(value.name);
        if (!written || *written != value.held)
            continue; // changed since the load (in the options dialog, say): the new value stands
        if (value.stored)
            reg.WriteValue(value.name, *value.stored);
        else
            reg.DeleteValue(value.name);
    }
}
