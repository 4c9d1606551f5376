#include "engine/AlertState.h"

#include "engine/PingTarget.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

QString AlertKey(const QString &address) {
    // The recent list treats addresses that differ only in case as one; so do the alerts.
    QString key = AddressWithoutPassword(address).toLower();
    const qsizetype scheme = key.indexOf(QLatin1String("://"));
    if (scheme < 0)
        return key;
    const qsizetype hostStart = scheme + 3;
    qsizetype hostEnd = key.indexOf(QLatin1Char('/'), hostStart);
    if (hostEnd < 0)
        hostEnd = key.size();
    const QString defaultPort = key.startsWith(QLatin1String("https://"))  ? QStringLiteral(":443")
                                : key.startsWith(QLatin1String("http://")) ? QStringLiteral(":80")
                                                                           : QString();
    if (!defaultPort.isEmpty() && key.mid(hostStart, hostEnd - hostStart).endsWith(defaultPort))
        key.remove(hostEnd - defaultPort.size(), defaultPort.size());
    return key;
}

namespace AlertTable {

bool Write(QSqlDatabase &db, const AlertRecord &record, QSqlError *error) {
    QSqlQuery query(db);
    bool ok = false;
    if (record.gone) {
        ok = query.prepare(QStringLiteral("DELETE FROM alerts WHERE address = ?"));
        query.bindValue(0, record.key);
    } else {
        ok = query.prepare(QStringLiteral("INSERT OR REPLACE INTO alerts (address, down_since,"
                                          " last_alert, last_failure) VALUES (?, ?, ?, ?)"));
        query.bindValue(0, record.key);
        query.bindValue(1, record.downSinceMs);
        query.bindValue(2, record.lastAlertMs);
        query.bindValue(3, record.lastFailureMs);
    }
    if (ok && query.exec())
        return true;
    *error = query.lastError();
    return false;
}

QList<AlertRecord> Read(QSqlDatabase &db) {
    QList<AlertRecord> records;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral(
            "SELECT address, down_since, last_alert, last_failure FROM alerts ORDER BY address")))
        return records;
    while (query.next()) {
        AlertRecord record;
        record.key = query.value(0).toString();
        record.downSinceMs = query.value(1).toLongLong();
        record.lastAlertMs = query.value(2).toLongLong();
        record.lastFailureMs = query.value(3).toLongLong();
        records.append(record);
    }
    return records;
}

} // namespace AlertTable
