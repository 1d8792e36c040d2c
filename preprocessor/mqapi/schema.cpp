// schema.cpp - queue.db's layout: its tables, and the upgrades from earlier
// versions, one step per version.
#include "schema.h"

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
    " reason_text TEXT);"
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

const char* const kIndexes = DUE_INDEXES;

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

}  // namespace

mq::Status PrepareSchema(Db* db, const std::string& path) {
    mq::Status s = db->Exec(kTables);
    Stmt version = db->Prepare("SELECT value FROM meta WHERE key = 'schema'");
    if (s.ok()) s = version.Step();
    if (!s.ok()) return s;
    int64_t found = version.Row() ? version.Int(0) : -1;
    version.Reset();
    if (found >= kOldestSchema && found < kSchemaVersion) {
        s = UpgradeSchema(db, found);
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

mq::Status UpgradeSchema(Db* db, int64_t from) {
    if (from < kOldestSchema || from >= kSchemaVersion) {
        return mq::Status::Error("no upgrade from schema " + std::to_string(from));
    }
    // One step per version, oldest first.
    mq::Status s;
    if (from < 3) s = db->Exec(kTo3);
    if (s.ok() && from < 4) s = db->Exec(kTo4);
    if (s.ok()) s = db->Exec(kTo5);
    return s;
}

}  // namespace mqstore
