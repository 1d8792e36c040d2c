// schema.cpp - queue.db's layout: its tables, and the upgrades from earlier
// versions, one step per version.
#include "schema.h"

#include "entrystates.h"

namespace mqstore {

namespace {

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
    " reason_by TEXT);"
    "CREATE INDEX IF NOT EXISTS entries_ready ON entries(channel, id)"
    " WHERE state = " MQ_SQL_QUEUED " AND lease IS NULL AND claim_slot IS NULL;"
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
    " pid INTEGER NOT NULL);";

// Version 3: why an entry is where it is (its last hand-out, the reason it
// last came back or was moved, when and by whom), and the application of
// each read handle, so that a dead reader can be named.
const char* const kTo3 =
    "ALTER TABLE entries ADD COLUMN handed INTEGER;"
    "ALTER TABLE entries ADD COLUMN reason INTEGER;"
    "ALTER TABLE entries ADD COLUMN reason_at INTEGER;"
    "ALTER TABLE entries ADD COLUMN reason_by TEXT;"
    "ALTER TABLE leases ADD COLUMN app TEXT NOT NULL DEFAULT '';"
    "UPDATE meta SET value = " MQ_SCHEMA_VERSION " WHERE key = 'schema';";

}  // namespace

bool PrepareSchema(Db* db, const std::string& path, std::string* error) {
    if (!db->Exec(kTables, error)) return false;
    Stmt version = db->Prepare("SELECT value FROM meta WHERE key = 'schema'", error);
    if (!version.Valid() || !version.Step(error)) return false;
    int64_t found = version.Row() ? version.Int(0) : -1;
    version.Reset();
    if (found >= kOldestSchema && found < kSchemaVersion) {
        if (!UpgradeSchema(db, found, error)) return false;
        found = kSchemaVersion;
    }
    if (found != kSchemaVersion) {
        *error = path + ": written by another version of the store (schema " +
                 (found >= 0 ? std::to_string(found) : std::string("?")) + ")";
        return false;
    }
    return true;
}

bool UpgradeSchema(Db* db, int64_t from, std::string* error) {
    if (from < kOldestSchema || from >= kSchemaVersion) {
        *error = "no upgrade from schema " + std::to_string(from);
        return false;
    }
    // One step per version, oldest first, as versions are added.
    return db->Exec(kTo3, error);
}

}  // namespace mqstore
