// queuedb.cpp - entries, leases and identifier blocks in SQLite.
#include "queuedb.h"

#include <fcntl.h>

#include <algorithm>
#include <chrono>
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

}  // namespace

std::unique_ptr<QueueDb> QueueDb::Open(const Spool& spool, std::string* error) {
    std::unique_ptr<LockFile> locks = LockFile::Open(spool.Root(), error);
    if (!locks) return nullptr;
    std::unique_ptr<Db> db = Db::Open(spool.DatabasePath(), kBusyMs, error);
    if (!db) return nullptr;
    std::unique_ptr<QueueDb> queue(new QueueDb(std::move(db), std::move(locks), spool));
    if (!queue->CreateSchema(error)) return nullptr;
    queue->KeepReserve();
    return queue;
}

std::unique_ptr<QueueDb> QueueDb::OpenForReading(const Spool& spool, std::string* error) {
    std::unique_ptr<LockFile> locks = LockFile::OpenForReading(spool.Root(), error);
    if (!locks) return nullptr;
    std::unique_ptr<Db> db = Db::Open(spool.DatabasePath(), kBusyMs, error, true);
    if (!db) return nullptr;
    Stmt version = db->Prepare("SELECT value FROM meta WHERE key = 'schema'", error);
    if (!version.Valid() || !version.Step(error)) return nullptr;
    int64_t found = version.Row() ? version.Int(0) : -1;
    version.Reset();
    if (found != kSchemaVersion) {
        // An older schema is upgraded by the next process that writes.
        *error = spool.DatabasePath() + ": schema " +
                 (found >= 0 ? std::to_string(found) : std::string("?")) +
                 ", not this store's " + std::to_string(kSchemaVersion) +
                 " (a process that writes upgrades an older one)";
        return nullptr;
    }
    return std::unique_ptr<QueueDb>(new QueueDb(std::move(db), std::move(locks), spool));
}

bool QueueDb::CreateSchema(std::string* error) {
    {
        // A database of this version (every start but the first) needs no
        // write, and so no sync: a process that puts once pays for its put.
        std::string ignored;
        Stmt current = m_db->Prepare("SELECT value FROM meta WHERE key = 'schema'", &ignored);
        if (current.Valid() && current.Step(&ignored) && current.Row() &&
            current.Int(0) == kSchemaVersion) {
            return true;
        }
    }
    Transaction t = Write(Sync::kDurable);
    return t.Begin(error) && PrepareSchema(m_db.get(), m_spool.DatabasePath(), error) &&
           t.Commit(error);
}

bool QueueDb::ReserveBlock(std::string* error) {
    const Holder& me = m_locks->Self();
    Transaction t = Write(Sync::kUnsynced);
    if (!t.Begin(error)) return false;
    // The block used up is no longer this process's to clean up after.
    Stmt forget = m_db->Prepare("DELETE FROM blocks WHERE slot = ?1 AND nonce = ?2", error);
    if (!forget.Valid() || !forget.Bind(1, me.slot).Bind(2, me.nonce).Run(error)) return false;
    Stmt last = m_db->Prepare("SELECT value FROM meta WHERE key = 'last_id'", error);
    if (!last.Valid() || !last.Step(error)) return false;
    // 64-bit arithmetic: with a 32-bit unsigned long (i386), the block's end
    // past the last identifier would wrap to a small number, and a loop up
    // to the last identifier would never end.
    uint64_t previous = last.Row() ? static_cast<uint64_t>(last.Int(0)) : 0;
    last.Reset();

    // Identifiers go round the 32-bit range once before one comes back; a
    // block never wraps, and one still in use is passed over.
    Stmt used = m_db->Prepare("SELECT id FROM entries WHERE id BETWEEN ?1 AND ?2", error);
    if (!used.Valid()) return false;
    std::deque<unsigned long> fresh;
    uint64_t first = 0, lastId = 0;
    for (int round = 0; fresh.empty(); ++round) {
        if (round == 100000) {
            *error = "no free entry identifier near " + std::to_string(previous);
            return false;
        }
        first = previous >= kMaxEntryId ? 1 : previous + 1;
        lastId = first + m_blockSize - 1 > kMaxEntryId ? kMaxEntryId : first + m_blockSize - 1;
        std::set<unsigned long> taken;
        used.Bind(1, static_cast<int64_t>(first)).Bind(2, static_cast<int64_t>(lastId));
        if (!used.ForEachRow(error, [&] {
                taken.insert(static_cast<unsigned long>(used.Int(0)));
            })) {
            return false;
        }
        for (uint64_t id = first; id <= lastId; ++id) {
            if (taken.count(static_cast<unsigned long>(id)) == 0) {
                fresh.push_back(static_cast<unsigned long>(id));
            }
        }
        previous = lastId;
    }
    Stmt save = m_db->Prepare("UPDATE meta SET value = ?1 WHERE key = 'last_id'", error);
    if (!save.Valid() || !save.Bind(1, static_cast<int64_t>(lastId)).Run(error)) return false;
    Stmt block = m_db->Prepare(
        "INSERT OR REPLACE INTO blocks(first, last, slot, nonce, pid) VALUES(?1, ?2, ?3, ?4, ?5)",
        error);
    if (!block.Valid()) return false;
    block.Bind(1, static_cast<int64_t>(first))
        .Bind(2, static_cast<int64_t>(lastId))
        .Bind(3, me.slot)
        .Bind(4, me.nonce)
        .Bind(5, me.pid);
    if (!block.Run(error) || !t.Commit(error)) return false;
    m_free = std::move(fresh);
    m_blockSize = std::min(m_blockSize * 2, kBlock);
    return true;
}

bool QueueDb::CreateEntry(unsigned long* id, std::string* error) {
    if (m_free.empty() && !ReserveBlock(error)) return false;
    unsigned long next = m_free.front();
    // A body left under this identifier (by a writer whose reservation a
    // power cut undid, or before the sequence came round) must not pass for
    // the new entry's.
    std::string cause;
    if (!m_spool.RemoveBody(next, &cause)) {
        *error = cause;
        return false;
    }
    m_free.pop_front();
    *id = next;
    return true;
}

bool QueueDb::CommitEntry(unsigned long id, const std::string& app, const std::string& channel,
                          const EnvelopeData& envelope, bool bodyInPlace,
                          const std::string* body, std::string* error) {
    const Holder& me = m_locks->Self();
    Transaction t = Write(Sync::kDurable);
    if (!t.Begin(error)) return false;
    Stmt insert = m_db->Prepare(
        "INSERT INTO entries(id, channel, state, created, app, claim_slot, claim_nonce,"
        " claim_pid, envelope) VALUES(?1, ?2, 1, ?3, ?4, ?5, ?6, ?7, ?8)",
        error);
    if (!insert.Valid()) return false;
    insert.Bind(1, static_cast<int64_t>(id))
        .Bind(2, channel)
        .Bind(3, static_cast<int64_t>(std::time(nullptr)))
        .Bind(4, app)
        .BindBlob(8, EncodeEnvelope(envelope));
    if (bodyInPlace) {
        insert.BindNull(5).BindNull(6).BindNull(7);
    } else {
        insert.Bind(5, me.slot).Bind(6, me.nonce).Bind(7, me.pid);
    }
    if (!insert.Run(error)) return false;
    insert.Reset();
    if (body != nullptr) {
        Stmt keep = m_db->Prepare("INSERT INTO bodies(id, body, boot) VALUES(?1, ?2, ?3)", error);
        if (!keep.Valid() ||
            !keep.Bind(1, static_cast<int64_t>(id)).BindBlob(2, *body).Bind(3, CurrentBoot()).Run(
                error)) {
            return false;
        }
    }
    if (t.Commit(error)) return true;
    if (!t.Committed()) return false;
    // Committed, but the sync failed: the put is not acknowledged, and the
    // caller will discard the body, so the row must go too rather than be
    // offered without it.
    std::string ignored;
    Transaction undo = Write(Sync::kUnsynced);
    Stmt drop = m_db->Prepare("DELETE FROM entries WHERE id = ?1", &ignored);
    if (!undo.Begin(&ignored) || !drop.Valid() ||
        !drop.Bind(1, static_cast<int64_t>(id)).Run(&ignored) || !undo.Commit(&ignored)) {
        LogMessagef(MQLOG_ERROR, m_appName.c_str(), "entry %lu: its unsynced commit stays: %s", id,
                    ignored.c_str());
    }
    return false;
}

std::string CurrentBoot() {
    char boot[64];
    return MQSysCallTable()->bootid(boot, sizeof boot) > 0 ? std::string(boot) : std::string();
}

bool QueueDb::EnsureBody(unsigned long id, std::string* error) {
    const int64_t key = static_cast<int64_t>(id);
    std::string now = CurrentBoot();
    {
        Stmt look = m_db->Prepare("SELECT length(body), boot FROM bodies WHERE id = ?1", error);
        if (!look.Valid() || !look.Bind(1, key).Step(error)) return false;
        if (!look.Row()) return true;  // no body in a commit, or no entry
        bool fresh = !now.empty() && look.Text(1) == now && m_spool.BodySize(id) == look.Int(0);
        look.Reset();
        if (fresh) return true;
    }
    if (m_locks->ReadOnly()) {
        // Better no path than one to a file that may hold stale bytes.
        *error = "entry " + std::to_string(id) +
                 ": its file must be written again from its commit (it is missing, short or"
                 " from before a restart), which a reader without write access can't do";
        return false;
    }
    // Under the writers' lock, so that a removal can't slip between reading
    // the row and renaming the file in.
    Transaction t = Write(Sync::kUnsynced);
    if (!t.Begin(error)) return false;
    Stmt read = m_db->Prepare("SELECT body FROM bodies WHERE id = ?1", error);
    if (!read.Valid() || !read.Bind(1, key).Step(error)) return false;
    if (!read.Row()) return t.Commit(error);
    std::string body = read.Text(0);
    read.Reset();
    if (!m_spool.WriteLooseBody(id, body, true, error)) return false;
    Stmt mark = m_db->Prepare("UPDATE bodies SET boot = ?2 WHERE id = ?1", error);
    if (!mark.Valid() || !mark.Bind(1, key).Bind(2, now).Run(error)) return false;
    if (!t.Commit(error)) return false;
    LogMessagef(MQLOG_INFO, m_appName.c_str(), "entry %lu: its file written again from its commit",
                id);
    return true;
}

bool QueueDb::RemoveUncommitted(unsigned long id, std::string* error) {
    return m_spool.RemoveEntryFiles(id, error);
}

bool QueueDb::OpenLeaseOnce(const std::string& channel, int64_t* lease, std::string* error) {
    const Holder& me = m_locks->Self();
    Transaction t = Write(Sync::kUnsynced);
    if (!t.Begin(error)) return false;
    Stmt insert = m_db->Prepare(
        "INSERT INTO leases(slot, nonce, pid, channel, opened, app)"
        " VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
        error);
    if (!insert.Valid()) return false;
    insert.Bind(1, me.slot)
        .Bind(2, me.nonce)
        .Bind(3, me.pid)
        .Bind(4, channel)
        .Bind(5, static_cast<int64_t>(std::time(nullptr)))
        .Bind(6, m_appName);
    if (!insert.Run(error)) return false;
    *lease = sqlite3_last_insert_rowid(m_db->Handle());
    return t.Commit(error);
}

bool QueueDb::DropBodiless(int64_t id, const Holder& writer, std::string* error) {
    Stmt drop = m_db->Prepare("DELETE FROM entries WHERE id = ?1 AND claim_slot IS NOT NULL",
                              error);
    if (!drop.Valid() || !drop.Bind(1, id).Run(error)) return false;
    std::string cause;
    if (!m_spool.RemoveBody(static_cast<unsigned long>(id), &cause)) {
        LogMessagef(MQLOG_WARNING, m_appName.c_str(), "entry %lld removed, its files not: %s",
                    static_cast<long long>(id), cause.c_str());
    }
    m_recheck.erase(id);
    // Its writer is gone and its body never came.
    Trail(MQLOG_NOTICE, m_appName, id, "reclaimed",
          {{"reason", "writer-died"}, {"pid", std::to_string(writer.pid)}});
    return true;
}

bool QueueDb::FirstReady(const std::string& channel, int64_t* chosen, std::string* error) {
    // An entry without a claim has its body in place: no look at the file.
    Stmt ready = m_db->Prepare(
        "SELECT id FROM entries"
        " WHERE channel = ?1 AND state = " MQ_SQL_QUEUED " AND lease IS NULL"
        " AND claim_slot IS NULL ORDER BY id LIMIT 1",
        error);
    if (!ready.Valid() || !ready.Bind(1, channel).Step(error)) return false;
    *chosen = ready.Row() ? ready.Int(0) : 0;
    ready.Reset();
    return true;
}

bool QueueDb::FirstArrived(const std::string& channel, int64_t* chosen, std::string* error) {
    // Lower entries still claimed by their writer count once their body is
    // in place (renamed in: never half written).
    Stmt pending = m_db->Prepare(
        "SELECT id, claim_slot, claim_nonce, claim_pid, created FROM entries"
        " WHERE channel = ?1 AND state = " MQ_SQL_QUEUED
        " AND lease IS NULL AND claim_slot IS NOT NULL"
        " AND id < ?2 ORDER BY id LIMIT ?3",
        error);
    if (!pending.Valid()) return false;
    pending.Bind(1, channel)
        .Bind(2, *chosen != 0 ? *chosen : static_cast<int64_t>(kMaxEntryId) + 1)
        .Bind(3, kPendingBatch);
    struct Waiting {
        int64_t id;
        Holder writer;
        int64_t created;
    };
    std::vector<Waiting> waiting;
    if (!pending.ForEachRow(error, [&] {
            waiting.push_back({pending.Int(0), {pending.Int(1), pending.Int(2), pending.Int(3)},
                               pending.Int(4)});
        })) {
        return false;
    }
    int64_t now = NowMs();
    for (const Waiting& w : waiting) {
        auto later = m_recheck.find(w.id);
        if (later != m_recheck.end() && later->second > now) continue;
        if (m_spool.BodySize(static_cast<unsigned long>(w.id)) >= 0) {
            m_recheck.erase(w.id);
            *chosen = w.id;
            break;
        }
        if (!m_locks->Alive(w.writer)) {
            if (!DropBodiless(w.id, w.writer, error)) return false;
        } else if (std::time(nullptr) - w.created >= kPatienceS) {
            // Entries taken or removed elsewhere leave their mark behind;
            // forgetting them all now and then costs one more look each.
            if (m_recheck.size() >= 10000) m_recheck.clear();
            m_recheck[w.id] = now + kRecheckMs;
        }
    }
    return true;
}

bool QueueDb::Lease(int64_t chosen, int64_t lease, std::string* error) {
    Stmt take = m_db->Prepare(
        "UPDATE entries SET lease = ?2, claim_slot = NULL, claim_nonce = NULL,"
        " claim_pid = NULL, handed = ?3 WHERE id = ?1 RETURNING envelope",
        error);
    if (!take.Valid() ||
        !take.Bind(1, chosen)
             .Bind(2, lease)
             .Bind(3, static_cast<int64_t>(std::time(nullptr)))
             .Step(error)) {
        return false;
    }
    // The reader asks for the envelope next: kept, it costs no second
    // look at the database.
    m_handedOut = {chosen, take.Row() ? take.Text(0) : std::string()};
    return take.Run(error);
}

bool QueueDb::NextEntryOnce(int64_t lease, const std::string& channel, unsigned long* id,
                            std::string* error) {
    *id = 0;
    Transaction t = Write(Sync::kUnsynced);
    if (!t.Begin(error)) return false;
    int64_t chosen = 0;
    if (!FirstReady(channel, &chosen, error) || !FirstArrived(channel, &chosen, error)) {
        return false;
    }
    if (chosen != 0 && !Lease(chosen, lease, error)) return false;
    if (!t.Commit(error)) {
        m_handedOut = HandedOut();
        return false;
    }
    *id = static_cast<unsigned long>(chosen);
    if (chosen != 0) {
        Trail(MQLOG_INFO, m_appName, chosen, "handed-out",
              {{"app", TrailValue(m_appName)}, {"pid", std::to_string(m_locks->Self().pid)},
               {"lease", std::to_string(lease)}});
    }
    return true;
}

bool QueueDb::RemoveLeasedOnce(int64_t lease, unsigned long id, bool* held, std::string* error) {
    m_handedOut = HandedOut();
    Transaction t = Write(Sync::kDurable);
    if (!t.Begin(error)) return false;
    Stmt remove = m_db->Prepare("DELETE FROM entries WHERE id = ?1 AND lease = ?2", error);
    if (!remove.Valid() || !remove.Bind(1, static_cast<int64_t>(id)).Bind(2, lease).Run(error)) {
        return false;
    }
    *held = m_db->Changes() == 1;
    remove.Reset();
    if (!t.Commit(error)) return false;
    if (!*held) return true;
    Trail(MQLOG_INFO, m_appName, static_cast<int64_t>(id), "removed",
          {{"by", "reader"}, {"app", TrailValue(m_appName)},
           {"pid", std::to_string(m_locks->Self().pid)}});
    // The entry is gone for good once the commit returned; a file left by a
    // failed unlink is an orphan the health check reports, not a failure of
    // the removal.
    std::string cause;
    if (!m_spool.RemoveBody(id, &cause)) {
        LogMessagef(MQLOG_WARNING, m_appName.c_str(), "entry %lu removed, its files not: %s", id,
                    cause.c_str());
    }
    return true;
}

bool QueueDb::ReleaseLease(int64_t lease, int64_t reason, const Reader& reader,
                           std::vector<GivenBack>* back, std::string* error) {
    // A held entry keeps its operator's reason, and one its reader set aside
    // as failed keeps the reader's; the others record this one, or "failed"
    // when this give-back sets them aside.
    Stmt release = m_db->Prepare(
        "UPDATE entries SET lease = NULL, attempts = attempts + 1,"
        " state = CASE WHEN state = " MQ_SQL_QUEUED " AND ?2 > 0 AND attempts + 1 >= ?2"
        "  THEN " MQ_SQL_FAILED " ELSE state END,"
        " reason = CASE WHEN state IN (" MQ_SQL_HELD ", " MQ_SQL_FAILED ") THEN reason"
        "  WHEN state = " MQ_SQL_QUEUED " AND ?2 > 0 AND attempts + 1 >= ?2"
        "  THEN " MQ_SQL_REASON_FAILED " ELSE ?3 END,"
        " reason_at = CASE WHEN state IN (" MQ_SQL_HELD ", " MQ_SQL_FAILED ") THEN reason_at"
        "  ELSE ?4 END,"
        " reason_by = CASE WHEN state IN (" MQ_SQL_HELD ", " MQ_SQL_FAILED ") THEN reason_by"
        "  ELSE ?5 END"
        " WHERE lease = ?1 RETURNING id, state, attempts",
        error);
    if (!release.Valid()) return false;
    release.Bind(1, lease)
        .Bind(2, static_cast<int64_t>(m_maxAttempts))
        .Bind(3, reason)
        .Bind(4, static_cast<int64_t>(std::time(nullptr)))
        .Bind(5, reader.app + "[" + std::to_string(reader.pid) + "]");
    if (!release.ForEachRow(error, [&] {
            back->push_back({release.Int(0), release.Int(1), release.Int(2)});
        })) {
        return false;
    }
    Stmt drop = m_db->Prepare("DELETE FROM leases WHERE id = ?1", error);
    return drop.Valid() && drop.Bind(1, lease).Run(error);
}

void QueueDb::LogGivenBack(const std::vector<GivenBack>& back, int64_t reason,
                           const Reader& reader) {
    const char* why = reason == kReasonReaderDied ? "reader-died" : "closed";
    std::string app = TrailValue(reader.app), pid = std::to_string(reader.pid);
    for (const GivenBack& b : back) {
        std::string attempts = std::to_string(b.attempts);
        if (b.state == kFailed && b.attempts == static_cast<int64_t>(m_maxAttempts)) {
            Trail(MQLOG_WARNING, m_appName, b.id, "failed",
                  {{"attempts", attempts}, {"reason", why}, {"app", app}, {"pid", pid}});
        } else {
            Trail(reason == kReasonReaderDied ? MQLOG_NOTICE : MQLOG_INFO, m_appName, b.id,
                  reason == kReasonReaderDied ? "reclaimed" : "given-back",
                  {{"reason", why}, {"app", app}, {"pid", pid}, {"attempts", attempts}});
        }
    }
}

bool QueueDb::CloseLeaseOnce(int64_t lease, std::string* error) {
    m_handedOut = HandedOut();
    Transaction t = Write(Sync::kUnsynced);
    Reader self{m_appName, m_locks->Self().pid};
    std::vector<GivenBack> back;
    if (!t.Begin(error) || !ReleaseLease(lease, kReasonReturned, self, &back, error) ||
        !t.Commit(error)) {
        return false;
    }
    LogGivenBack(back, kReasonReturned, self);
    return true;
}

bool QueueDb::Reclaim(std::string* error) {
    // A reserve given up on a full disk (by any process) is made again once
    // there is room: costs one failed open while it is there.
    KeepReserve();
    return ReclaimReaders(error) && ReclaimClaims(error) && ReclaimBlocks(error);
}

bool QueueDb::ReclaimReaders(std::string* error) {
    struct DeadLease {
        int64_t lease;
        Holder holder;
        Reader reader;
    };
    std::vector<DeadLease> deadLeases;
    Stmt leases = m_db->Prepare("SELECT id, slot, nonce, pid, app FROM leases", error);
    if (!leases.Valid()) return false;
    if (!leases.ForEachRow(error, [&] {
            Holder h{leases.Int(1), leases.Int(2), leases.Int(3)};
            if (!m_locks->Alive(h)) {
                deadLeases.push_back({leases.Int(0), h, {leases.Text(4), h.pid}});
            }
        })) {
        return false;
    }
    for (const DeadLease& dead : deadLeases) {
        Transaction t = Write(Sync::kUnsynced);
        std::vector<GivenBack> back;
        if (!t.Begin(error) ||
            !ReleaseLease(dead.lease, kReasonReaderDied, dead.reader, &back, error) ||
            !t.Commit(error)) {
            return false;
        }
        LogGivenBack(back, kReasonReaderDied, dead.reader);
        LogMessagef(MQLOG_NOTICE, m_appName.c_str(),
                    "reader process %lld is gone: its entries are offered again",
                    static_cast<long long>(dead.holder.pid));
    }
    return true;
}

bool QueueDb::ReclaimClaims(std::string* error) {
    std::vector<Holder> deadWriters;
    Stmt writers = m_db->Prepare(
        "SELECT DISTINCT claim_slot, claim_nonce, claim_pid FROM entries"
        " WHERE claim_slot IS NOT NULL",
        error);
    if (!writers.Valid()) return false;
    if (!writers.ForEachRow(error, [&] {
            Holder h{writers.Int(0), writers.Int(1), writers.Int(2)};
            if (!m_locks->Alive(h)) deadWriters.push_back(h);
        })) {
        return false;
    }
    for (const Holder& writer : deadWriters) {
        Transaction t = Write(Sync::kUnsynced);
        if (!t.Begin(error)) return false;
        Stmt claimed = m_db->Prepare(
            "SELECT id FROM entries WHERE claim_slot = ?1 AND claim_nonce = ?2", error);
        if (!claimed.Valid()) return false;
        std::vector<int64_t> ids;
        claimed.Bind(1, writer.slot).Bind(2, writer.nonce);
        if (!claimed.ForEachRow(error, [&] {
                ids.push_back(claimed.Int(0));
            })) {
            return false;
        }
        Stmt settle = m_db->Prepare(
            "UPDATE entries SET claim_slot = NULL, claim_nonce = NULL, claim_pid = NULL"
            " WHERE id = ?1",
            error);
        if (!settle.Valid()) return false;
        for (int64_t id : ids) {
            if (m_spool.BodySize(static_cast<unsigned long>(id)) >= 0) {
                if (!settle.Bind(1, id).Run(error)) return false;
                settle.Reset();
            } else if (!DropBodiless(id, writer, error)) {
                return false;
            }
        }
        if (!t.Commit(error)) return false;
    }
    return true;
}

bool QueueDb::ReclaimBlocks(std::string* error) {
    std::vector<std::pair<int64_t, int64_t>> deadBlocks;
    Stmt blocks = m_db->Prepare("SELECT first, last, slot, nonce, pid FROM blocks", error);
    if (!blocks.Valid()) return false;
    if (!blocks.ForEachRow(error, [&] {
            if (!m_locks->Alive({blocks.Int(2), blocks.Int(3), blocks.Int(4)})) {
                deadBlocks.emplace_back(blocks.Int(0), blocks.Int(1));
            }
        })) {
        return false;
    }
    for (const auto& block : deadBlocks) {
        std::unordered_set<int64_t> committed;
        Stmt inUse = m_db->Prepare("SELECT id FROM entries WHERE id BETWEEN ?1 AND ?2", error);
        if (!inUse.Valid()) return false;
        inUse.Bind(1, block.first).Bind(2, block.second);
        if (!inUse.ForEachRow(error, [&] {
                committed.insert(inUse.Int(0));
            })) {
            return false;
        }
        Transaction t = Write(Sync::kUnsynced);
        Stmt drop = m_db->Prepare("DELETE FROM blocks WHERE first = ?1", error);
        if (!t.Begin(error) || !drop.Valid() || !drop.Bind(1, block.first).Run(error) ||
            !t.Commit(error)) {
            return false;
        }
        for (int64_t id = block.first; id <= block.second; ++id) {
            if (committed.count(id) != 0) continue;
            std::string cause;
            if (!m_spool.RemoveBody(static_cast<unsigned long>(id), &cause)) {
                LogMessagef(MQLOG_WARNING, m_appName.c_str(), "%s", cause.c_str());
            }
        }
    }
    return true;
}

bool QueueDb::ReadEnvelope(unsigned long id, EnvelopeData* envelope, bool* found,
                           std::string* error) {
    *found = false;
    std::string bytes;
    if (m_handedOut.id == static_cast<int64_t>(id) && !m_handedOut.envelope.empty()) {
        // An envelope never changes once committed: the hand-out's copy is
        // as good as the row's.
        bytes.swap(m_handedOut.envelope);
        m_handedOut = HandedOut();
    } else {
        Stmt read = m_db->Prepare("SELECT envelope FROM entries WHERE id = ?1", error);
        if (!read.Valid() || !read.Bind(1, static_cast<int64_t>(id)).Step(error)) return false;
        if (!read.Row()) return true;
        bytes = read.Text(0);
    }
    if (!DecodeEnvelope(bytes, envelope)) {
        *error = "entry " + std::to_string(id) + ": its envelope in " + m_spool.DatabasePath() +
                 " is damaged";
        return false;
    }
    *found = true;
    return true;
}

bool QueueDb::OpenLease(const std::string& channel, int64_t* lease, std::string* error) {
    return ForReader([&](std::string* e) { return OpenLeaseOnce(channel, lease, e); }, error);
}

bool QueueDb::NextEntry(int64_t lease, const std::string& channel, unsigned long* id,
                        std::string* error) {
    if (!ForReader([&](std::string* e) { return NextEntryOnce(lease, channel, id, e); }, error)) {
        return false;
    }
    // The reader reads the file next: it must be whole. A failure leaves the
    // entry with the lease, given back when the handle closes.
    if (*id != 0 && !EnsureBody(*id, error)) {
        *id = 0;
        return false;
    }
    return true;
}

bool QueueDb::RemoveLeased(int64_t lease, unsigned long id, bool* held, std::string* error) {
    return ForReader([&](std::string* e) { return RemoveLeasedOnce(lease, id, held, e); }, error);
}

bool QueueDb::CloseLease(int64_t lease, std::string* error) {
    return ForReader([&](std::string* e) { return CloseLeaseOnce(lease, e); }, error);
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
    MQSysCalls* sys = MQSysCallTable();
    int fd = sys->open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (fd < 0) return;  // there already, or no room for it yet
    // Blocks really allocated: a sparse file would free nothing.
    bool ok = posix_fallocate(fd, 0, kReserveBytes) == 0;
    sys->close(fd);
    if (!ok) sys->unlink(path.c_str());
}

}  // namespace mqstore
