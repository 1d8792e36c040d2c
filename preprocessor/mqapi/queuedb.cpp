// queuedb.cpp - entries, leases and the identifier sequence in SQLite.
#include "queuedb.h"

#include <strings.h>
#include <unistd.h>

#include <ctime>
#include <map>
#include <unordered_set>

#include "log.h"

namespace mqstore {

namespace {

// Creation and lease times come from time(); with a 32-bit time_t (i386
// without _TIME_BITS=64) it fails from 2038 on.
static_assert(sizeof(time_t) >= 8, "the store needs 64-bit time");

const int64_t kSchemaVersion = 1;
const int kBusyMs = 10000;
// Candidates fetched per query while looking for an entry whose body is in
// place; entries waiting for their body are rare, so one batch nearly
// always suffices.
const int kBatch = 32;

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL)"
    " WITHOUT ROWID;"
    "INSERT OR IGNORE INTO meta VALUES('schema', 1), ('last_id', 0);"
    "CREATE TABLE IF NOT EXISTS entries("
    " id INTEGER PRIMARY KEY,"
    " channel TEXT COLLATE NOCASE,"
    " state INTEGER NOT NULL,"
    " created INTEGER NOT NULL,"
    " app TEXT NOT NULL,"
    " writer_pid INTEGER,"
    " writer_key TEXT,"
    " lease INTEGER,"
    " attempts INTEGER NOT NULL DEFAULT 0,"
    " envelope BLOB);"
    "CREATE INDEX IF NOT EXISTS entries_ready ON entries(channel, id)"
    " WHERE state = 1 AND lease IS NULL;"
    "CREATE INDEX IF NOT EXISTS entries_leased ON entries(lease) WHERE lease IS NOT NULL;"
    "CREATE INDEX IF NOT EXISTS entries_writing ON entries(writer_pid) WHERE state = 0;"
    "CREATE TABLE IF NOT EXISTS leases("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " pid INTEGER NOT NULL,"
    " key TEXT NOT NULL,"
    " channel TEXT NOT NULL,"
    " opened INTEGER NOT NULL);";

const char* const kEntryColumns =
    "SELECT id, channel, state, lease IS NOT NULL, created, attempts, app, envelope"
    " FROM entries";

mqadmin::EntryState StateOf(int64_t state) {
    switch (state) {
        case kQueued:
            return mqadmin::EntryState::Queued;
        case kHeld:
            return mqadmin::EntryState::Held;
        case kFailed:
            return mqadmin::EntryState::Failed;
        default:
            return mqadmin::EntryState::Writing;
    }
}

}  // namespace

std::unique_ptr<QueueDb> QueueDb::Open(const Spool& spool, const ProcessIdentity& self,
                                       std::string* error) {
    std::unique_ptr<Db> db = Db::Open(spool.DatabasePath(), kBusyMs, error);
    if (!db) return nullptr;
    std::unique_ptr<QueueDb> queue(new QueueDb(std::move(db), spool, self));
    if (!queue->CreateSchema(error)) return nullptr;
    return queue;
}

bool QueueDb::CreateSchema(std::string* error) {
    Transaction t(m_db.get(), true);
    if (!t.Begin(error) || !m_db->Exec(kSchema, error)) return false;
    Stmt version = m_db->Prepare("SELECT value FROM meta WHERE key = 'schema'", error);
    if (!version.Valid() || !version.Step(error)) return false;
    if (!version.Row() || version.Int(0) != kSchemaVersion) {
        *error = m_spool.DatabasePath() + ": written by another version of the store (schema " +
                 (version.Row() ? std::to_string(version.Int(0)) : std::string("?")) + ")";
        return false;
    }
    version.Reset();
    return t.Commit(error);
}

bool QueueDb::SetSync(bool full, std::string* error) {
    Stmt pragma = m_db->Prepare(full ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL",
                                error);
    return pragma.Valid() && pragma.Run(error);
}

bool QueueDb::CreateEntry(const std::string& app, unsigned long* id, std::string* error) {
    Transaction t(m_db.get(), false);
    if (!t.Begin(error)) return false;
    Stmt last = m_db->Prepare("SELECT value FROM meta WHERE key = 'last_id'", error);
    if (!last.Valid() || !last.Step(error)) return false;
    unsigned long next = last.Row() ? static_cast<unsigned long>(last.Int(0)) : 0;
    last.Reset();

    // Identifiers go round the 32-bit range once before one comes back, and
    // one still in use is passed over.
    Stmt used = m_db->Prepare("SELECT 1 FROM entries WHERE id = ?1", error);
    if (!used.Valid()) return false;
    for (int tries = 0;; ++tries) {
        next = next >= kMaxEntryId ? 1 : next + 1;
        if (!used.Bind(1, static_cast<int64_t>(next)).Step(error)) return false;
        bool taken = used.Row();
        used.Reset();
        if (!taken) break;
        if (tries == 1000000) {
            *error = "no free entry identifier near " + std::to_string(next);
            return false;
        }
    }
    Stmt save = m_db->Prepare("UPDATE meta SET value = ?1 WHERE key = 'last_id'", error);
    if (!save.Valid() || !save.Bind(1, static_cast<int64_t>(next)).Run(error)) return false;
    Stmt insert = m_db->Prepare(
        "INSERT INTO entries(id, state, created, app, writer_pid, writer_key)"
        " VALUES(?1, 0, ?2, ?3, ?4, ?5)",
        error);
    if (!insert.Valid()) return false;
    insert.Bind(1, static_cast<int64_t>(next))
        .Bind(2, static_cast<int64_t>(std::time(nullptr)))
        .Bind(3, app)
        .Bind(4, static_cast<int64_t>(m_self.pid))
        .Bind(5, m_self.key);
    if (!insert.Run(error) || !t.Commit(error)) return false;
    // A reservation lost in a power cut may have been followed by a body
    // renamed in under this identifier; it must not pass for the new one's.
    unlink(m_spool.EntryPath(next, ".msg").c_str());
    *id = next;
    return true;
}

bool QueueDb::CommitEntry(unsigned long id, const std::string& channel,
                          const EnvelopeData& envelope, std::string* error) {
    if (!SetSync(true, error)) return false;
    Stmt commit = m_db->Prepare(
        "UPDATE entries SET state = 1, channel = ?2, envelope = ?3, writer_pid = NULL,"
        " writer_key = NULL WHERE id = ?1 AND state = 0 AND writer_pid = ?4",
        error);
    bool ok = commit.Valid();
    if (ok) {
        commit.Bind(1, static_cast<int64_t>(id))
            .Bind(2, channel)
            .BindBlob(3, EncodeEnvelope(envelope))
            .Bind(4, static_cast<int64_t>(m_self.pid));
        ok = commit.Run(error);
        commit.Reset();
    }
    std::string ignored;
    SetSync(false, &ignored);
    if (ok && m_db->Changes() != 1) {
        *error = "entry " + std::to_string(id) + " is no longer being written by this process";
        ok = false;
    }
    return ok;
}

bool QueueDb::DropEntry(unsigned long id, std::string* error) {
    Stmt drop = m_db->Prepare("DELETE FROM entries WHERE id = ?1 AND state = 0", error);
    if (!drop.Valid() || !drop.Bind(1, static_cast<int64_t>(id)).Run(error)) return false;
    return m_spool.RemoveEntryFiles(id, error);
}

bool QueueDb::OpenLease(const std::string& channel, int64_t* lease, std::string* error) {
    Stmt insert = m_db->Prepare(
        "INSERT INTO leases(pid, key, channel, opened) VALUES(?1, ?2, ?3, ?4)", error);
    if (!insert.Valid()) return false;
    insert.Bind(1, static_cast<int64_t>(m_self.pid))
        .Bind(2, m_self.key)
        .Bind(3, channel)
        .Bind(4, static_cast<int64_t>(std::time(nullptr)));
    if (!insert.Run(error)) return false;
    *lease = sqlite3_last_insert_rowid(m_db->Handle());
    return true;
}

bool QueueDb::NextEntry(int64_t lease, const std::string& channel, unsigned long* id,
                        std::string* error) {
    *id = 0;
    Stmt candidates = m_db->Prepare(
        "SELECT id FROM entries WHERE channel = ?1 AND state = 1 AND lease IS NULL"
        " AND id > ?2 ORDER BY id LIMIT ?3",
        error);
    Stmt take = m_db->Prepare(
        "UPDATE entries SET lease = ?2 WHERE id = ?1 AND state = 1 AND lease IS NULL", error);
    if (!candidates.Valid() || !take.Valid()) return false;
    int64_t after = 0;
    for (;;) {
        // The batch is read and the statement reset before any update, so
        // that no read transaction is held open while the lease is written.
        std::vector<int64_t> batch;
        candidates.Bind(1, channel).Bind(2, after).Bind(3, kBatch);
        for (;;) {
            if (!candidates.Step(error)) return false;
            if (!candidates.Row()) break;
            batch.push_back(candidates.Int(0));
        }
        candidates.Reset();
        for (int64_t candidate : batch) {
            after = candidate;
            // Only a body renamed into place counts: the writer never leaves
            // a half-written one at the ".msg" path.
            if (m_spool.BodySize(static_cast<unsigned long>(candidate)) < 0) continue;
            if (!take.Bind(1, candidate).Bind(2, lease).Run(error)) return false;
            take.Reset();
            if (m_db->Changes() == 1) {
                *id = static_cast<unsigned long>(candidate);
                return true;
            }
        }
        if (static_cast<int>(batch.size()) < kBatch) return true;
    }
}

bool QueueDb::RemoveLeased(int64_t lease, unsigned long id, bool* held, std::string* error) {
    if (!SetSync(true, error)) return false;
    Stmt remove = m_db->Prepare("DELETE FROM entries WHERE id = ?1 AND lease = ?2", error);
    bool ok = remove.Valid() && remove.Bind(1, static_cast<int64_t>(id)).Bind(2, lease).Run(error);
    remove.Reset();
    std::string ignored;
    SetSync(false, &ignored);
    if (!ok) return false;
    *held = m_db->Changes() == 1;
    if (!*held) return true;
    // The entry is gone for good once the commit returned; a file left by a
    // failed unlink is an orphan the health check reports, not a failure of
    // the removal.
    std::string cause;
    if (!m_spool.RemoveEntryFiles(id, &cause)) {
        LogMessagef(MQLOG_WARNING, m_log.c_str(), "entry %lu removed, its files not: %s", id,
                    cause.c_str());
    }
    return true;
}

bool QueueDb::ReleaseLease(int64_t lease, std::string* error) {
    Stmt release = m_db->Prepare(
        "UPDATE entries SET lease = NULL, attempts = attempts + 1,"
        " state = CASE WHEN state = 1 AND ?2 > 0 AND attempts + 1 >= ?2 THEN 3 ELSE state END"
        " WHERE lease = ?1 RETURNING id, state, attempts, channel",
        error);
    if (!release.Valid()) return false;
    release.Bind(1, lease).Bind(2, static_cast<int64_t>(m_maxAttempts));
    std::vector<std::string> failed;
    for (;;) {
        if (!release.Step(error)) return false;
        if (!release.Row()) break;
        if (release.Int(1) == kFailed && release.Int(2) == static_cast<int64_t>(m_maxAttempts)) {
            failed.push_back("entry " + std::to_string(release.Int(0)) + " of channel " +
                             release.Text(3) + " set aside as failed after " +
                             std::to_string(release.Int(2)) + " attempts");
        }
    }
    release.Reset();
    Stmt drop = m_db->Prepare("DELETE FROM leases WHERE id = ?1", error);
    if (!drop.Valid() || !drop.Bind(1, lease).Run(error)) return false;
    for (const std::string& line : failed) LogMessage(MQLOG_WARNING, m_log.c_str(), line.c_str());
    return true;
}

bool QueueDb::CloseLease(int64_t lease, std::string* error) {
    Transaction t(m_db.get(), false);
    return t.Begin(error) && ReleaseLease(lease, error) && t.Commit(error);
}

bool QueueDb::Reclaim(std::string* error) {
    std::map<std::pair<int64_t, std::string>, bool> alive;
    auto isAlive = [&](int64_t pid, const std::string& key) {
        auto found = alive.find({pid, key});
        if (found != alive.end()) return found->second;
        ProcessIdentity who{static_cast<pid_t>(pid), key};
        bool live = IsMe(who) || ProcessAlive(who);
        alive.emplace(std::make_pair(pid, key), live);
        return live;
    };

    std::vector<std::pair<int64_t, int64_t>> deadLeases;  // lease, pid
    Stmt leases = m_db->Prepare("SELECT id, pid, key FROM leases", error);
    if (!leases.Valid()) return false;
    for (;;) {
        if (!leases.Step(error)) return false;
        if (!leases.Row()) break;
        if (!isAlive(leases.Int(1), leases.Text(2))) {
            deadLeases.emplace_back(leases.Int(0), leases.Int(1));
        }
    }
    leases.Reset();
    for (const auto& dead : deadLeases) {
        Transaction t(m_db.get(), false);
        if (!t.Begin(error) || !ReleaseLease(dead.first, error) || !t.Commit(error)) return false;
        LogMessagef(MQLOG_NOTICE, m_log.c_str(),
                    "reader process %lld is gone: its entries are offered again",
                    static_cast<long long>(dead.second));
    }

    std::vector<std::pair<int64_t, int64_t>> deadWriters;  // entry, pid
    Stmt writing = m_db->Prepare(
        "SELECT id, writer_pid, writer_key FROM entries WHERE state = 0", error);
    if (!writing.Valid()) return false;
    for (;;) {
        if (!writing.Step(error)) return false;
        if (!writing.Row()) break;
        if (!isAlive(writing.Int(1), writing.Text(2))) {
            deadWriters.emplace_back(writing.Int(0), writing.Int(1));
        }
    }
    writing.Reset();
    for (const auto& dead : deadWriters) {
        if (!DropEntry(static_cast<unsigned long>(dead.first), error)) return false;
        LogMessagef(MQLOG_NOTICE, m_log.c_str(),
                    "entry %lld removed: its writer, process %lld, died before closing it",
                    static_cast<long long>(dead.first), static_cast<long long>(dead.second));
    }
    return true;
}

bool QueueDb::ReadEnvelope(unsigned long id, EnvelopeData* envelope, bool* found,
                           std::string* error) {
    *found = false;
    Stmt read = m_db->Prepare("SELECT state, envelope FROM entries WHERE id = ?1", error);
    if (!read.Valid() || !read.Bind(1, static_cast<int64_t>(id)).Step(error)) return false;
    if (!read.Row() || read.Int(0) == kWriting) return true;
    std::string bytes = read.Text(1);
    read.Reset();
    if (!DecodeEnvelope(bytes, envelope)) {
        *error = "entry " + std::to_string(id) + ": its envelope in " + m_spool.DatabasePath() +
                 " is damaged";
        return false;
    }
    *found = true;
    return true;
}

bool QueueDb::LoadInfo(Stmt& row, mqadmin::EntryInfo* info) {
    info->id = static_cast<uint32_t>(row.Int(0));
    info->channel = row.Text(1);
    info->state = StateOf(row.Int(2));
    info->leased = row.Int(3) != 0;
    info->created = row.Int(4);
    info->attempts = static_cast<uint32_t>(row.Int(5));
    info->application = row.Text(6);
    info->bodySize = m_spool.BodySize(info->id);
    info->path = m_spool.EntryPath(info->id, ".msg");
    info->sender.clear();
    info->recipients.clear();
    if (info->state == mqadmin::EntryState::Writing) return true;
    EnvelopeData envelope;
    if (!DecodeEnvelope(row.Text(7), &envelope)) return false;
    if (!envelope.from.empty()) info->sender = envelope.from.front().address;
    for (const RecipientRecord& r : envelope.to) info->recipients.push_back(r.address);
    return true;
}

bool QueueDb::List(const std::string& channel, std::vector<mqadmin::EntryInfo>* out,
                   std::string* error) {
    out->clear();
    std::string sql = std::string(kEntryColumns) +
                      (channel.empty() ? " ORDER BY id" : " WHERE channel = ?1 ORDER BY id");
    Stmt list = m_db->Prepare(sql.c_str(), error);
    if (!list.Valid()) return false;
    if (!channel.empty()) list.Bind(1, channel);
    for (;;) {
        if (!list.Step(error)) {
            out->clear();
            return false;
        }
        if (!list.Row()) return true;
        mqadmin::EntryInfo info;
        if (!LoadInfo(list, &info)) {
            *error = "entry " + std::to_string(list.Int(0)) + ": damaged envelope";
            out->clear();
            return false;
        }
        out->push_back(std::move(info));
    }
}

bool QueueDb::Info(unsigned long id, mqadmin::EntryInfo* out, bool* found, std::string* error) {
    std::string sql = std::string(kEntryColumns) + " WHERE id = ?1";
    Stmt one = m_db->Prepare(sql.c_str(), error);
    if (!one.Valid() || !one.Bind(1, static_cast<int64_t>(id)).Step(error)) return false;
    *found = one.Row();
    if (*found && !LoadInfo(one, out)) {
        *error = "entry " + std::to_string(id) + ": damaged envelope";
        return false;
    }
    return true;
}

bool QueueDb::Count(std::vector<mqadmin::ChannelCount>* out, std::string* error) {
    out->clear();
    Stmt count = m_db->Prepare(
        "SELECT ifnull(channel, ''), state, lease IS NOT NULL, count(*), min(created)"
        " FROM entries GROUP BY ifnull(channel, '') COLLATE NOCASE, state, lease IS NOT NULL"
        " ORDER BY ifnull(channel, '') COLLATE NOCASE",
        error);
    if (!count.Valid()) return false;
    for (;;) {
        if (!count.Step(error)) {
            out->clear();
            return false;
        }
        if (!count.Row()) return true;
        std::string channel = count.Text(0);
        if (out->empty() || strcasecmp(out->back().channel.c_str(), channel.c_str()) != 0) {
            out->emplace_back();
            out->back().channel = channel;
            out->back().oldest = count.Int(4);
        }
        mqadmin::ChannelCount& c = out->back();
        uint32_t n = static_cast<uint32_t>(count.Int(3));
        if (count.Int(4) < c.oldest) c.oldest = count.Int(4);
        switch (count.Int(1)) {
            case kWriting: c.writing += n; break;
            case kQueued: c.queued += n; break;
            case kHeld: c.held += n; break;
            default: c.failed += n; break;
        }
        if (count.Int(2) != 0) c.leased += n;
    }
}

mqadmin::AdminResult QueueDb::Remove(unsigned long id, std::string* error) {
    using mqadmin::AdminResult;
    Transaction t(m_db.get(), true);
    if (!t.Begin(error)) return AdminResult::Failed;
    Stmt state = m_db->Prepare("SELECT state FROM entries WHERE id = ?1", error);
    if (!state.Valid() || !state.Bind(1, static_cast<int64_t>(id)).Step(error)) {
        return AdminResult::Failed;
    }
    if (!state.Row()) return AdminResult::NotFound;
    if (state.Int(0) == kWriting) return AdminResult::WrongState;
    state.Reset();
    Stmt remove = m_db->Prepare("DELETE FROM entries WHERE id = ?1", error);
    if (!remove.Valid() || !remove.Bind(1, static_cast<int64_t>(id)).Run(error) ||
        !t.Commit(error)) {
        return AdminResult::Failed;
    }
    std::string cause;
    if (!m_spool.RemoveEntryFiles(id, &cause)) {
        LogMessagef(MQLOG_WARNING, m_log.c_str(), "entry %lu removed, its files not: %s", id,
                    cause.c_str());
    }
    return AdminResult::Done;
}

mqadmin::AdminResult QueueDb::ChangeState(unsigned long id, std::vector<int64_t> from,
                                          int64_t to, bool reset, std::string* error) {
    using mqadmin::AdminResult;
    Transaction t(m_db.get(), true);
    if (!t.Begin(error)) return AdminResult::Failed;
    Stmt state = m_db->Prepare("SELECT state FROM entries WHERE id = ?1", error);
    if (!state.Valid() || !state.Bind(1, static_cast<int64_t>(id)).Step(error)) {
        return AdminResult::Failed;
    }
    if (!state.Row()) return AdminResult::NotFound;
    int64_t now = state.Int(0);
    state.Reset();
    if (now == to) return AdminResult::Done;
    bool allowed = false;
    for (int64_t s : from) allowed = allowed || s == now;
    if (!allowed) return AdminResult::WrongState;
    Stmt change = m_db->Prepare(
        "UPDATE entries SET state = ?2, attempts = CASE WHEN ?3 THEN 0 ELSE attempts END"
        " WHERE id = ?1",
        error);
    if (!change.Valid()) return AdminResult::Failed;
    change.Bind(1, static_cast<int64_t>(id)).Bind(2, to).Bind(3, reset ? 1 : 0);
    if (!change.Run(error) || !t.Commit(error)) return AdminResult::Failed;
    return AdminResult::Done;
}

bool QueueDb::Check(mqadmin::HealthReport* report, std::string* error) {
    report->integrity.clear();
    report->orphanFiles.clear();
    report->missingBodies.clear();
    Stmt integrity = m_db->Prepare("PRAGMA integrity_check", error);
    if (!integrity.Valid()) return false;
    for (;;) {
        if (!integrity.Step(error)) return false;
        if (!integrity.Row()) break;
        if (!report->integrity.empty()) report->integrity += "\n";
        report->integrity += integrity.Text(0);
    }
    integrity.Reset();

    std::vector<mqadmin::EntryInfo> entries;
    if (!List(std::string(), &entries, error)) return false;
    std::unordered_set<unsigned long> ids;
    for (const mqadmin::EntryInfo& e : entries) {
        ids.insert(e.id);
        if (e.state != mqadmin::EntryState::Writing && e.bodySize < 0) {
            report->missingBodies.push_back(e);
        }
    }
    return m_spool.ForEachFile(
        [&](unsigned long id, const std::string& path) {
            if (id == 0 || ids.count(id) == 0) report->orphanFiles.push_back(path);
        },
        error);
}

}  // namespace mqstore
