#pragma once

#include "support/Exceptions.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <optional>

// The per-user store. On Windows the registry itself (UserStoreWin.cpp). Elsewhere the
// registry's export format in $XDG_CONFIG_HOME/Lumo Dev/Vennatro.reg (default ~/.config),
// written whole to a temporary file and renamed over the old one, mode 0600 (UserStore.cpp).
struct RegValue {
    // Other: a registry value of a kind the program never writes (REG_BINARY, REG_MULTI_SZ,
    // ...), kept as its type and bytes so that a save puts it back unchanged.
    enum Kind { Dword, Sz, ExpandSz, Other };
    Kind kind = Sz;
    quint32 dword = 0;
    QString text;
    quint32 otherType = 0;
    QByteArray otherData;
    bool operator==(const RegValue &) const = default;
};

// Value names compare without regard to letter case, as in the registry.
struct RegKey {
    QString name; // the key path as first spelt (without HKEY_CURRENT_USER\)
    QMap<QString, QPair<QString, RegValue>> values; // lower-case name -> (name, value)
};

struct RegDocument {
    QMap<QString, RegKey> keys; // lower-case key path (without HKEY_CURRENT_USER\) -> key
};

struct RegParseError {
    int line = 0;
    QString message; // names the file and the line
};

// Parses the whole file text. On error returns nothing and fills error.
std::optional<RegDocument> ParseRegFile(const QByteArray &text, const QString &fileName,
                                        RegParseError *error);
QByteArray SerializeRegFile(const RegDocument &doc);

// A key path as the store keeps it: no leading or trailing backslash. Empty when the text
// cannot name a key (nothing left, an empty part, a control character).
QString NormaliseRegKeyPath(const QString &path);

// The store's place as the user is told it: the file's path, or on Windows the registry key.
QString RegStorePath();

// A store file that exists but could not be read or parsed. KeptAsBad tells whether its bytes
// are safe in "<file>.bad"; when they are not, nothing may be written over the file.
class ERegStoreUnreadable : public ERegistryException {
public:
    ERegStoreUnreadable(QString message, bool keptAsBad)
        : ERegistryException(std::move(message)), m_kept(keptAsBad) {}
    bool KeptAsBad() const { return m_kept; }

private:
    bool m_kept;
};

// Reads the store file. A missing file is an empty document. A file that cannot be parsed
// throws ERegStoreUnreadable naming the file and line, after keeping a copy of it as
// "Vennatro.reg.bad" (a file that cannot even be read is renamed to that name instead).
// First removes what a save killed half-way left beside the store (RemoveStoreLeftovers).
RegDocument LoadRegStore(const QString &path);
// Removes the temporary files of an atomic write that never finished: ".Vennatro.reg.XXXXXX"
// (and ".Vennatro.reg.bad.XXXXXX" of a copy being kept) beside the store, or beside the file a
// linked store points to. Each may hold the scrambled password. Nothing else is touched.
void RemoveStoreLeftovers(const QString &path);
// Atomic write (temporary file, flush, rename), mode 0600. Throws ERegistryException.
void SaveRegStore(const QString &path, const RegDocument &doc);
// Reads the store and changes nothing, not even on a failure (the command line's view): an
// empty document when there is no store, nothing with *problem set when it cannot be read.
std::optional<RegDocument> ReadRegStore(const QString &path, QString *problem);

// What the user is told when a value could not be written to the store.
QString StoreWriteFailureText();
