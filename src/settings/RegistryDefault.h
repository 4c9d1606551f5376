#pragma once

#include "platform/RegStore.h"

#include <QString>

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
    bool m_write;
    QString m_path;
    RegDocument m_doc;
    mutable QString m_currentKey; // lower-case, empty when no key is open
    bool m_dirty = false;
    bool m_locked = false; // the file could not be read and was not kept: never write it
    QString m_loadError;
};
