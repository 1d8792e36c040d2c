// queuedb.h - the queue store's database: entries, their states and leases,
// the identifier blocks, and the clean-up after dead writers and readers.
//
// Tables (queue.db):
//   meta(key, value)  "schema" (the layout's version) and "last_id" (the
//                     last identifier of the last block handed out)
//   entries           one row per committed entry: id, channel (matched
//                     without regard to letter case), state, creation time,
//                     writer's application, the writer's claim (its holder,
//                     locks.h) until the body is seen in place, lease (the
//                     read handle holding it), attempts, encoded envelope,
//                     the last hand-out's time, and why it last came back
//                     or was moved (reason, when, by whom, the reader's
//                     words); the retry schedule's due time and deferrals;
//                     the body's size once the store knows it
//   totals            per channel, state and leased-or-not: entries, bytes,
//                     attempts, deferrals, entries with a due time; kept by
//                     triggers (schema.cpp) in the statement that changes
//                     an entry, so in its transaction, whatever the path
//   leases            one row per open read handle, with its holder and
//                     application
//   blocks            the identifier block each writing process holds
// A put is one write transaction: the entry's row is inserted at its commit,
// with the identifier taken from the process's block (reserved kBlock at a
// time in a transaction of its own, unsynced). Indexes keep every
// per-message query to a few B-tree steps at any depth: entries ready to
// hand out (no claim) and due now, and entries waiting for their body, by
// (channel, id); deferred ones by (channel, due), so that a reader finds
// the next due entry in a step however many wait for later; leased entries
// by lease; claimed ones by holder. The operator's views read the totals
// and two more indexes (entries by (channel, created), deferred ones by
// (channel, created, due)) instead of walking the entries
// (queuedb_totals.cpp).
//
// Liveness. Leases, claims and blocks name their process by slot and nonce
// (locks.h), never by process id, so a reader in another PID namespace or
// under /proc hidepid=2 is seen alive, and a reused process id changes
// nothing.
//
// Durability, with group commit (sqlitedb.h: commit under the writers'
// lock without a sync, sync the WAL after letting go, return after that
// sync). The commits that make an entry durable or remove it, and the
// operator's changes, are durable; leases, releases, block reservations and
// clean-ups are not: a later durable commit's sync covers their frames too,
// and losing one in a power cut only re-offers an entry or drops one nobody
// was told about. A give-back's schedule (its due time and counts) is not
// durable either: lost, the entry is only offered sooner. A flush is an
// operator's change, durable. Why each ordering is safe:
// - A reader sees a committed entry whose WAL frames are not yet synced: it
//   may take it, deliver it and remove it. If power fails before any sync
//   covers the put, the writer was never told it succeeded and may put it
//   again (a second delivery: delivery is at least once), and the removal
//   can't be durable without a sync that also covers the put's frames,
//   because the WAL is synced as one file, in order.
// - A crash between commit and sync: the put was not acknowledged; after
//   recovery the entry is there (its frames reached the disk) or not.
//   Either is allowed. A body the one-call put wrote as a file of its own
//   (above the body limit) was synced before the commit, so an entry never
//   outlives its body that way.
// - A body in the commit (the one-call put, up to the body limit; table
//   bodies): the body is a row written in the entry's own transaction, so
//   one WAL sync makes both durable, or neither. The put writes no ".msg"
//   file: a waiting body is kept once, and the put writes one copy less.
//   The row records the boot of the commit (boot_id), later the boot its
//   file was last written on. Before a path is handed out or named
//   (hand-out, GetMQEnvelope, GetMQPathName by identifier, the operator's
//   show), EnsureBody compares:
//   - same boot, file there, size right: the file's bytes are those written
//     from the row, in the page cache or on disk; a killed process doesn't
//     lose them (only a power cut or a crash of the kernel does, and either
//     starts a new boot). The file is handed out as it is.
//   - missing on the commit's boot: not written yet (or removed by hand).
//     It is written from the row (beside, then renamed in, so no reader
//     sees it half done); the row is left as it is.
//   - another boot: a power cut may have left the file short, empty,
//     missing, or of the right size over blocks never written; it is
//     written again the same way and the row records this boot. That write
//     needs no sync either: a cut before it reaches the disk is again
//     another boot. Losing the row's boot update in a cut costs one more
//     rewrite.
//   - of the wrong size on this boot (cut by hand): written again.
//   A path is thus whole when it is named, never before: the health check
//   counts a body in a commit as there, file or not.
//   The rewrite runs in a write transaction that finds the row again, so a
//   removal (which commits before it unlinks) can't be undone by a rewrite
//   that read the row before it: either the rewrite sees no row, or the
//   removal's unlink comes after the rename.
//   Removing an entry removes its row (a trigger: whatever deletes the
//   entry) and its file, if one was written.
// - A checkpoint: SQLite syncs the WAL before copying frames into the
//   database file and syncs that file before the WAL may be restarted, so a
//   commit is durable in one of the two by the time its frames can be
//   overwritten; the later sync of a restarted WAL is then merely extra.
// - A block reservation lost in a power cut: no entry of that block was
//   acknowledged (its commit would have synced the reservation's earlier
//   frames), so its identifiers may be handed out again; any body file left
//   under one is removed when the identifier is next handed out.
//
// The trail: every change of an entry logs its line (trail.h) from what is
// in hand, without another statement: after its commit, but for the removal
// of a dead writer's bodiless entry, logged within the clean-up's
// transaction.
//
// A full disk: readers' writes fall back on a reserve file of the spool
// (ForReader below), so that entries can still be taken and removed.
//
// Failures return a failed Status with the cause (SQLite's message, or
// "operation path: strerror"); the caller logs it once.
//
// Thread safety: none; the caller serialises (OneMQ.csStore).
#ifndef MQ_QUEUEDB_H
#define MQ_QUEUEDB_H

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "entrystates.h"
#include "envcodec.h"
#include "locks.h"
#include "mqadmin.h"
#include "spool.h"
#include "sqlitedb.h"

namespace mqstore {

// The default of the largest body kept in its entry's commit. Measured with
// one-call puts on a busy 2-core machine's ext4 (no journal wait shared):
// from one process a body in the commit is 2.7x the synced file's rate at
// 4 KiB, 1.9x at 64 KiB, 1.2x at 256 KiB and 0.5x at 1 MiB; from eight it
// is about even at 4 KiB and 0.5-0.7x from 16 KiB up, the log's sync and
// checkpoints carrying every byte twice. 4 KiB gains where it can't lose.
const size_t kDefaultBodyLimit = 4096;

// The store's clock: milliseconds since the epoch (UTC). Tests move it on
// through the environment variable MQ_TEST_CLOCK_OFFSET (seconds added to
// the system's time, read at every call); nothing else sets it.
int64_t StoreNowMs();
inline int64_t StoreNowS() { return StoreNowMs() / 1000; }

// When entries that come back are offered again (queuedb.cpp: the three
// ways back), in seconds.
struct RetrySchedule {
    int64_t minimalBackoff = 300;
    int64_t maximalBackoff = 3600;
    int64_t queueLifetime = 5 * 86400;  // 0: entries never expire
};

// How an entry leased to a reader of this process goes back.
enum class GiveBackKind {
    kDeferred,  // to be tried again after its backoff; counts a deferral
    kUntried    // never tried: due at once, nothing counted
};

// An entry given back, as it stands after it.
struct GivenBackEntry {
    int64_t id = 0;
    int64_t state = 0;
    int64_t reason = 0;
    int64_t attempts = 0;
    int64_t deferrals = 0;
    int64_t due = 0;  // milliseconds since the epoch; 0: due now
};

// The running boot's identity; empty when it can't be read (every file
// written from a commit's copy then counts as possibly stale).
std::string CurrentBoot();

class QueueDb {
  public:
    // Opens or creates the database of spool, into *out, and takes this
    // process's slot in the spool's lock file.
    static mq::Status Open(const Spool& spool, std::unique_ptr<QueueDb>* out);
    // Opens the existing database of spool for reading only: no slot is
    // taken, nothing is created, upgraded or reserved; every write fails.
    static mq::Status OpenForReading(const Spool& spool, std::unique_ptr<QueueDb>* out);

    void SetMaxAttempts(uint32_t maxAttempts) { m_maxAttempts = maxAttempts; }
    void SetSchedule(const RetrySchedule& schedule) { m_schedule = schedule; }
    // The application's name (MQInit's appname): recorded with the leases
    // this process opens and in the trail's lines, and the tag of the lines
    // the database logs itself (entries set aside, clean-up after the dead,
    // files left behind by a removal).
    void SetAppName(const std::string& name) { m_appName = name; }
    const Spool& GetSpool() const { return m_spool; }
    // In a forked child: lets go of the parent's lock file descriptor.
    void ForgetAfterFork() { m_locks->Forget(); }

    // Writers.
    // Hands out the next identifier of this process's block (reserving a
    // new block when it is used up) and removes any file left under it.
    mq::Status CreateEntry(unsigned long* id);
    // Inserts entry id, queued in channel with envelope, in a durable
    // commit. With bodyInPlace false the entry carries this process's claim
    // until its ".msg" file is seen. With body given, the body rides in the
    // same commit, recorded with the running boot; its ".msg" file is
    // written when its entry is first handed out (right after the
    // hand-out's commit) or its path first named (EnsureBody).
    mq::Status CommitEntry(unsigned long id, const std::string& app, const std::string& channel,
                           const EnvelopeData& envelope, bool bodyInPlace, const std::string* body);
    // The largest body that rides in its entry's commit (larger ones are
    // synced as files of their own).
    void SetBodyLimit(size_t limit) { m_bodyLimit = limit; }
    size_t BodyLimit() const { return m_bodyLimit; }
    // Removes the files of entry id, which was never committed (the
    // database holds nothing of it to remove).
    mq::Status RemoveUncommitted(unsigned long id);

    // Readers.
    mq::Status OpenLease(const std::string& channel, int64_t* lease);
    // Leases the lowest entry of channel that is queued, unleased and has
    // its body; *id is 0 when there is none. Entries waiting for the body of
    // a dead writer are removed on the way.
    mq::Status NextEntry(int64_t lease, const std::string& channel, unsigned long* id);
    // Removes entry id, leased to lease, with its files. *held is false
    // (and nothing changed) when the lease no longer holds it.
    mq::Status RemoveLeased(int64_t lease, unsigned long id, bool* held);
    // Gives back every entry lease holds, each deferred (a reader that
    // closes without removing will try later), and drops the lease.
    mq::Status CloseLease(int64_t lease);
    // Gives back entry id, leased to a read handle of this process, as kind
    // says, recording why (the reader's words) with a deferral; *out is how
    // it stands after. *held is false (nothing changed) when no lease of
    // this process holds it.
    mq::Status GiveBack(unsigned long id, GiveBackKind kind, const std::string& why,
                        GivenBackEntry* out, bool* held);
    // Makes deferred entries due now: entry id (0: every entry of channel,
    // "" for every channel). *count is the number of entries changed.
    mq::Status Flush(unsigned long id, const std::string& channel, const std::string& who,
                     uint64_t* count);
    // The earliest time (milliseconds since the epoch) at which a deferred
    // entry of channel comes due, into *due; 0 when none waits.
    mq::Status NextDue(const std::string& channel, int64_t* due);
    // Releases the leases of dead readers (an attempt each), removes the
    // bodiless entries of dead writers and the files of dead processes'
    // unused identifiers, and makes the spool's reserve again if it was
    // used up or a power cut left it short.
    mq::Status Reclaim();

    // Makes entry id's ".msg" file whole from the copy its commit holds,
    // when that file may be stale or was never written: written on another
    // boot, missing, or of the wrong size. Nothing to do for an entry whose body came as a
    // file of its own, or for no entry at all. Fails when the file can't be
    // written.
    mq::Status EnsureBody(unsigned long id);

    // The envelope of entry id; *found false when it has none. The entry
    // NextEntry has just handed out is answered from the copy it kept.
    mq::Status ReadEnvelope(unsigned long id, EnvelopeData* envelope, bool* found);

    // Fails when the database file was deleted or replaced under this
    // process.
    mq::Status CheckFile() { return m_db->SameFile(); }

    // Operator's calls (mqadmin.h).
    mq::Status List(const std::string& channel, std::vector<mqadmin::EntryInfo>* out);
    // Calls each for every entry filter selects, in identifier order, until
    // it returns false. Entries are read a page at a time, each page in a
    // read of its own, so no read stays open while each runs; an entry is
    // decoded only when its turn comes.
    mq::Status Walk(const mqadmin::EntryFilter& filter,
                    const std::function<bool(const mqadmin::EntryInfo&)>& each);
    // The number of entries filter selects, counted by the database.
    mq::Status CountMatching(const mqadmin::EntryFilter& filter, uint64_t* count);
    mq::Status Info(unsigned long id, mqadmin::EntryInfo* out, bool* found);
    // Entry id as it stands, its file not looked after (Info without
    // EnsureBody).
    mq::Status InfoAsIs(unsigned long id, mqadmin::EntryInfo* out, bool* found);
    // CountEntries' and ReadTotals' figures (queuedb_totals.cpp), from the
    // totals and the indexes.
    mq::Status Count(std::vector<mqadmin::ChannelCount>* out);
    mq::Status Totals(const std::vector<int64_t>& createdBounds,
                      std::vector<mqadmin::ChannelTotals>* out);
    // Removes entry id with its files; *outcome is Done, NotFound or
    // WrongState (an entry being written) when the call succeeds. who names
    // the operator in the trail line.
    mq::Status Remove(unsigned long id, const std::string& who, mqadmin::AdminResult* outcome);
    // Moves entry id from one of the states in from to state to, attempts
    // counted from 0 again when reset, and records reason, now and who.
    // *outcome is Done also (and nothing recorded) when it is in state to.
    mq::Status ChangeState(unsigned long id, std::vector<int64_t> from, int64_t to, bool reset,
                           int64_t reason, const std::string& who, mqadmin::AdminResult* outcome);
    // The health check (mqadmin.h); reads only.
    mq::Status Check(const mqadmin::CheckOptions& options, mqadmin::HealthReport* report);
    // The database's and the log's sizes and the database's free part.
    mq::Status Space(mqadmin::SpaceReport* report);

private:
    QueueDb(std::unique_ptr<Db> db, std::unique_ptr<LockFile> locks, Spool spool)
        : m_db(std::move(db)), m_locks(std::move(locks)), m_spool(std::move(spool)) {}

    mq::Status CreateSchema();
    // Check's parts. The database: the full integrity scan, or the quick
    // look at its header and schema.
    mq::Status CheckDatabase(const mqadmin::CheckOptions& options, std::string* verdict);
    // Entries without any copy of their body, and files of no entry.
    mq::Status CheckFiles(const mqadmin::CheckOptions& options, mqadmin::HealthReport* report);

    // The reader a give-back is recorded for: this process, or a dead one.
    struct Reader {
        std::string app;
        int64_t pid;
    };
    mq::Status OpenLeaseOnce(const std::string& channel, int64_t* lease);
    // What a hand-out leaves to do for the file of the entry it handed out.
    struct BodyLook {
        int64_t onDisk = -1;  // the file's size; -1: none
        bool sameBoot = false;  // the row was last written on this boot
    };
    struct HandOutBody {
        mq::Status failure;   // writing it in the transaction failed
        bool pending = false;  // bytes is to be written after the commit
        std::string bytes;
        BodyLook look;
    };
    mq::Status NextEntryOnce(int64_t lease, const std::string& channel, unsigned long* id,
                             HandOutBody* body);
    // Writes the file of entry id, just handed out to this process, from
    // the body its hand-out read; the file goes again when the entry went
    // meanwhile.
    mq::Status WriteHandedOutBody(unsigned long id, const HandOutBody& body);
    mq::Status RemoveLeasedOnce(int64_t lease, unsigned long id, bool* held);
    mq::Status CloseLeaseOnce(int64_t lease);
    // A full disk must not stop the queue from draining: a reader's write
    // that fails for want of space releases the spool's reserve file
    // ("queue.reserve", made again by a later Reclaim once there is room)
    // and is tried once more.
    template <typename F>
    mq::Status ForReader(F once) {
        m_db->ForgetFailure();
        mq::Status s = once();
        if (s.ok() || !m_db->DiskFull() || !ReleaseReserve()) return s;
        return once();
    }
    bool ReleaseReserve();
    void KeepReserve();
    mq::Status ReserveBlock();
    // Counts a message put or removed; at the kLongLivedAfter-th, the log's
    // checkpoint interval goes to kLongLogPages (sqlitedb.h).
    void CountMessageWritten();
    // NextEntryOnce's steps, within its transaction. The lowest entry of
    // channel ready to hand out whose body came with its commit, into
    // *chosen (0 for none).
    mq::Status FirstReady(const std::string& channel, int64_t* chosen);
    // A lower entry whose writer has since brought its body, into *chosen
    // (left as it was when there is none); entries whose writer died
    // without it go.
    mq::Status FirstArrived(const std::string& channel, int64_t* chosen);
    // Gives entry chosen to lease, keeping its envelope for the reader.
    mq::Status Lease(int64_t chosen, int64_t lease);
    // Whether entry id's file needs no writing (*fresh: no body in a commit,
    // or a file of its size written on this boot), with what was seen of a
    // body that came with its commit.
    mq::Status BodyFresh(unsigned long id, bool* fresh, BodyLook* look);
    // The body that came with entry id's commit, into *body; *found false
    // when there is none.
    mq::Status CommittedBody(unsigned long id, std::string* body, bool* found);
    // REQUIRES: a write transaction open. Writes entry id's file from its
    // commit, as look found it.
    mq::Status WriteBodyFromCommit(unsigned long id, const BodyLook& look);
    // Reclaim's steps. Dead readers: their leases go back, an attempt each.
    mq::Status ReclaimReaders();
    // Dead writers' claims: an entry whose body came is simply handed out
    // later; one whose body never came goes.
    mq::Status ReclaimClaims();
    // Dead writers' identifier blocks: files under identifiers they never
    // committed are theirs (a body written before a commit that never came).
    mq::Status ReclaimBlocks();
    using GivenBack = GivenBackEntry;
    // Within a transaction: gives back the entries of lease (only entry id,
    // when not 0) with reason: kReasonReturned or kReasonDeferred (deferred,
    // why recorded), kReasonReaderDied (an attempt), or 0 (untried), for
    // reader, into *back. Drops the lease when dropLease.
    mq::Status ReleaseLease(int64_t lease, int64_t reason, const Reader& reader,
                            std::vector<GivenBack>* back, int64_t id = 0,
                            const std::string& why = std::string(), bool dropLease = true);
    // After the commit: one trail line per entry given back.
    void LogGivenBack(const std::vector<GivenBack>& back, int64_t reason, const Reader& reader);
    // Whether entry id is still queued QueueLifetime after its put.
    mq::Status Expired(int64_t id, bool* expired);
    // Within NextEntry's transaction: sets entry id aside as expired.
    mq::Status Expire(int64_t id);
    // Within a transaction: removes claimed entry id, whose writer is gone
    // and whose body never came.
    mq::Status DropBodiless(int64_t id, const Holder& writer);
    // A write transaction; kDurable commits are synced before Commit
    // returns, kUnsynced ones reach the disk with the next synced one.
    enum class Sync { kDurable, kUnsynced };
    Transaction Write(Sync sync) {
        return Transaction(m_db.get(), m_locks.get(), sync == Sync::kDurable);
    }

    std::unique_ptr<Db> m_db;
    std::unique_ptr<LockFile> m_locks;
    Spool m_spool;
    std::deque<unsigned long> m_free;  // this process's unused identifiers
    unsigned long m_blockSize = 1;     // identifiers the next reservation takes
    size_t m_bodyLimit = kDefaultBodyLimit;
    // Entries seen waiting for a live writer's body for a while, and when
    // to look at each again, so that a writer that never brings its body
    // does not cost every hand-out a look at the file.
    std::map<int64_t, int64_t> m_recheck;
    // The entry NextEntry handed out last, with its encoded envelope, until
    // ReadEnvelope takes it.
    struct HandedOut {
        int64_t id = 0;
        std::string envelope;
    };
    HandedOut m_handedOut;
    // The entry FirstArrived chose, with its file's size then, for Lease to
    // record.
    std::pair<int64_t, int64_t> m_arrived{0, -1};
    // Messages put or removed through this connection, counted up to
    // kLongLivedAfter, when the log's checkpoint interval is lengthened.
    int m_messagesWritten = 0;
    uint32_t m_maxAttempts = 5;
    RetrySchedule m_schedule;
    std::string m_appName = "mqapi";
};

}  // namespace mqstore

#endif
