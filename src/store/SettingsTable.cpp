#include "store/SettingsTable.h"

#include "store/RegStore.h"
#include "store/RegistryDefault.h"
#include "support/UsualFunctions.h"

#include <QFile>

namespace {

using R = SettingRow;
namespace N = OptionNames;

SettingRow BoolRow(const char *name, bool TOptions::*field) {
    SettingRow row{name, R::Bool};
    row.boolField = field;
    return row;
}

SettingRow DWordRow(const char *name, quint32 TOptions::*field, quint32 min = 0, quint32 max = 0) {
    SettingRow row{name, R::DWord};
    row.dwordField = field;
    row.min = min;
    row.max = max;
    return row;
}

SettingRow IntRow(const char *name, qint32 TOptions::*field) {
    SettingRow row{name, R::Integer};
    row.intField = field;
    return row;
}

SettingRow TextRow(const char *name, QString TOptions::*field, R::Kind kind = R::Text) {
    SettingRow row{name, kind};
    row.textField = field;
    return row;
}

} // namespace

const QList<SettingRow> &SettingsTable() {
    // The order of the reads: a value of the wrong kind stops the load where it stands.
    static const QList<SettingRow> table = {
        BoolRow(N::AlwaysOnTop, &TOptions::AlwaysOnTop),
        BoolRow(N::StartWithWindows, &TOptions::StartWithWindows),
        DWordRow(N::PingAttempts, &TOptions::PingAttempts),
        BoolRow(N::AutoPingAtStart, &TOptions::AutoPingAtStart),
        DWordRow(N::AutoPingInterval, &TOptions::AutoPingInterval),
        TextRow(N::AutoPingAddress, &TOptions::AutoPingAddress),
        IntRow(N::HTTPPort, &TOptions::HTTPPort),
        IntRow(N::HTTPSPort, &TOptions::HTTPSPort),
        BoolRow(N::ShowNotifications, &TOptions::ShowNotifications),
        BoolRow(N::ShowOnlyErrorNotifications, &TOptions::ShowOnlyErrorNotifications),
        BoolRow(N::ComputerNameInUserAgent, &TOptions::ComputerNameInUserAgent),
        BoolRow(N::ShowLog, &TOptions::ShowLog),
        BoolRow(N::LogHTTPHeaders, &TOptions::LogHTTPHeaders),
        BoolRow(N::SaveLog, &TOptions::SaveLog),
        TextRow(N::LogFile, &TOptions::LogFile),
        BoolRow(N::PingOnError, &TOptions::PingOnError),
        TextRow(N::ErrorPingAddress, &TOptions::ErrorPingAddress),
        BoolRow(N::SendEmailOnError, &TOptions::SendEmailOnError),
        TextRow(N::ErrorEmailAddress, &TOptions::ErrorEmailAddress),
        TextRow(N::FromAddress, &TOptions::FromAddress),
        TextRow(N::SMTPServer, &TOptions::SMTPServer),
        IntRow(N::SMTPPort, &TOptions::SMTPPort),
        TextRow(N::SMTPUser, &TOptions::SMTPUser),
        TextRow(N::SMTPPassword, &TOptions::SMTPPassword, R::Password),
        // Added later: read after the older values, so an older store loads as before.
        DWordRow(N::PingTimeout, &TOptions::PingTimeout, 1, 3600),
        DWordRow(N::MetricsPort, &TOptions::MetricsPort, 0, 65535),
        TextRow(N::MetricsFile, &TOptions::MetricsFile),
        DWordRow(N::RepeatAlertsEvery, &TOptions::RepeatAlertsEvery, 0, 525600),
        DWordRow(N::SMTPSecurity, &TOptions::SMTPSecurity, 0, 3),
        DWordRow(N::WatchInterval, &TOptions::WatchInterval, 10, 86400),
        TextRow(N::WatchedAddresses, &TOptions::WatchedAddresses),
        DWordRow(N::HistoryDays, &TOptions::HistoryDays, 0, 36500),
        BoolRow(N::LogTimingDetails, &TOptions::LogTimingDetails),
        BoolRow(N::HideHintShown, &TOptions::HideHintShown),
    };
    return table;
}

void LoadOptions(const TRegistryDefault &reg, TOptions &options) {
    const TOptions def = DefaultOptions();
    for (const SettingRow &row : SettingsTable()) {
        const QString name = QLatin1String(row.name);
        switch (row.kind) {
        case R::Bool:
            options.*row.boolField = reg.ReadBoolDefault(name, def.*row.boolField);
            break;
        case R::DWord: {
            quint32 value = quint32(reg.ReadIntegerDefault(name, qint32(def.*row.dwordField)));
            if (row.max != 0 && (value < row.min || value > row.max))
                value = def.*row.dwordField;
            options.*row.dwordField = value;
            break;
        }
        case R::Integer:
            options.*row.intField = reg.ReadIntegerDefault(name, def.*row.intField);
            break;
        case R::Text:
            options.*row.textField = reg.ReadStringDefault(name, def.*row.textField);
            break;
        case R::Password:
            // Stored as bytes, one character each; the password itself is UTF-8.
            options.*row.textField = QString::fromUtf8(
                UnscramblePassword(reg.ReadStringDefault(name, def.*row.textField).toLatin1()));
            break;
        }
    }
}

void SaveOptions(TRegistryDefault &reg, const TOptions &options) {
    for (const SettingRow &row : SettingsTable()) {
        const QString name = QLatin1String(row.name);
        switch (row.kind) {
        case R::Bool:
            reg.WriteBool(name, options.*row.boolField);
            break;
        case R::DWord:
            reg.WriteInteger(name, qint32(options.*row.dwordField));
            break;
        case R::Integer:
            reg.WriteInteger(name, options.*row.intField);
            break;
        case R::Text:
            reg.WriteString(name, options.*row.textField);
            break;
        case R::Password:
            reg.WriteString(
                name, QString::fromLatin1(ScramblePassword((options.*row.textField).toUtf8())));
            break;
        }
    }
}

TOptions ReadOptionsReadOnly(QString *problem) {
    TOptions options = DefaultOptions();
    const QString path = RegStorePath();
    QFile file(path);
    if (!file.exists())
        return options;
    if (!file.open(QIODevice::ReadOnly)) {
        if (problem)
            *problem = QStringLiteral("Cannot read the settings file \"%1\": %2")
                           .arg(path, file.errorString());
        return options;
    }
    RegParseError error;
    const std::optional<RegDocument> doc = ParseRegFile(file.readAll(), path, &error);
    if (!doc) {
        if (problem)
            *problem = error.message;
        return options;
    }
    const TRegistryDefault reg(*doc);
    if (!reg.OpenKeyReadOnly(QString::fromLatin1(SettingsKey)))
        return options;
    try {
        LoadOptions(reg, options);
    } catch (const Exception &e) {
        if (problem)
            *problem = e.Message();
    }
    return options;
}
