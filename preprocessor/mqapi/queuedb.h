// queuedb.h - the queue store's database: entries, their states and leases,
// the identifier sequence, and the clean-up after dead writers and readers.
//
// Tables (queue.db):
//   meta(key, value)      "schema" (the layout's version) and "last_id"
//                         (the identifier handed out last)
//   entries               one row per entry: id, channel (matched without
//                         regard to letter case), state, creation time,
//                         writer's application, writer's process while it
//                         writes, lease (the reader holding it), attempts,
//                         the encoded envelope
//   leases                one row per open read handle: its process
// Indexes keep every per-message query to a few B-tree steps at any depth:
// ready entries by (channel, id), leased entries by lease, written ones by
// process.
//
// Durability: the commits that make an entry durable or remove it (and the
// operator's changes) sync the WAL (synchronous=FULL); reserving an
// identifier, leasing and releasing do not, because a FULL commit syncs
// their frames too and losing one in a power cut only re-offers an entry or
// drops an entry nobody was told about.
//
// Failures return false with the cause (SQLite's message, or "operation
// path: strerror") in *error; the caller logs it once.
//
// Thread safety: none; the caller serialises (OneMQ.csStore).
#ifndef MQ_QUEUEDB_H
#define MQ_QUEUEDB_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "envcodec.h"
#include "mqadmin.h"
#include "procident.h"
#include "spool.h"
#include "sqlitedb.h"

namespace mqstore {

enum : int64_t { kWriting = 0, kQueued = 1, kHeld = 2, kFailed = 3 };

class QueueDb {
public:
    // Opens or creates the database of spool; self is this process's
    // identity, recorded on the rows of its writers and readers.
    static std::unique_ptr<QueueDb> Open(const Spool& spool, const ProcessIdentity& self,
                                         std::string* error);

    void SetMaxAttempts(uint32_t maxAttempts) { m_maxAttempts = maxAttempts; }
    // Tags the lines the database logs itself (entries set aside, clean-up
    // after the dead, files left behind by a removal).
    void SetLogTag(const std::string& tag) { m_log = tag; }
    const Spool& GetSpool() const { return m_spool; }

    // Writers.
    // Reserves the next identifier for a new entry of application app.
    bool CreateEntry(const std::string& app, unsigned long* id, std::string* error);
    // Makes entry id durable in channel with envelope. Fails when the entry
    // is no longer this writer's (cleaned up meanwhile).
    bool CommitEntry(unsigned long id, const std::string& channel, const EnvelopeData& envelope,
                     std::string* error);
    // Deletes entry id (still being written) and its files.
    bool DropEntry(unsigned long id, std::string* error);

    // Readers.
    bool OpenLease(const std::string& channel, int64_t* lease, std::string* error);
    // Leases the lowest entry of channel that is queued, unleased and has
    // its ".msg" file to lease; *id is 0 when there is none.
    bool NextEntry(int64_t lease, const std::string& channel, unsigned long* id,
                   std::string* error);
    // Removes entry id, leased to lease, with its files. *held is false
    // (and nothing changed) when the lease no longer holds it.
    bool RemoveLeased(int64_t lease, unsigned long id, bool* held, std::string* error);
    // Gives back every entry lease holds, each counting an attempt, and
    // drops the lease.
    bool CloseLease(int64_t lease, std::string* error);
    // Releases the leases of dead readers (an attempt each) and deletes the
    // entries of dead writers with their files.
    bool Reclaim(std::string* error);

    // The envelope of entry id; *found false when it has none (no such
    // entry, or still being written).
    bool ReadEnvelope(unsigned long id, EnvelopeData* envelope, bool* found, std::string* error);

    // Operator's calls (mqadmin.h).
    bool List(const std::string& channel, std::vector<mqadmin::EntryInfo>* out,
              std::string* error);
    bool Info(unsigned long id, mqadmin::EntryInfo* out, bool* found, std::string* error);
    bool Count(std::vector<mqadmin::ChannelCount>* out, std::string* error);
    mqadmin::AdminResult Remove(unsigned long id, std::string* error);
    // Moves entry id from one of the states in from to state to, attempts
    // counted from 0 again when reset. Done also when it is in state to.
    mqadmin::AdminResult ChangeState(unsigned long id, std::vector<int64_t> from, int64_t to,
                                     bool reset, std::string* error);
    bool Check(mqadmin::HealthReport* report, std::string* error);

private:
    QueueDb(std::unique_ptr<Db> db, Spool spool, ProcessIdentity self)
        : m_db(std::move(db)), m_spool(std::move(spool)), m_self(std::move(self)) {}

    bool CreateSchema(std::string* error);
    // Switches between synced (FULL) and unsynced (NORMAL) commits; only
    // between transactions.
    bool SetSync(bool full, std::string* error);
    bool ReleaseLease(int64_t lease, std::string* error);
    bool LoadInfo(Stmt& row, mqadmin::EntryInfo* info);
    bool IsMe(const ProcessIdentity& who) const {
        return who.pid == m_self.pid && who.key == m_self.key;
    }

    std::unique_ptr<Db> m_db;
    Spool m_spool;
    ProcessIdentity m_self;
    uint32_t m_maxAttempts = 5;
    std::string m_log = "mqapi";
};

}  // namespace mqstore

#endif
