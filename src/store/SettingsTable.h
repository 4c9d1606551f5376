#pragma once

#include "store/Options.h"

#include <QList>
#include <QString>

class TRegistryDefault;

// One row a setting: its store value name, its kind, the field of the record, its default and,
// for numbers, the range a value must lie in. The defaults (DefaultOptions), the load, the
// save, the command line and the options dialog's field ranges all come from this table.
struct SettingRow {
    enum Kind { Bool, DWord, Integer, Text, Password };
    const char *name;
    Kind kind;
    bool TOptions::*boolField = nullptr;
    quint32 TOptions::*dwordField = nullptr;
    qint32 TOptions::*intField = nullptr;
    QString TOptions::*textField = nullptr;
    qint64 def = 0;           // numbers and flags
    const char *defText = ""; // texts
    // A stored number outside [min, max] loads as the default.
    qint64 min = 0;
    qint64 max = 0;
};

// Every setting of the record, in the order they are read from the store.
const QList<SettingRow> &SettingsTable();
// The row of a value name; nullptr for a name the table does not hold.
const SettingRow *FindSetting(const char *name);

struct SettingRange {
    qint64 min = 0;
    qint64 max = 0;
    bool Holds(qint64 value) const { return value >= min && value <= max; }
};
// The range of a numeric setting (0-0 for a name the table does not hold).
SettingRange RangeOf(const char *name);

// Reads every row (missing values and numbers out of range get their defaults). Throws at the
// first value of another kind, as the store accessor does; the rows read before it keep what
// was read.
void LoadOptions(const TRegistryDefault &reg, TOptions &options);
// Writes every row.
void SaveOptions(TRegistryDefault &reg, const TOptions &options);

// The settings as the command line and the service see them: the user's store read without
// writing it. An absent store gives the defaults; an unreadable one too, with the reason in
// *problem.
TOptions ReadOptionsReadOnly(QString *problem);
