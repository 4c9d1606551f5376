#pragma once

#include "store/RegStore.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <optional>

// Store accessor with the typed reads and writes of the registry, and three reads that fall
// back to a default. Keys are paths below HKEY_CURRENT_USER ("Software\Lumo Dev\Vennatro").
// Reads come from the store file as it was when the accessor was created; writes are kept
// and reach the file on CloseKey (and on destruction), whole and atomically.
class TRegistryDefault {
public:
    TRegistryDefault();                        // full access (saving)
    explicit TRegistryDefault(quint32 access); // 0x20019: read access (loading)
    // Reads from a document already parsed; never writes (the command line's view).
    explicit TRegistryDefault(const RegDocument &document);
    // Writable, starting empty, never reaching a file: what a save would write, kept in memory.
    struct InMemory {};
    explicit TRegistryDefault(InMemory);
    ~TRegistryDefault(); // writes what CloseKey did not; never throws
    TRegistryDefault(const TRegistryDefault &) = delete;
    TRegistryDefault &operator=(const TRegistryDefault &) = delete;

    // False when the key is missing (and may not be created), or when the store file could
    // not be read and no copy of it could be kept: such a file is never written over.
    bool OpenKey(const QString &key, bool canCreate);
    bool OpenKeyReadOnly(const QString &key) const;
    void CloseKey(); // writes pending changes; throws ERegistryException

    // Typed reads: throw ERegistryException when missing or of another kind
    // ("Invalid data type for '%s'").
    bool ReadBool(const QString &name) const;
    qint32 ReadInteger(const QString &name) const;
    QString ReadString(const QString &name) const; // cut at the first NUL
    bool ValueExists(const QString &name) const;

    // Throw ERegistryException when no key is open or the accessor may not write.
    void WriteBool(const QString &name, bool value);
    void WriteInteger(const QString &name, qint32 value);
    void WriteString(const QString &name, const QString &value);
    bool DeleteValue(const QString &name);

    // The value of the open key as stored, of any kind; nullptr when it is missing.
    const RegValue *Value(const QString &name) const { return Find(name); }
    // Writes a value as it is, of any kind; throws as the typed writes do.
    void WriteValue(const QString &name, const RegValue &value) { Write(name, value); }
    // The value names of the open key, as first spelt.
    QStringList ValueNames() const;
    // Whether the value was read (a typed read, or a read with a default) through this
    // accessor; a read that threw does not count.
    bool WasRead(const QString &name) const { return m_read.contains(name.toLower()); }

    bool ReadBoolDefault(const QString &name, bool def) const;
    qint32 ReadIntegerDefault(const QString &name, qint32 def) const;
    // Missing or empty -> def; a 32-bit value raises "Invalid data type for '%s'".
    QString ReadStringDefault(const QString &name, const QString &def) const;

    // Why the store file could not be read when the accessor was created (the accessor then
    // starts from an empty store); empty when it was read or did not exist.
    const QString &LoadError() const { return m_loadError; }

private:
    const RegValue *Find(const QString &name) const;
    void Write(const QString &name, const RegValue &value);
    void MarkRead(const QString &name) const { m_read.insert(name.toLower()); }
    bool m_write;
    QString m_path;
    RegDocument m_doc;
    mutable QString m_currentKey; // lower-case, empty when no key is open
    bool m_dirty = false;
    bool m_locked = false; // the file could not be read and was not kept: never write it
    QString m_loadError;
    mutable QSet<QString> m_read; // lower-case names
};

// The values a load did not reach (it stops at a value of another kind). A save writes each
// back as the file held it, unless the program's own value has changed since that load: a
// wrong value further up must not wipe every setting below it.
class TUnreadValues {
public:
    // loaded: the accessor the load read through; held: an in-memory accessor holding what a
    // save would write right after the load. Both with the program's key still open.
    void Remember(const TRegistryDefault &loaded, const TRegistryDefault &held);
    void Forget() { m_values.clear(); }
    bool IsEmpty() const { return m_values.isEmpty(); }
    // Call after the save's own writes and before its CloseKey.
    void Restore(TRegistryDefault &reg) const;

private:
    struct Unread {
        QString name;
        std::optional<RegValue> stored; // what the file held; none: it held no such value
        RegValue held;                  // what the program held when the load ended
    };
    QList<Unread> m_values;
};
