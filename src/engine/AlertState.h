#pragma once

#include <QList>
#include <QString>

class QSqlDatabase;
class QSqlError;

// The name under which the alerts and the snoozes know an address: without its password, in
// lower case, without the scheme's own port. The automatic ping's "HTTP://Host:80/" and a
// watched "http://host/" are one site and share one alert state.
QString AlertKey(const QString &address);

// An address that is down, as kept in the history file so that a restart during an outage
// neither alerts again nor forgets when the outage began. Wall times (ms since the epoch,
// UTC): they are what outlives the process.
struct AlertRecord {
    QString key;              // AlertKey
    qint64 downSinceMs = 0;   // the first failed ping of the outage
    qint64 lastAlertMs = 0;   // the alert sent last; 0: none went out (snoozed)
    qint64 lastFailureMs = 0; // renewed now and then while it stays down
    bool gone = false;        // the outage ended: the record goes

    bool operator==(const AlertRecord &) const = default;
};

// The table of the history file that holds them (history layout 3).
namespace AlertTable {
inline constexpr const char *Schema = "CREATE TABLE alerts ("
                                      " address TEXT PRIMARY KEY,"
                                      " down_since INTEGER NOT NULL,"
                                      " last_alert INTEGER NOT NULL,"
                                      " last_failure INTEGER NOT NULL) WITHOUT ROWID";
// Inside the caller's transaction.
bool Write(QSqlDatabase &db, const AlertRecord &record, QSqlError *error);
// Every record; none when the file has no such table.
QList<AlertRecord> Read(QSqlDatabase &db);
} // namespace AlertTable
