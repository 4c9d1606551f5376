#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <optional>

// The per-user store on desktops without a registry: the registry's export format in
// $XDG_CONFIG_HOME/Lumo Dev/Vennatro.reg (default ~/.config). Written whole to a temporary
// file and renamed over the old one, mode 0600.
struct RegValue {
    enum Kind { Dword, Sz, ExpandSz };
    Kind kind = Sz;
    quint32 dword = 0;
    QString text;
    bool operator==(const RegValue &) const = default;
};

// Value names compare without regard to letter case, as in the registry.
struct RegKey {
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

QString RegStorePath();

// Reads the store file. A missing file is an empty document. A file that cannot be parsed
// throws ERegistryException naming the file and line; it is then kept as "Vennatro.reg.bad"
// before anything is written over it.
RegDocument LoadRegStore(const QString &path);
// Atomic write (temporary file, flush, rename), mode 0600. Throws ERegistryException.
void SaveRegStore(const QString &path, const RegDocument &doc);
