// schema.h - the layout versions of queue.db and the upgrade of a database
// written by an earlier version of the store.
//
// meta("schema") holds the layout's version. A store opens a database of its
// own version, upgrades one of an earlier version in place (within the
// opening's write transaction, so an upgrade is whole or not at all), and
// refuses any other. Upgrades only add: a process of the earlier version
// still running names its columns and goes on working, though it refuses
// to open the database again.
//
// Thread safety: as queuedb.h (the caller serialises).
#ifndef MQ_SCHEMA_H
#define MQ_SCHEMA_H

#include <cstdint>
#include <string>

#include "sqlitedb.h"

namespace mqstore {

// The version this store writes, and the oldest it can upgrade.
const int64_t kSchemaVersion = 3;
const int64_t kOldestSchema = 2;

// UpgradeSchema - within an open write transaction, brings a database of
// version from (kOldestSchema up to kSchemaVersion - 1) to kSchemaVersion.
// Returns false with SQLite's message in *error; the caller's rollback
// then leaves the database as it was.
bool UpgradeSchema(Db* db, int64_t from, std::string* error);

}  // namespace mqstore

#endif
