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
#include <functional>
#include <string>

#include "sqlitedb.h"

namespace mqstore {

// The version this store writes (its SQL spelling a macro, for the
// statements that write it), and the oldest it can upgrade.
#define MQ_SCHEMA_VERSION "6"
const int64_t kSchemaVersion = 6;
const int64_t kOldestSchema = 2;
static_assert(MQ_SCHEMA_VERSION[0] - '0' == kSchemaVersion && MQ_SCHEMA_VERSION[1] == '\0',
              "one schema version");

// The size of entry id's body file; -1 when there is none.
using BodySizeFn = std::function<int64_t(int64_t id)>;

// PrepareSchema - within an open write transaction, creates the tables of
// the database at path where missing and brings one of an earlier version
// to kSchemaVersion, asking bodySize for the sizes of bodies kept as files.
// Fails with SQLite's message, or for a database of a
// version this store can't open; the caller's rollback then leaves the
// database as it was.
mq::Status PrepareSchema(Db* db, const std::string& path, const BodySizeFn& bodySize);

// UpgradeSchema - within an open write transaction, brings a database of
// version from (kOldestSchema up to kSchemaVersion - 1) to kSchemaVersion,
// as PrepareSchema; the totals are counted once, from the entries.
// Fails with SQLite's message; the caller's rollback then leaves the
// database as it was.
mq::Status UpgradeSchema(Db* db, int64_t from, const BodySizeFn& bodySize);

}  // namespace mqstore

#endif
