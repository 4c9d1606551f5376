#pragma once

#include "store/Options.h"

#include <QList>
#include <QString>

class TRegistryDefault;

// One row a setting: its store value name, its kind, the field of the record, its default
// (from DefaultOptions) and, for numbers, the range a stored value must lie in. The load, the
// save and the command line all go through this table.
struct SettingRow {
    enum Kind { Bool, DWord, Integer, Text, Password };
    const char *name;
    Kind kind;
    bool TOptions::*boolField = nullptr;
    quint32 TOptions::*dwordField = nullptr;
    qint32 TOptions::*intField = nullptr;
    QString TOptions::*textField = nullptr;
    // A stored number outside [min, max] loads as the default; max 0: no range.
    quint32 min = 0;
    quint32 max = 0;
};

// Every setting of the record, in the order they are read from the store.
const QList<SettingRow> &SettingsTable();

// Reads every row (missing values get their defaults). Throws at the first value of another
// kind, as the store accessor does; the rows read before it keep what was read.
void LoadOptions(const TRegistryDefault &reg, TOptions &options);
// Writes every row.
void SaveOptions(TRegistryDefault &reg, const TOptions &options);

// The settings as the command line sees them: the user's store read without writing it. An
// absent store gives the defaults; an unreadable one too, with the reason in *problem.
TOptions ReadOptionsReadOnly(QString *problem);
