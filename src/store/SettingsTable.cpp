#include "store/SettingsTable.h"

#include "store/RegStore.h"
#include "store/RegistryDefault.h"
#include "support/UsualFunctions.h"

namespace {

using R = SettingRow;
namespace N = OptionNames;

SettingRow BoolRow(const char *name, bool TOptions::*field, bool def) {
    SettingRow row{name, R::Bool};
    row.boolField = field;
    row.def = def;
    return row;
}

SettingRow DWordRow(const char *name, quint32 TOptions::*field, quint32 def, quint32 min,
                    quint32 max) {
    SettingRow row{name, R::DWord};
    row.dwordField = field;
    row.def = def;
    row.min = min;
    row.max = max;
    return row;
}

SettingRow PortRow(const char *name, qint32 TOptions::*field, qint32 def) {
    SettingRow row{name, R::Integer};
    row.intField = field;
    row.def = def;
    row.min = 1;
    row.max = 65535;
    return row;
}

SettingRow TextRow(const char *name, QString TOptions::*field, const char *def = "",
                   R::Kind kind = R::Text) {
    SettingRow row{name, kind};
    row.textField = field;
    row.defText = def;
    return row;
}

// The longest interval whose seconds still fit the countdown's signed 32 bits.
constexpr quint32 MaxAutoPingMinutes = 0x7FFFFFFF / 60;

} // namespace

const QList<SettingRow> &SettingsTable() {
    // The order of the reads: a value of the wrong kind stops the load where it stands.
    static const QList<SettingRow> table = {
        BoolRow(N::AlwaysOnTop, &TOptions::AlwaysOnTop, false),
        BoolRow(N::StartWithWindows, &TOptions::StartWithWindows, false),
        DWordRow(N::PingAttempts, &TOptions::PingAttempts, 3, 1, 100),
        BoolRow(N::AutoPingAtStart, &TOptions::AutoPingAtStart, false),
        DWordRow(N::AutoPingInterval, &TOptions::AutoPingInterval, 15, 1, MaxAutoPingMinutes),
        TextRow(N::AutoPingAddress, &TOptions::AutoPingAddress, "http://"),
        PortRow(N::HTTPPort, &TOptions::HTTPPort, 80),
        PortRow(N::HTTPSPort, &TOptions::HTTPSPort, 443),
        BoolRow(N::ShowNotifications, &TOptions::ShowNotifications, true),
        BoolRow(N::ShowOnlyErrorNotifications, &TOptions::ShowOnlyErrorNotifications, false),
        BoolRow(N::ComputerNameInUserAgent, &TOptions::ComputerNameInUserAgent, false),
        BoolRow(N::ShowLog, &TOptions::ShowLog, true),
        BoolRow(N::LogHTTPHeaders, &TOptions::LogHTTPHeaders, false),
        BoolRow(N::SaveLog, &TOptions::SaveLog, false),
        TextRow(N::LogFile, &TOptions::LogFile),
        BoolRow(N::PingOnError, &TOptions::PingOnError, false),
        TextRow(N::ErrorPingAddress, &TOptions::ErrorPingAddress, "http://"),
        BoolRow(N::SendEmailOnError, &TOptions::SendEmailOnError, false),
        TextRow(N::ErrorEmailAddress, &TOptions::ErrorEmailAddress),
        TextRow(N::FromAddress, &TOptions::FromAddress),
        TextRow(N::SMTPServer, &TOptions::SMTPServer),
        PortRow(N::SMTPPort, &TOptions::SMTPPort, 25),
        TextRow(N::SMTPUser, &TOptions::SMTPUser),
        TextRow(N::SMTPPassword, &TOptions::SMTPPassword, "", R::Password),
        // Added later: read after the older values, so an older store loads as before.
        DWordRow(N::PingTimeout, &TOptions::PingTimeout, 30, 1, 3600),
        DWordRow(N::MetricsPort, &TOptions::MetricsPort, 0, 0, 65535),
        TextRow(N::MetricsFile, &TOptions::MetricsFile),
        DWordRow(N::RepeatAlertsEvery, &TOptions::RepeatAlertsEvery, 0, 0, 525600),
        DWordRow(N::SMTPSecurity, &TOptions::SMTPSecurity, 0, 0, 3),
        DWordRow(N::WatchInterval, &TOptions::WatchInterval, 60, 10, 86400),
        TextRow(N::WatchedAddresses, &TOptions::WatchedAddresses),
        DWordRow(N::HistoryDays, &TOptions::HistoryDays, 90, 0, 36500),
        BoolRow(N::LogTimingDetails, &TOptions::LogTimingDetails, false),
        BoolRow(N::HideHintShown, &TOptions::HideHintShown, false),
        DWordRow(N::HistoryRawDays, &TOptions::HistoryRawDays, 7, 0, 36500),
        BoolRow(N::CheckTLS, &TOptions::CheckTLS, false),
        DWordRow(N::CertExpiryWarnDays, &TOptions::CertExpiryWarnDays, 14, 0, 3650),
        TextRow(N::AcceptedHTTPStatus, &TOptions::AcceptedHTTPStatus),
        DWordRow(N::SlowAbove, &TOptions::SlowAbove, 0, 0, 3600000),
        BoolRow(N::TellNetworkOutages, &TOptions::TellNetworkOutages, true),
        TextRow(N::ReferenceAddresses, &TOptions::ReferenceAddresses),
        TextRow(N::NotifyUrls, &TOptions::NotifyUrls),
        TextRow(N::AlertText, &TOptions::AlertText),
        DWordRow(N::AlertAfter, &TOptions::AlertAfter, 1, 1, 1000),
        TextRow(N::SnoozedUntil, &TOptions::SnoozedUntil),
    };
    return table;
}

const SettingRow *FindSetting(const char *name) {
    for (const SettingRow &row : SettingsTable()) {
        if (qstrcmp(row.name, name) == 0)
            return &row;
    }
    return nullptr;
}

SettingRange RangeOf(const char *name) {
    const SettingRow *row = FindSetting(name);
    return row ? SettingRange{row->min, row->max} : SettingRange{};
}

TOptions DefaultOptions() {
    TOptions o;
    for (const SettingRow &row : SettingsTable()) {
        switch (row.kind) {
        case R::Bool:
            o.*row.boolField = row.def != 0;
            break;
        case R::DWord:
            o.*row.dwordField = quint32(row.def);
            break;
        case R::Integer:
            o.*row.intField = qint32(row.def);
            break;
        case R::Text:
        case R::Password:
            o.*row.textField = QString::fromUtf8(row.defText);
            break;
        }
    }
    return o;
}

void LoadOptions(const TRegistryDefault &reg, TOptions &options) {
    for (const SettingRow &row : SettingsTable()) {
        const QString name = QLatin1String(row.name);
        const QString defText = QString::fromUtf8(row.defText);
        switch (row.kind) {
        case R::Bool:
            options.*row.boolField = reg.ReadBoolDefault(name, row.def != 0);
            break;
        case R::DWord: {
            // A number out of range is the default: a port taken modulo 65536 or zero
            // attempts would silently mean something else.
            const quint32 value = quint32(reg.ReadIntegerDefault(name, qint32(row.def)));
            options.*row.dwordField = value >= row.min && value <= row.max ? value : row.def;
            break;
        }
        case R::Integer: {
            const qint32 value = reg.ReadIntegerDefault(name, qint32(row.def));
            options.*row.intField = value >= row.min && value <= row.max ? value : row.def;
            break;
        }
        case R::Text:
            options.*row.textField = reg.ReadStringDefault(name, defText);
            break;
        case R::Password:
            // Stored as bytes, one character each; the password itself is UTF-8.
            options.*row.textField = QString::fromUtf8(
                UnscramblePassword(reg.ReadStringDefault(name, defText).toLatin1()));
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
    const std::optional<RegDocument> doc = ReadRegStore(RegStorePath(), problem);
    if (!doc)
        return options;
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
