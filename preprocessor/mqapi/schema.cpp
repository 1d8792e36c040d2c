// schema.cpp - queue.db's layout: its tables, and the upgrades from earlier
// versions, one step per version.
#include "schema.h"

#include <vector>

#include "entrystates.h"

namespace mqstore {

namespace {

// Version 4: bodies that came with their entry's commit (up to the body
// limit), with the boot on which the entry's ".msg" file was last written
// from them (queuedb.h). A body goes with its entry, whatever removes it.
#define BODIES_TABLES                                                                    \
    "CREATE TABLE IF NOT EXISTS bodies("                                                  \
    " id INTEGER PRIMARY KEY,"                                                            \
    " body BLOB NOT NULL,"                                                                \
    " boot TEXT NOT NULL);"                                                               \
    "CREATE TRIGGER IF NOT EXISTS entries_bodies AFTER DELETE ON entries"                 \
    " BEGIN DELETE FROM bodies WHERE id = old.id; END;"

// The tables of the current version, made where missing.
const char* const kTables =
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL)"
    " WITHOUT ROWID;"
    "INSERT OR IGNORE INTO meta VALUES('schema', " MQ_SCHEMA_VERSION "), ('last_id', 0);"
    "CREATE TABLE IF NOT EXISTS entries("
    " id INTEGER PRIMARY KEY,"
    " channel TEXT NOT NULL COLLATE NOCASE,"
    " state INTEGER NOT NULL,"
    " created INTEGER NOT NULL,"
    " app TEXT NOT NULL,"
    " claim_slot INTEGER,"
    " claim_nonce INTEGER,"
    " claim_pid INTEGER,"
    " lease INTEGER,"
    " attempts INTEGER NOT NULL DEFAULT 0,"
    " envelope BLOB NOT NULL,"
    " handed INTEGER,"
    " reason INTEGER,"
    " reason_at INTEGER,"
    " reason_by TEXT,"
    " due INTEGER,"
    " deferrals INTEGER NOT NULL DEFAULT 0,"
    " reason_text TEXT,"
    " size INTEGER);"
    "CREATE INDEX IF NOT EXISTS entries_pending ON entries(channel, id)"
    " WHERE state = " MQ_SQL_QUEUED " AND lease IS NULL AND claim_slot IS NOT NULL;"
    "CREATE INDEX IF NOT EXISTS entries_leased ON entries(lease) WHERE lease IS NOT NULL;"
    "CREATE INDEX IF NOT EXISTS entries_claimed ON entries(claim_slot, claim_nonce)"
    " WHERE claim_slot IS NOT NULL;"
    "CREATE TABLE IF NOT EXISTS leases("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " slot INTEGER NOT NULL,"
    " nonce INTEGER NOT NULL,"
    " pid INTEGER NOT NULL,"
    " channel TEXT NOT NULL,"
    " opened INTEGER NOT NULL,"
    " app TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE IF NOT EXISTS blocks("
    " first INTEGER PRIMARY KEY,"
    " last INTEGER NOT NULL,"
    " slot INTEGER NOT NULL,"
    " nonce INTEGER NOT NULL,"
    " pid INTEGER NOT NULL);"
    BODIES_TABLES;

// Version 5: the retry schedule. due is when a deferred entry may be handed
// out again (milliseconds since the epoch; NULL: now), deferrals how often
// its readers put it off, reason_text the reader's words on the last time.
// Entries ready to hand out are split in two indexes: those due now by
// (channel, id), the lowest first as before, and those deferred by
// (channel, due), so that a reader finds the next due entry in a few steps
// however many wait for a later time.
#define DUE_INDEXES                                                                       \
    "DROP INDEX IF EXISTS entries_ready;"                                                 \
    "CREATE INDEX IF NOT EXISTS entries_due ON entries(channel, id)"                      \
    " WHERE state = " MQ_SQL_QUEUED " AND lease IS NULL AND claim_slot IS NULL"           \
    " AND due IS NULL;"                                                                   \
    "CREATE INDEX IF NOT EXISTS entries_deferred ON entries(channel, due)"                \
    " WHERE state = " MQ_SQL_QUEUED " AND lease IS NULL AND claim_slot IS NULL"           \
    " AND due IS NOT NULL;"

const char* const kTo5 =
    "ALTER TABLE entries ADD COLUMN due INTEGER;"
    "ALTER TABLE entries ADD COLUMN deferrals INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE entries ADD COLUMN reason_text TEXT;" DUE_INDEXES
    "UPDATE meta SET value = 5 WHERE key = 'schema';";

// Version 6: the figures the monitoring views read, kept in the very
// statements that change an entry, so that no crash can leave them apart
// from the entries. size is the body's size once the store knows it (at the
// commit when the body came with it or was written by the store, else when
// the entry is first handed out: until then a view looks at the file).
// totals holds per channel, state and leased-or-not the entries, their
// bytes, attempts and deferrals, and how many carry a due time; triggers
// keep it, whatever statement inserts, changes or deletes an entry. Rows
// are kept at zero: a channel's row is written in place by every put.
// entries_age finds a channel's oldest entry in a step and counts its
// entries by age as an index range; entries_deferred_age does the same for
// the deferred ones (due carried along, so that those come due are passed
// over without a look at their rows).
#define TOTALS_ADD_NEW                                                                    \
    "INSERT INTO totals VALUES(new.channel, new.state, new.lease IS NOT NULL, 1,"         \
    " coalesce(new.size, 0), new.attempts, new.deferrals, new.due IS NOT NULL)"           \
    " ON CONFLICT(channel, state, leased) DO UPDATE SET entries = entries + 1,"           \
    " bytes = bytes + excluded.bytes, attempts = attempts + excluded.attempts,"           \
    " deferrals = deferrals + excluded.deferrals,"                                        \
    " scheduled = scheduled + excluded.scheduled;"
#define TOTALS_TAKE_OLD                                                                   \
    "UPDATE totals SET entries = entries - 1, bytes = bytes - coalesce(old.size, 0),"     \
    " attempts = attempts - old.attempts, deferrals = deferrals - old.deferrals,"         \
    " scheduled = scheduled - (old.due IS NOT NULL)"                                      \
    " WHERE channel = old.channel AND state = old.state"                                  \
    " AND leased = (old.lease IS NOT NULL);"
#define TOTALS_TABLES                                                                     \
    "CREATE TABLE IF NOT EXISTS totals("                                                  \
    " channel TEXT NOT NULL COLLATE NOCASE,"                                              \
    " state INTEGER NOT NULL,"                                                            \
    " leased INTEGER NOT NULL,"                                                           \
    " entries INTEGER NOT NULL,"                                                          \
    " bytes INTEGER NOT NULL,"                                                            \
    " attempts INTEGER NOT NULL,"                                                         \
    " deferrals INTEGER NOT NULL,"                                                        \
    " scheduled INTEGER NOT NULL,"                                                        \
    " PRIMARY KEY(channel, state, leased)) WITHOUT ROWID;"                                \
    "CREATE TRIGGER IF NOT EXISTS totals_put AFTER INSERT ON entries"                     \
    " BEGIN " TOTALS_ADD_NEW " END;"                                                      \
    "CREATE TRIGGER IF NOT EXISTS totals_removal AFTER DELETE ON entries"                 \
    " BEGIN " TOTALS_TAKE_OLD " END;"                                                     \
    "CREATE TRIGGER IF NOT EXISTS totals_change"                                          \
    " AFTER UPDATE OF state, lease, size, attempts, deferrals, due ON entries"            \
    " WHEN old.state != new.state OR (old.lease IS NULL) != (new.lease IS NULL)"          \
    " OR old.size IS NOT new.size OR old.attempts != new.attempts"                        \
    " OR old.deferrals != new.deferrals OR (old.due IS NULL) != (new.due IS NULL)"        \
    " BEGIN " TOTALS_TAKE_OLD TOTALS_ADD_NEW " END;"                                      \
    "CREATE INDEX IF NOT EXISTS entries_age ON entries(channel, created);"                \
    "CREATE INDEX IF NOT EXISTS entries_deferred_age ON entries(channel, created, due)"   \
    " WHERE state = " MQ_SQL_QUEUED " AND lease IS NULL AND claim_slot IS NULL"           \
    " AND due IS NOT NULL;"

// Made where missing on every opening that writes the schema: a database
// made at this version gets them with its tables.
const char* const kIndexes = DUE_INDEXES TOTALS_TABLES;

// The step to version 6, in three parts: the column, the sizes the bodies
// table knows (the others are the files', UpgradeSchema's caller's look),
// then the totals counted once from the entries, the triggers keeping them
// from then on.
const char* const kTo6Column = "ALTER TABLE entries ADD COLUMN size INTEGER;";
const char* const kTo6CommitSizes =
    "UPDATE entries SET size = (SELECT length(body) FROM bodies WHERE bodies.id = entries.id);";
const char* const kTo6Totals = TOTALS_TABLES
    "DELETE FROM totals;"
    "INSERT INTO totals SELECT channel, state, lease IS NOT NULL, count(*),"
    " coalesce(sum(size), 0), sum(attempts), sum(deferrals), sum(due IS NOT NULL)"
    " FROM entries GROUP BY 1, 2, 3;"
    "UPDATE meta SET value = 6 WHERE key = 'schema';";

// Version 3: why an entry is where it is (its last hand-out, the reason it
// last came back or was moved, when and by whom), and the application of
// each read handle, so that a dead reader can be named.
const char* const kTo3 =
    "ALTER TABLE entries ADD COLUMN handed INTEGER;"
    "ALTER TABLE entries ADD COLUMN reason INTEGER;"
    "ALTER TABLE entries ADD COLUMN reason_at INTEGER;"
    "ALTER TABLE entries ADD COLUMN reason_by TEXT;"
    "ALTER TABLE leases ADD COLUMN app TEXT NOT NULL DEFAULT '';"
    "UPDATE meta SET value = 3 WHERE key = 'schema';";

// Version 4: the bodies table (made where missing by kTables already; kept
// here so that the step stands on its own).
const char* const kTo4 = BODIES_TABLES "UPDATE meta SET value = 4 WHERE key = 'schema';";

// The sizes of bodies kept as files of their own, from the files: entries
// whose writer still claims them are left to their first hand-out, and an
// entry whose file is missing has none.
mq::Status FileSizes(Db* db, const BodySizeFn& bodySize) {
    std::vector<int64_t> ids;
    Stmt unsized =
        db->Prepare("SELECT id FROM entries WHERE size IS NULL AND claim_slot IS NULL");
    mq::Status s = unsized.ForEachRow([&] { ids.push_back(unsized.Int(0)); });
    Stmt set = db->Prepare("UPDATE entries SET size = ?2 WHERE id = ?1");
    for (int64_t id : ids) {
        if (!s.ok()) break;
        int64_t size = bodySize(id);
        if (size < 0) continue;
        s = set.Bind(1, id).Bind(2, size).Run();
        set.Reset();
    }
    return s;
}

}  // namespace

mq::Status PrepareSchema(Db* db, const std::string& path, const BodySizeFn& bodySize) {
    mq::Status s = db->Exec(kTables);
    Stmt version = db->Prepare("SELECT value FROM meta WHERE key = 'schema'");
    if (s.ok()) s = version.Step();
    if (!s.ok()) return s;
    int64_t found = version.Row() ? version.Int(0) : -1;
    version.Reset();
    if (found >= kOldestSchema && found < kSchemaVersion) {
        s = UpgradeSchema(db, found, bodySize);
        if (!s.ok()) return s;
        found = kSchemaVersion;
    } else if (found == kSchemaVersion) {
        s = db->Exec(kIndexes);
        if (!s.ok()) return s;
    }
    if (found != kSchemaVersion) {
        return mq::Status::Error(path + ": written by another version of the store (schema " +
                                 (found >= 0 ? std::to_string(found) : std::string("?")) + ")");
    }
    return s;
}

mq::Status UpgradeSchema(Db* db, int64_t from, const BodySizeFn& bodySize) {
    if (from < kOldestSchema || from >= kSchemaVersion) {
        return mq::Status::Error("no upgrade from schema " + std::to_string(from));
    }
    // One step per version, oldest first.
    mq::Status s;
    if (from < 3) s = db->Exec(kTo3);
    if (s.ok() && from < 4) s = db->Exec(kTo4);
    if (s.ok() && from < 5) s = db->Exec(kTo5);
    if (s.ok()) s = db->Exec(kTo6Column);
    if (s.ok()) s = db->Exec(kTo6CommitSizes);
    if (s.ok()) s = FileSizes(db, bodySize);
    if (s.ok()) s = db->Exec(kTo6Totals);
    return s;
}

}  // namespace mqstore
