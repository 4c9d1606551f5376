#pragma once

// What the history's store and its upkeep thread share: the layout of the file, its SQLite
// results, and the writing of a ping.

#include "engine/HistoryRollup.h"
#include "engine/PingResult.h"

#include <QHash>
#include <QList>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

class QSqlError;

namespace HistoryDb {

// 1: one table of pings with the address as text (the first layout). 2: addresses in their
// own table, times in integer milliseconds and microseconds, hourly rows. 3: the TLS
// handshake's time of a ping (tls_us). 4: the alert state of the addresses that are down
// (AlertTable).
constexpr int SchemaVersion = 4;
// The name the first layout's pings table takes while its rows move to the second layout.
inline constexpr const char *LandedPings = "pings_v1";

QString ErrorText(const QSqlError &error);
// SQLite said the file is not a database or is damaged.
bool IsDamage(const QSqlError &error);
// Another connection holds the lock (a writer's turn to wait).
bool IsBusy(const QSqlError &error);
bool IsInterrupted(const QSqlError &error);

int OutcomeCode(PingOutcomeKind outcome);
PingOutcomeKind OutcomeOf(int code);
// Seconds to whole microseconds; negative (not measured) stays negative.
qint64 MicrosecondsOf(double seconds);

// The statements that make the second layout's tables, the first layout's sessions table
// included (it is kept as it is).
const QList<const char *> &SchemaStatements();
const QList<const char *> &SessionStatements();

// The columns of an hourly row's tally, in the order ReadTally and BindTally use.
inline constexpr const char *TallyColumns =
    "completed, failed, cancelled, not_checked, timed, min_us, max_us, sum_us, histogram";
HistoryTally ReadTally(const QSqlQuery &query, int firstColumn);
void BindTally(QSqlQuery &query, int firstPosition, const HistoryTally &tally);

bool OpenConnection(QSqlDatabase &db, QString *reason, bool *damaged);
// Sets an open connection up as every connection of the history is.
bool Configure(QSqlDatabase &db, int busyTimeoutMs, bool waitForDisk, QString *reason,
               bool *damaged);

// Writes pings on one connection, inside the caller's transaction. The ids of addresses are
// remembered once their transaction is committed: an id from a transaction rolled back is
// forgotten with it.
class PingWriter {
public:
    explicit PingWriter(const QSqlDatabase &db);
    bool Prepare(QSqlError *error);
    // The id of an address; -1 when it has none (and create is false) or on a failure.
    qint64 AddressId(const QString &address, bool create, QSqlError *error = nullptr);
    bool Insert(const PingResult &result, QSqlError *error);
    void Committed() { m_fresh.clear(); }
    void RolledBack();
    void Forget(); // another file: no id known
    void Finish(); // lets go of the statements' read locks

private:
    QSqlDatabase m_db;
    QSqlQuery m_find;
    QSqlQuery m_add;
    QSqlQuery m_insert;
    QSqlQuery m_insertAgain;
    QHash<QString, qint64> m_ids;
    QList<QString> m_fresh; // ids made in the open transaction
    QRandomGenerator m_random;
};

} // namespace HistoryDb
