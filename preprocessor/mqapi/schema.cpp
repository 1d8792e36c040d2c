// schema.cpp - upgrades of queue.db's layout, one step per version.
#include "schema.h"

namespace mqstore {

namespace {

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

}  // namespace

bool UpgradeSchema(Db* db, int64_t from, std::string* error) {
    if (from < kOldestSchema || from >= kSchemaVersion) {
        *error = "no upgrade from schema " + std::to_string(from);
        return false;
    }
    // One step per version, oldest first, as versions are added.
    return db->Exec(kTo3, error);
}

}  // namespace mqstore
