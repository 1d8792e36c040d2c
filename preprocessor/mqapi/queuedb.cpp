// queuedb.cpp - entries, leases and identifier blocks in SQLite.
#include "queuedb.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <set>
#include <unordered_set>

#include "log.h"
#include "schema.h"
#include "syscalls.h"
#include "trail.h"

namespace mqstore {

namespace {

// Creation and lease times come from time(); with a 32-bit time_t (i386
// without _TIME_BITS=64) it fails from 2038 on.
static_assert(sizeof(time_t) >= 8, "the store needs 64-bit time");

// Only readers can meet SQLite's busy handler (a writer holds the writers'
// lock first); they wait for a checkpoint or a recovery at most as long as
// writers wait for their lock.
const int kBusyMs = LockFile::kWaitMs;
// Identifiers reserved at a time, at most: one reservation per 64 puts. A
// process's first reservation takes one, and each later one twice as many
// as the last, so that a process that puts once (a mail system's pipe runs
// one per message) does not pass over 63 identifiers when it ends.
const unsigned long kBlock = 64;
// Entries waiting for their body looked at per hand-out.
const int kPendingBatch = 32;
// An entry older than this whose live writer has still not brought its
// body is looked at only every kRecheckMs.
const int64_t kPatienceS = 2;
const int64_t kRecheckMs = 1000;
// Space kept back for readers on a full disk: a removal writes a few pages
// to the write-ahead log, so this lets hundreds of them through.
const char kReserveName[] = "queue.reserve";
const off_t kReserveBytes = 4 << 20;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The backoff after the n-th return, n the column's value before it
// (deferrals or attempts, so n - 1 doublings), in milliseconds: ?min and
// ?max are bound in milliseconds. The doubling stops at 2^20 times the
// least, which no sensible cap exceeds, so that it can't overflow.
#define BACKOFF_MS(n) "min(?8, ?7 << min(" n ", 20))"
// The backoff with its spread: up to a tenth more, so that a backlog that
// came back at one instant does not come due at one instant.
#define SPREAD_MS(n) "(" BACKOFF_MS(n) " + abs(random()) % (" BACKOFF_MS(n) " / 10 + 1))"
// An entry still queued QueueLifetime (?9, milliseconds; 0 none) after its
// put, at ?6 (now, milliseconds).
#define EXPIRED "(state = " MQ_SQL_QUEUED " AND ?9 > 0 AND created * 1000 + ?9 <= ?6)"

}  // namespace

int64_t StoreNowMs() {
    int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
    const char* offset = std::getenv("MQ_TEST_CLOCK_OFFSET");
    if (offset != nullptr && offset[0] != '\0') now += std::atoll(offset) * 1000;
    return now;
}

mq::Status QueueDb::Open(const Spool& spool, std::unique_ptr<QueueDb>* out) {
    std::unique_ptr<LockFile> locks;
    std::unique_ptr<Db> db;
    mq::Status s = LockFile::Open(spool.Root(), &locks);
    if (s.ok()) s = Db::Open(spool.DatabasePath(), kBusyMs, false, &db);
    if (!s.ok()) return s;
    std::unique_ptr<QueueDb> queue(new QueueDb(std::move(db), std::move(locks), spool));
    s = queue->CreateSchema();
    if (!s.ok()) return s;
    queue->KeepReserve();
    *out = std::move(queue);
    return s;
}

mq::Status QueueDb::OpenForReading(const Spool& spool, std::unique_ptr<QueueDb>* out) {
    std::unique_ptr<LockFile> locks;
    std::unique_ptr<Db> db;
    mq::Status s = LockFile::OpenForReading(spool.Root(), &locks);
    if (s.ok()) s = Db::Open(spool.DatabasePath(), kBusyMs, true, &db);
    if (!s.ok()) return s;
    Stmt version = db->Prepare("SELECT value FROM meta WHERE key = 'schema'");
    s = version.Step();
    if (!s.ok()) return s;
    int64_t found = version.Row() ? version.Int(0) : -1;
    version.Reset();
    if (found != kSchemaVersion) {
        // An older schema is upgraded by the next process that writes.
        return mq::Status::Error(spool.DatabasePath() + ": schema " +
                                 (found >= 0 ? std::to_string(found) : std::string("?")) +
                                 ", not this store's " + std::to_string(kSchemaVersion) +
                                 " (a process that writes upgrades an older one)");
    }
    out->reset(new QueueDb(std::move(db), std::move(locks), spool));
    return s;
}

mq::Status QueueDb::CreateSchema() {
    {
        // A database of this version (every start but the first) needs no
        // write, and so no sync: a process that puts once pays for its put.
        Stmt current = m_db->Prepare("SELECT value FROM meta WHERE key = 'schema'");
        if (current.Step().ok() && current.Row() && current.Int(0) == kSchemaVersion) {
            return mq::Status::OK();
        }
    }
    Transaction t = Write(Sync::kDurable);
    mq::Status s = t.Begin();
    if (s.ok()) {
        s = PrepareSchema(m_db.get(), m_spool.DatabasePath(), [this](int64_t id) {
            return m_spool.BodySize(static_cast<unsigned long>(id));
        });
    }
    if (s.ok()) s = t.Commit();
    return s;
}

mq::Status QueueDb::ReserveBlock() {
    const Holder& me = m_locks->Self();
    Transaction t = Write(Sync::kUnsynced);
    mq::Status s = t.Begin();
    // The block used up is no longer this process's to clean up after.
    if (s.ok()) {
        s = m_db->Prepare("DELETE FROM blocks WHERE slot = ?1 AND nonce = ?2")
                .Bind(1, me.slot)
                .Bind(2, me.nonce)
                .Run();
    }
    Stmt last = m_db->Prepare("SELECT value FROM meta WHERE key = 'last_id'");
    if (s.ok()) s = last.Step();
    if (!s.ok()) return s;
    // 64-bit arithmetic: with a 32-bit unsigned long (i386), the block's end
    // past the last identifier would wrap to a small number, and a loop up
    // to the last identifier would never end.
    uint64_t previous = last.Row() ? static_cast<uint64_t>(last.Int(0)) : 0;
    last.Reset();

    // Identifiers go round the 32-bit range once before one comes back; a
    // block never wraps, and one still in use is passed over.
    Stmt used = m_db->Prepare("SELECT id FROM entries WHERE id BETWEEN ?1 AND ?2");
    std::deque<unsigned long> fresh;
    uint64_t first = 0, lastId = 0;
    for (int round = 0; fresh.empty(); ++round) {
        if (round == 100000) {
            return mq::Status::Error("no free entry identifier near " + std::to_string(previous));
        }
        first = previous >= kMaxEntryId ? 1 : previous + 1;
        lastId = first + m_blockSize - 1 > kMaxEntryId ? kMaxEntryId : first + m_blockSize - 1;
        std::set<unsigned long> taken;
        used.Bind(1, static_cast<int64_t>(first)).Bind(2, static_cast<int64_t>(lastId));
        s = used.ForEachRow([&] { taken.insert(static_cast<unsigned long>(used.Int(0))); });
        if (!s.ok()) return s;
        for (uint64_t id = first; id <= lastId; ++id) {
            if (taken.count(static_cast<unsigned long>(id)) == 0) {
                fresh.push_back(static_cast<unsigned long>(id));
            }
        }
        previous = lastId;
    }
    s = m_db->Prepare("UPDATE meta SET value = ?1 WHERE key = 'last_id'")
            .Bind(1, static_cast<int64_t>(lastId))
            .Run();
    if (s.ok()) {
        s = m_db->Prepare(
                    "INSERT OR REPLACE INTO blocks(first, last, slot, nonce, pid)"
                    " VALUES(?1, ?2, ?3, ?4, ?5)")
                .Bind(1, static_cast<int64_t>(first))
                .Bind(2, static_cast<int64_t>(lastId))
                .Bind(3, me.slot)
                .Bind(4, me.nonce)
                .Bind(5, me.pid)
                .Run();
    }
    if (s.ok()) s = t.Commit();
    if (!s.ok()) return s;
    m_free = std::move(fresh);
    m_blockSize = std::min(m_blockSize * 2, kBlock);
    return s;
}

mq::Status QueueDb::CreateEntry(unsigned long* id) {
    if (m_free.empty()) {
        mq::Status reserved = ReserveBlock();
        if (!reserved.ok()) return reserved;
    }
    unsigned long next = m_free.front();
    // A body left under this identifier (by a writer whose reservation a
    // power cut undid, or before the sequence came round) must not pass for
    // the new entry's.
    mq::Status removed = m_spool.RemoveBody(next);
    if (!removed.ok()) return removed;
    m_free.pop_front();
    *id = next;
    return removed;
}

mq::Status QueueDb::CommitEntry(unsigned long id, const std::string& app,
                                const std::string& channel, const EnvelopeData& envelope,
                                bool bodyInPlace, const std::string* body) {
    const Holder& me = m_locks->Self();
    Transaction t = Write(Sync::kDurable);
    mq::Status s = t.Begin();
    if (!s.ok()) return s;
    Stmt insert = m_db->Prepare(
        "INSERT INTO entries(id, channel, state, created, app, claim_slot, claim_nonce,"
        " claim_pid, envelope, size) VALUES(?1, ?2, 1, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    insert.Bind(1, static_cast<int64_t>(id))
        .Bind(2, channel)
        .Bind(3, StoreNowS())
        .Bind(4, app)
        .BindBlob(8, EncodeEnvelope(envelope));
    // The body's size goes with the entry (the views' totals count it);
    // one its writer is still to bring is learnt at its first hand-out.
    const int64_t size = body != nullptr ? static_cast<int64_t>(body->size())
                         : bodyInPlace   ? m_spool.BodySize(id)
                                         : -1;
    if (size >= 0) {
        insert.Bind(9, size);
    } else {
        insert.BindNull(9);
    }
    if (bodyInPlace) {
        insert.BindNull(5).BindNull(6).BindNull(7);
    } else {
        insert.Bind(5, me.slot).Bind(6, me.nonce).Bind(7, me.pid);
    }
    s = insert.Run();
    if (!s.ok()) return s;
    insert.Reset();
    if (body != nullptr) {
        s = m_db->Prepare("INSERT INTO bodies(id, body, boot) VALUES(?1, ?2, ?3)")
                .Bind(1, static_cast<int64_t>(id))
                .BindBlob(2, *body)
                .Bind(3, CurrentBoot())
                .Run();
        if (!s.ok()) return s;
    }
    s = t.Commit();
    if (s.ok()) CountMessageWritten();
    if (s.ok() || !t.Committed()) return s;
    // Committed, but the sync failed: the put is not acknowledged, and the
    // caller will discard the body, so the row must go too rather than be
    // offered without it.
    Transaction undo = Write(Sync::kUnsynced);
    mq::Status undone = undo.Begin();
    if (undone.ok()) {
        undone = m_db->Prepare("DELETE FROM entries WHERE id = ?1")
                     .Bind(1, static_cast<int64_t>(id))
                     .Run();
    }
    if (undone.ok()) undone = undo.Commit();
    if (!undone.ok()) {
        LogMessagef(MQLOG_ERROR, m_appName.c_str(), "entry %lu: its unsynced commit stays: %s", id,
                    undone.Cause().c_str());
    }
    return s;
}

std::string CurrentBoot() {
    char boot[64];
    return MQSysCallTable()->bootid(boot, sizeof boot) > 0 ? std::string(boot) : std::string();
}

mq::Status QueueDb::BodyFresh(unsigned long id, bool* fresh, BodyLook* look) {
    *look = BodyLook();
    *fresh = true;
    Stmt row = m_db->Prepare("SELECT length(body), boot FROM bodies WHERE id = ?1");
    mq::Status s = row.Bind(1, static_cast<int64_t>(id)).Step();
    if (!s.ok() || !row.Row()) return s;  // no body in a commit, or no entry
    std::string now = CurrentBoot();
    look->onDisk = m_spool.BodySize(id);
    look->sameBoot = !now.empty() && row.Text(1) == now;
    *fresh = look->sameBoot && look->onDisk == row.Int(0);
    return s;
}

mq::Status QueueDb::CommittedBody(unsigned long id, std::string* body, bool* found) {
    Stmt read = m_db->Prepare("SELECT body FROM bodies WHERE id = ?1");
    mq::Status s = read.Bind(1, static_cast<int64_t>(id)).Step();
    *found = s.ok() && read.Row();
    if (*found) *body = read.Text(0);
    return s;
}

mq::Status QueueDb::WriteBodyFromCommit(unsigned long id, const BodyLook& look) {
    const int64_t key = static_cast<int64_t>(id);
    std::string body;
    bool found = false;
    mq::Status s = CommittedBody(id, &body, &found);
    if (!s.ok() || !found) return s;
    s = m_spool.WriteLooseBody(id, body, true);
    // The row records the boot the file was written on; a put records the
    // boot of its commit, so a file first written on that boot changes
    // nothing in the database.
    if (s.ok() && !look.sameBoot) {
        s = m_db->Prepare("UPDATE bodies SET boot = ?2 WHERE id = ?1")
                .Bind(1, key)
                .Bind(2, CurrentBoot())
                .Run();
    }
    // A file missing on the boot of its commit was most likely never
    // written (the put leaves it to the first naming): no news. Anything
    // else was damage, mended.
    if (s.ok() && (!look.sameBoot || look.onDisk >= 0)) {
        LogMessagef(MQLOG_INFO, m_appName.c_str(),
                    "entry %lu: its file written again from its commit", id);
    }
    return s;
}

mq::Status QueueDb::EnsureBody(unsigned long id) {
    bool fresh = true;
    BodyLook look;
    mq::Status s = BodyFresh(id, &fresh, &look);
    if (!s.ok() || fresh) return s;
    if (m_locks->ReadOnly()) {
        // Better no path than one to a file that may hold stale bytes.
        return mq::Status::Error(
            "entry " + std::to_string(id) +
            ": its file must be written from its commit (not written yet, or missing, short"
            " or from before a restart), which a reader without write access can't do");
    }
    // Under the writers' lock, so that a removal can't slip between reading
    // the row and renaming the file in.
    Transaction t = Write(Sync::kUnsynced);
    s = t.Begin();
    if (s.ok()) s = WriteBodyFromCommit(id, look);
    return s.ok() ? t.Commit() : s;
}

mq::Status QueueDb::WriteHandedOutBody(unsigned long id, const HandOutBody& body) {
    // No lock: the entry is leased to this process, and a file written by
    // someone else meanwhile (EnsureBody) holds the same bytes.
    mq::Status s = m_spool.WriteLooseBody(id, body.bytes, true);
    if (!s.ok()) return s;
    // An operator may have removed the entry, files and all, before the
    // rename: its file would then stay, an orphan.
    Stmt look = m_db->Prepare("SELECT 1 FROM entries WHERE id = ?1");
    s = look.Bind(1, static_cast<int64_t>(id)).Step();
    if (s.ok() && !look.Row()) {
        look.Reset();
        return m_spool.RemoveBody(id);
    }
    if (s.ok() && body.look.onDisk >= 0) {
        LogMessagef(MQLOG_INFO, m_appName.c_str(),
                    "entry %lu: its file written again from its commit", id);
    }
    return s;
}

mq::Status QueueDb::RemoveUncommitted(unsigned long id) { return m_spool.RemoveEntryFiles(id); }

mq::Status QueueDb::OpenLeaseOnce(const std::string& channel, int64_t* lease) {
    const Holder& me = m_locks->Self();
    Transaction t = Write(Sync::kUnsynced);
    mq::Status s = t.Begin();
    if (s.ok()) {
        s = m_db->Prepare(
                    "INSERT INTO leases(slot, nonce, pid, channel, opened, app)"
                    " VALUES(?1, ?2, ?3, ?4, ?5, ?6)")
                .Bind(1, me.slot)
                .Bind(2, me.nonce)
                .Bind(3, me.pid)
                .Bind(4, channel)
                .Bind(5, StoreNowS())
                .Bind(6, m_appName)
                .Run();
    }
    if (!s.ok()) return s;
    *lease = sqlite3_last_insert_rowid(m_db->Handle());
    return t.Commit();
}

mq::Status QueueDb::DropBodiless(int64_t id, const Holder& writer) {
    mq::Status s = m_db->Prepare("DELETE FROM entries WHERE id = ?1 AND claim_slot IS NOT NULL")
                       .Bind(1, id)
                       .Run();
    if (!s.ok()) return s;
    mq::Status removed = m_spool.RemoveBody(static_cast<unsigned long>(id));
    if (!removed.ok()) {
        LogMessagef(MQLOG_WARNING, m_appName.c_str(), "entry %lld removed, its files not: %s",
                    static_cast<long long>(id), removed.Cause().c_str());
    }
    m_recheck.erase(id);
    // Its writer is gone and its body never came.
    Trail(MQLOG_NOTICE, m_appName, id, "reclaimed",
          {{"reason", "writer-died"}, {"pid", std::to_string(writer.pid)}});
    return s;
}

mq::Status QueueDb::FirstReady(const std::string& channel, int64_t* chosen) {
    // An entry without a claim has its body in place: no look at the file.
    // A deferred entry that has come due goes first (the earliest due),
    // then the lowest of those never deferred; each is one index step.
    Stmt deferred = m_db->Prepare(
        "SELECT id, created FROM entries"
        " WHERE channel = ?1 AND state = " MQ_SQL_QUEUED
        " AND lease IS NULL AND claim_slot IS NULL"
        " AND due IS NOT NULL AND due <= ?2 ORDER BY due LIMIT 1");
    Stmt ready = m_db->Prepare(
        "SELECT id, created FROM entries"
        " WHERE channel = ?1 AND state = " MQ_SQL_QUEUED
        " AND lease IS NULL AND claim_slot IS NULL"
        " AND due IS NULL ORDER BY id LIMIT 1");
    const int64_t now = StoreNowMs();
    *chosen = 0;
    for (Stmt* look : {&deferred, &ready}) {
        look->Bind(1, channel);
        if (look == &deferred) look->Bind(2, now);
        mq::Status s = look->Step();
        if (!s.ok()) return s;
        if (look->Row()) *chosen = look->Int(0);
        look->Reset();
        if (*chosen != 0) return s;
    }
    return mq::Status::OK();
}

mq::Status QueueDb::Expired(int64_t id, bool* expired) {
    *expired = false;
    const int64_t lifetime = m_schedule.queueLifetime * 1000;
    if (lifetime <= 0) return mq::Status::OK();
    Stmt created = m_db->Prepare("SELECT created FROM entries WHERE id = ?1");
    mq::Status s = created.Bind(1, id).Step();
    if (!s.ok()) return s;
    *expired = created.Row() && created.Int(0) * 1000 + lifetime <= StoreNowMs();
    created.Reset();
    return s;
}

mq::Status QueueDb::Expire(int64_t id) {
    const int64_t now = StoreNowS();
    Stmt expire = m_db->Prepare(
        "UPDATE entries SET state = " MQ_SQL_FAILED ", reason = ?2, reason_at = ?3,"
        " reason_by = ?4, reason_text = ?5 WHERE id = ?1 RETURNING attempts, deferrals");
    std::string text = "still queued after " + std::to_string(m_schedule.queueLifetime) + "s";
    mq::Status s = expire.Bind(1, id)
                       .Bind(2, static_cast<int64_t>(kReasonExpired))
                       .Bind(3, now)
                       .Bind(4, m_appName + "[" + std::to_string(m_locks->Self().pid) + "]")
                       .Bind(5, text)
                       .Step();
    if (!s.ok()) return s;
    std::string attempts = expire.Row() ? std::to_string(expire.Int(0)) : "0";
    std::string deferrals = expire.Row() ? std::to_string(expire.Int(1)) : "0";
    s = expire.Run();
    if (!s.ok()) return s;
    // Logged within the hand-out's transaction: a rollback would leave the
    // line, and the entry is set aside again by the next reader.
    Trail(MQLOG_WARNING, m_appName, id, "failed",
          {{"reason", "expired"}, {"attempts", attempts}, {"deferrals", deferrals}});
    return s;
}

mq::Status QueueDb::FirstArrived(const std::string& channel, int64_t* chosen) {
    // Lower entries still claimed by their writer count once their body is
    // in place (renamed in: never half written).
    Stmt pending = m_db->Prepare(
        "SELECT id, claim_slot, claim_nonce, claim_pid, created FROM entries"
        " WHERE channel = ?1 AND state = " MQ_SQL_QUEUED
        " AND lease IS NULL AND claim_slot IS NOT NULL"
        " AND id < ?2 ORDER BY id LIMIT ?3");
    pending.Bind(1, channel)
        .Bind(2, *chosen != 0 ? *chosen : static_cast<int64_t>(kMaxEntryId) + 1)
        .Bind(3, kPendingBatch);
    struct Waiting {
        int64_t id;
        Holder writer;
        int64_t created;
    };
    std::vector<Waiting> waiting;
    mq::Status s = pending.ForEachRow([&] {
        waiting.push_back(
            {pending.Int(0), {pending.Int(1), pending.Int(2), pending.Int(3)}, pending.Int(4)});
    });
    if (!s.ok()) return s;
    int64_t now = NowMs();
    for (const Waiting& w : waiting) {
        auto later = m_recheck.find(w.id);
        if (later != m_recheck.end() && later->second > now) continue;
        const int64_t size = m_spool.BodySize(static_cast<unsigned long>(w.id));
        if (size >= 0) {
            m_recheck.erase(w.id);
            *chosen = w.id;
            m_arrived = {w.id, size};
            break;
        }
        if (!m_locks->Alive(w.writer)) {
            s = DropBodiless(w.id, w.writer);
            if (!s.ok()) return s;
        } else if (StoreNowS() - w.created >= kPatienceS) {
            // Entries taken or removed elsewhere leave their mark behind;
            // forgetting them all now and then costs one more look each.
            if (m_recheck.size() >= 10000) m_recheck.clear();
            m_recheck[w.id] = now + kRecheckMs;
        }
    }
    return s;
}

mq::Status QueueDb::Lease(int64_t chosen, int64_t lease) {
    Stmt take = m_db->Prepare(
        "UPDATE entries SET lease = ?2, claim_slot = NULL, claim_nonce = NULL,"
        " claim_pid = NULL, handed = ?3, size = coalesce(size, ?4) WHERE id = ?1"
        " RETURNING envelope");
    // A body its writer brought: its size, as FirstArrived found it.
    if (m_arrived.first == chosen) {
        take.Bind(4, m_arrived.second);
    } else {
        take.BindNull(4);
    }
    m_arrived = {0, -1};
    mq::Status s = take.Bind(1, chosen)
                       .Bind(2, lease)
                       .Bind(3, StoreNowS())
                       .Step();
    if (!s.ok()) return s;
    // The reader asks for the envelope next: kept, it costs no second
    // look at the database.
    m_handedOut = {chosen, take.Row() ? take.Text(0) : std::string()};
    return take.Run();
}

mq::Status QueueDb::NextEntryOnce(int64_t lease, const std::string& channel, unsigned long* id,
                                  HandOutBody* body) {
    *id = 0;
    Transaction t = Write(Sync::kUnsynced);
    int64_t chosen = 0;
    mq::Status s = t.Begin();
    // Mail that waited its whole lifetime is a matter for a person: set
    // aside, and the next one looked for.
    for (bool expired = true; s.ok() && expired;) {
        chosen = 0;
        s = FirstReady(channel, &chosen);
        if (s.ok()) s = FirstArrived(channel, &chosen);
        if (s.ok() && chosen != 0) s = Expired(chosen, &expired);
        if (s.ok() && chosen != 0 && expired) s = Expire(chosen);
        expired = expired && chosen != 0;
    }
    if (s.ok() && chosen != 0) s = Lease(chosen, lease);
    if (!s.ok()) return s;
    // The reader reads the file next, so it must be whole. When the body
    // came with the commit and its file is not yet (or no longer) right,
    // the body is read here, and written after the commit, outside the
    // writers' lock (NextEntry); a row from another boot must also record
    // this one, a write done here. A failure keeps the lease (the entry
    // goes back when the handle closes, deferred, so that an entry whose
    // file can't be written holds up no other) and is the call's.
    *body = HandOutBody();
    bool fresh = true;
    if (chosen != 0) s = BodyFresh(static_cast<unsigned long>(chosen), &fresh, &body->look);
    if (s.ok() && !fresh && body->look.sameBoot) {
        s = CommittedBody(static_cast<unsigned long>(chosen), &body->bytes, &body->pending);
    } else if (s.ok() && !fresh) {
        body->failure = WriteBodyFromCommit(static_cast<unsigned long>(chosen), body->look);
    }
    if (!s.ok()) return s;
    s = t.Commit();
    if (!s.ok()) {
        m_handedOut = HandedOut();
        return s;
    }
    *id = static_cast<unsigned long>(chosen);
    if (chosen != 0) {
        Trail(MQLOG_INFO, m_appName, chosen, "handed-out",
              {{"app", TrailValue(m_appName)}, {"pid", std::to_string(m_locks->Self().pid)},
               {"lease", std::to_string(lease)}});
    }
    return s;
}

mq::Status QueueDb::RemoveLeasedOnce(int64_t lease, unsigned long id, bool* held) {
    m_handedOut = HandedOut();
    Transaction t = Write(Sync::kDurable);
    mq::Status s = t.Begin();
    if (!s.ok()) return s;
    Stmt remove = m_db->Prepare("DELETE FROM entries WHERE id = ?1 AND lease = ?2");
    s = remove.Bind(1, static_cast<int64_t>(id)).Bind(2, lease).Run();
    if (!s.ok()) return s;
    *held = m_db->Changes() == 1;
    remove.Reset();
    s = t.Commit();
    if (!s.ok() || !*held) return s;
    CountMessageWritten();
    Trail(MQLOG_INFO, m_appName, static_cast<int64_t>(id), "removed",
          {{"by", "reader"}, {"app", TrailValue(m_appName)},
           {"pid", std::to_string(m_locks->Self().pid)}});
    // The entry is gone for good once the commit returned; a file left by a
    // failed unlink is an orphan the health check reports, not a failure of
    // the removal.
    mq::Status removed = m_spool.RemoveBody(id);
    if (!removed.ok()) {
        LogMessagef(MQLOG_WARNING, m_appName.c_str(), "entry %lu removed, its files not: %s", id,
                    removed.Cause().c_str());
    }
    return s;
}

mq::Status QueueDb::ReleaseLease(int64_t lease, int64_t reason, const Reader& reader,
                                 std::vector<GivenBack>* back, int64_t id,
                                 const std::string& why, bool dropLease) {
    // A held entry keeps its operator's reason, and one its reader set aside
    // as failed keeps the reader's; the others record this one, or the
    // set-aside's when this give-back sets them aside (expired: queued
    // QueueLifetime after its put; failed: its readers died MaxAttempts
    // times holding it).
    const char* const kept = "state IN (" MQ_SQL_HELD ", " MQ_SQL_FAILED ")";
    std::string sql;
    if (reason == 0) {
        // Untried: back as it was, nothing counted, nothing recorded.
        sql = "UPDATE entries SET lease = NULL WHERE lease = ?1 AND (?10 = 0 OR id = ?10)"
              " RETURNING id, state, reason, attempts, deferrals, due";
    } else if (reason == kReasonReaderDied) {
        // At once the first time, after the backoff from the second on.
        const std::string poison = "(state = " MQ_SQL_QUEUED " AND ?2 > 0 AND attempts + 1 >= ?2)";
        sql = std::string("UPDATE entries SET lease = NULL, attempts = attempts + 1,") +
              " state = CASE WHEN " + poison + " OR " EXPIRED " THEN " MQ_SQL_FAILED
              " ELSE state END,"
              " reason = CASE WHEN " + kept + " THEN reason WHEN " + poison + " THEN " +
              MQ_SQL_REASON_FAILED + " WHEN " EXPIRED " THEN " + std::to_string(kReasonExpired) +
              " ELSE ?3 END,"
              " reason_text = CASE WHEN " + kept + " THEN reason_text WHEN " + poison +
              " THEN 'its readers died ' || (attempts + 1) || ' times holding it'"
              " WHEN " EXPIRED " THEN 'still queued after ' || (?9 / 1000) || 's'"
              " ELSE NULL END,"
              " due = CASE WHEN state = " MQ_SQL_QUEUED " AND attempts >= 1 THEN ?6 + " +
              SPREAD_MS("attempts - 1") + " ELSE NULL END,";
    } else {
        sql = std::string("UPDATE entries SET lease = NULL, deferrals = deferrals + 1,") +
              " state = CASE WHEN " EXPIRED " THEN " MQ_SQL_FAILED " ELSE state END,"
              " reason = CASE WHEN " + kept + " THEN reason WHEN " EXPIRED " THEN " +
              std::to_string(kReasonExpired) + " ELSE ?3 END,"
              " reason_text = CASE WHEN " + kept + " THEN reason_text WHEN " EXPIRED
              " THEN 'still queued after ' || (?9 / 1000) || 's' ELSE ?11 END,"
              " due = CASE WHEN state = " MQ_SQL_QUEUED " THEN ?6 + " + SPREAD_MS("deferrals") +
              " ELSE due END,";
    }
    if (reason != 0) {
        sql += std::string(" reason_at = CASE WHEN ") + kept + " THEN reason_at ELSE ?4 END," +
               " reason_by = CASE WHEN " + kept + " THEN reason_by ELSE ?5 END" +
               " WHERE lease = ?1 AND (?10 = 0 OR id = ?10)"
               " RETURNING id, state, reason, attempts, deferrals, due";
    }
    Stmt release = m_db->Prepare(sql.c_str());
    release.Bind(1, lease).Bind(10, id);
    if (reason != 0) {
        release.Bind(2, static_cast<int64_t>(m_maxAttempts))
            .Bind(3, reason)
            .Bind(4, StoreNowS())
            .Bind(5, reader.app + "[" + std::to_string(reader.pid) + "]")
            .Bind(6, StoreNowMs())
            .Bind(7, m_schedule.minimalBackoff * 1000)
            .Bind(8, m_schedule.maximalBackoff * 1000)
            .Bind(9, m_schedule.queueLifetime * 1000);
        if (reason != kReasonReaderDied) {
            if (why.empty()) {
                release.BindNull(11);
            } else {
                release.Bind(11, why);
            }
        }
    }
    mq::Status s = release.ForEachRow([&] {
        back->push_back({release.Int(0), release.Int(1), release.Int(2), release.Int(3),
                         release.Int(4), release.IsNull(5) ? 0 : release.Int(5)});
    });
    if (!s.ok() || !dropLease) return s;
    return m_db->Prepare("DELETE FROM leases WHERE id = ?1").Bind(1, lease).Run();
}

void QueueDb::LogGivenBack(const std::vector<GivenBack>& back, int64_t reason,
                           const Reader& reader) {
    const char* why = reason == kReasonReaderDied ? "reader-died"
                      : reason == kReasonDeferred ? "deferred"
                      : reason == 0               ? "untried"
                                                  : "closed";
    std::string app = TrailValue(reader.app), pid = std::to_string(reader.pid);
    const int64_t now = StoreNowMs();
    for (const GivenBack& b : back) {
        std::string attempts = std::to_string(b.attempts);
        std::string deferrals = std::to_string(b.deferrals);
        if (b.state == kFailed && (b.reason == kReasonExpired || b.reason == kReasonFailed) &&
            reason != 0) {
            Trail(MQLOG_WARNING, m_appName, b.id, "failed",
                  {{"reason", b.reason == kReasonExpired ? "expired" : why},
                   {"attempts", attempts}, {"deferrals", deferrals}, {"app", app}, {"pid", pid}});
        } else {
            std::string in = b.due > now ? std::to_string((b.due - now + 999) / 1000) : "0";
            Trail(reason == kReasonReaderDied ? MQLOG_NOTICE : MQLOG_INFO, m_appName, b.id,
                  reason == kReasonReaderDied ? "reclaimed" : "given-back",
                  {{"reason", why}, {"app", app}, {"pid", pid}, {"attempts", attempts},
                   {"deferrals", deferrals}, {"due-in", in}});
        }
    }
}

mq::Status QueueDb::CloseLeaseOnce(int64_t lease) {
    m_handedOut = HandedOut();
    Transaction t = Write(Sync::kUnsynced);
    Reader self{m_appName, m_locks->Self().pid};
    std::vector<GivenBack> back;
    mq::Status s = t.Begin();
    if (s.ok()) s = ReleaseLease(lease, kReasonReturned, self, &back);
    if (s.ok()) s = t.Commit();
    if (s.ok()) LogGivenBack(back, kReasonReturned, self);
    return s;
}

mq::Status QueueDb::GiveBack(unsigned long id, GiveBackKind kind, const std::string& why,
                             GivenBackEntry* out, bool* held) {
    *held = false;
    if (m_handedOut.id == static_cast<int64_t>(id)) m_handedOut = HandedOut();
    const Holder& me = m_locks->Self();
    return ForReader([&] {
        Transaction t = Write(Sync::kUnsynced);
        mq::Status s = t.Begin();
        Stmt mine = m_db->Prepare(
            "SELECT l.id FROM entries e JOIN leases l ON l.id = e.lease"
            " WHERE e.id = ?1 AND l.slot = ?2 AND l.nonce = ?3");
        if (s.ok()) {
            s = mine.Bind(1, static_cast<int64_t>(id)).Bind(2, me.slot).Bind(3, me.nonce).Step();
        }
        if (!s.ok()) return s;
        if (!mine.Row()) return t.Commit();
        int64_t lease = mine.Int(0);
        mine.Reset();
        const int64_t reason = kind == GiveBackKind::kUntried ? int64_t{0} : int64_t{kReasonDeferred};
        Reader self{m_appName, me.pid};
        std::vector<GivenBack> back;
        s = ReleaseLease(lease, reason, self, &back, static_cast<int64_t>(id), why, false);
        if (s.ok()) s = t.Commit();
        if (!s.ok()) return s;
        *held = !back.empty();
        if (*held) *out = back.front();
        LogGivenBack(back, reason, self);
        return s;
    });
}

mq::Status QueueDb::Flush(unsigned long id, const std::string& channel, const std::string& who,
                          uint64_t* count) {
    *count = 0;
    Transaction t = Write(Sync::kDurable);
    mq::Status s = t.Begin();
    if (!s.ok()) return s;
    std::string sql = "UPDATE entries SET due = NULL WHERE state = " MQ_SQL_QUEUED
                      " AND due IS NOT NULL";
    if (id != 0) {
        sql += " AND id = ?1";
    } else if (!channel.empty()) {
        sql += " AND channel = ?2";
    }
    sql += " RETURNING id";
    Stmt flush = m_db->Prepare(sql.c_str());
    if (id != 0) flush.Bind(1, static_cast<int64_t>(id));
    if (id == 0 && !channel.empty()) flush.Bind(2, channel);
    std::vector<int64_t> ids;
    s = flush.ForEachRow([&] { ids.push_back(flush.Int(0)); });
    if (s.ok()) s = t.Commit();
    if (!s.ok()) return s;
    *count = ids.size();
    for (int64_t one : ids) Trail(MQLOG_INFO, m_appName, one, "flushed", {{"user", TrailValue(who)}});
    return s;
}

mq::Status QueueDb::NextDue(const std::string& channel, int64_t* due) {
    *due = 0;
    Stmt next = m_db->Prepare(
        "SELECT min(due) FROM entries"
        " WHERE channel = ?1 AND state = " MQ_SQL_QUEUED
        " AND lease IS NULL AND claim_slot IS NULL AND due IS NOT NULL");
    mq::Status s = next.Bind(1, channel).Step();
    if (!s.ok()) return s;
    if (next.Row() && !next.IsNull(0)) *due = next.Int(0);
    next.Reset();
    return s;
}

mq::Status QueueDb::Reclaim() {
    // A reserve given up on a full disk (by any process) is made again once
    // there is room: costs one failed open while it is there.
    KeepReserve();
    mq::Status s = ReclaimReaders();
    if (s.ok()) s = ReclaimClaims();
    if (s.ok()) s = ReclaimBlocks();
    return s;
}

mq::Status QueueDb::ReclaimReaders() {
    struct DeadLease {
        int64_t lease;
        Holder holder;
        Reader reader;
    };
    std::vector<DeadLease> deadLeases;
    Stmt leases = m_db->Prepare("SELECT id, slot, nonce, pid, app FROM leases");
    mq::Status s = leases.ForEachRow([&] {
        Holder h{leases.Int(1), leases.Int(2), leases.Int(3)};
        if (!m_locks->Alive(h)) deadLeases.push_back({leases.Int(0), h, {leases.Text(4), h.pid}});
    });
    for (const DeadLease& dead : deadLeases) {
        if (!s.ok()) break;
        Transaction t = Write(Sync::kUnsynced);
        std::vector<GivenBack> back;
        s = t.Begin();
        if (s.ok()) s = ReleaseLease(dead.lease, kReasonReaderDied, dead.reader, &back);
        if (s.ok()) s = t.Commit();
        if (!s.ok()) break;
        LogGivenBack(back, kReasonReaderDied, dead.reader);
        LogMessagef(MQLOG_NOTICE, m_appName.c_str(),
                    "reader process %lld is gone: its entries are offered again",
                    static_cast<long long>(dead.holder.pid));
    }
    return s;
}

mq::Status QueueDb::ReclaimClaims() {
    std::vector<Holder> deadWriters;
    Stmt writers = m_db->Prepare(
        "SELECT DISTINCT claim_slot, claim_nonce, claim_pid FROM entries"
        " WHERE claim_slot IS NOT NULL");
    mq::Status s = writers.ForEachRow([&] {
        Holder h{writers.Int(0), writers.Int(1), writers.Int(2)};
        if (!m_locks->Alive(h)) deadWriters.push_back(h);
    });
    for (const Holder& writer : deadWriters) {
        if (!s.ok()) break;
        Transaction t = Write(Sync::kUnsynced);
        s = t.Begin();
        if (!s.ok()) break;
        Stmt claimed =
            m_db->Prepare("SELECT id FROM entries WHERE claim_slot = ?1 AND claim_nonce = ?2");
        std::vector<int64_t> ids;
        claimed.Bind(1, writer.slot).Bind(2, writer.nonce);
        s = claimed.ForEachRow([&] { ids.push_back(claimed.Int(0)); });
        Stmt settle = m_db->Prepare(
            "UPDATE entries SET claim_slot = NULL, claim_nonce = NULL, claim_pid = NULL,"
            " size = coalesce(size, ?2) WHERE id = ?1");
        for (int64_t id : ids) {
            if (!s.ok()) break;
            const int64_t size = m_spool.BodySize(static_cast<unsigned long>(id));
            if (size >= 0) {
                s = settle.Bind(1, id).Bind(2, size).Run();
                settle.Reset();
            } else {
                s = DropBodiless(id, writer);
            }
        }
        if (s.ok()) s = t.Commit();
    }
    return s;
}

mq::Status QueueDb::ReclaimBlocks() {
    std::vector<std::pair<int64_t, int64_t>> deadBlocks;
    Stmt blocks = m_db->Prepare("SELECT first, last, slot, nonce, pid FROM blocks");
    mq::Status s = blocks.ForEachRow([&] {
        if (!m_locks->Alive({blocks.Int(2), blocks.Int(3), blocks.Int(4)})) {
            deadBlocks.emplace_back(blocks.Int(0), blocks.Int(1));
        }
    });
    for (const auto& block : deadBlocks) {
        if (!s.ok()) break;
        std::unordered_set<int64_t> committed;
        Stmt inUse = m_db->Prepare("SELECT id FROM entries WHERE id BETWEEN ?1 AND ?2");
        inUse.Bind(1, block.first).Bind(2, block.second);
        s = inUse.ForEachRow([&] { committed.insert(inUse.Int(0)); });
        if (!s.ok()) break;
        Transaction t = Write(Sync::kUnsynced);
        s = t.Begin();
        if (s.ok()) {
            s = m_db->Prepare("DELETE FROM blocks WHERE first = ?1").Bind(1, block.first).Run();
        }
        if (s.ok()) s = t.Commit();
        if (!s.ok()) break;
        for (int64_t id = block.first; id <= block.second; ++id) {
            if (committed.count(id) != 0) continue;
            mq::Status removed = m_spool.RemoveBody(static_cast<unsigned long>(id));
            if (!removed.ok()) {
                LogMessagef(MQLOG_WARNING, m_appName.c_str(), "%s", removed.Cause().c_str());
            }
        }
    }
    return s;
}

mq::Status QueueDb::ReadEnvelope(unsigned long id, EnvelopeData* envelope, bool* found) {
    *found = false;
    std::string bytes;
    if (m_handedOut.id == static_cast<int64_t>(id) && !m_handedOut.envelope.empty()) {
        // An envelope never changes once committed: the hand-out's copy is
        // as good as the row's.
        bytes.swap(m_handedOut.envelope);
        m_handedOut = HandedOut();
    } else {
        Stmt read = m_db->Prepare("SELECT envelope FROM entries WHERE id = ?1");
        mq::Status s = read.Bind(1, static_cast<int64_t>(id)).Step();
        if (!s.ok() || !read.Row()) return s;
        bytes = read.Text(0);
    }
    if (!DecodeEnvelope(bytes, envelope)) {
        return mq::Status::Error("entry " + std::to_string(id) + ": its envelope in " +
                                 m_spool.DatabasePath() + " is damaged");
    }
    *found = true;
    return mq::Status::OK();
}

mq::Status QueueDb::OpenLease(const std::string& channel, int64_t* lease) {
    return ForReader([&] { return OpenLeaseOnce(channel, lease); });
}

mq::Status QueueDb::NextEntry(int64_t lease, const std::string& channel, unsigned long* id) {
    HandOutBody body;
    mq::Status s = ForReader([&] { return NextEntryOnce(lease, channel, id, &body); });
    if (s.ok()) s = body.failure;
    if (s.ok() && body.pending) s = WriteHandedOutBody(*id, body);
    if (!s.ok()) *id = 0;
    return s;
}

mq::Status QueueDb::RemoveLeased(int64_t lease, unsigned long id, bool* held) {
    return ForReader([&] { return RemoveLeasedOnce(lease, id, held); });
}

mq::Status QueueDb::CloseLease(int64_t lease) {
    return ForReader([&] { return CloseLeaseOnce(lease); });
}

void QueueDb::CountMessageWritten() {
    if (m_messagesWritten >= kLongLivedAfter || ++m_messagesWritten < kLongLivedAfter) return;
    m_db->SetCheckpointPages(kLongLogPages);
}

bool QueueDb::ReleaseReserve() {
    std::string path = m_spool.Root() + "/" + kReserveName;
    if (MQSysCallTable()->unlink(path.c_str()) != 0) return false;
    LogMessagef(MQLOG_WARNING, m_appName.c_str(),
                "the disk of %s is full: released its reserve of %ld bytes so that readers "
                "can take and remove entries",
                m_spool.Root().c_str(), static_cast<long>(kReserveBytes));
    return true;
}

void QueueDb::KeepReserve() {
    std::string path = m_spool.Root() + "/" + kReserveName;
    // Its allocation is never synced: a power cut may leave the name with
    // fewer blocks, or none, behind it. A reserve counts as there only when
    // its blocks are, and one that is short is allocated again; that costs
    // a stat while it is whole, and no sync ever.
    struct stat st;
    bool there = lstat(path.c_str(), &st) == 0;
    if (there && (!S_ISREG(st.st_mode) ||
                  (st.st_size >= kReserveBytes && st.st_blocks * 512 >= kReserveBytes))) {
        return;
    }
    MQSysCalls* sys = MQSysCallTable();
    int flags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | (there ? 0 : O_CREAT | O_EXCL);
    int fd = sys->open(path.c_str(), flags, 0640);
    if (fd < 0) return;  // made by another process meanwhile, or no room for it yet
    // Blocks really allocated: a sparse file would free nothing.
    bool ok = sys->fallocate(fd, 0, kReserveBytes) == 0;
    sys->close(fd);
    if (!ok) sys->unlink(path.c_str());
}

}  // namespace mqstore
