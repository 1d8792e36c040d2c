// queuedb_admin.cpp - the operator's calls of the queue database (mqadmin.h):
// listing, counting, removing entries and changing their states, and the
// health check.
#include "queuedb.h"

#include <sys/stat.h>

#include <ctime>
#include <unordered_set>

#include "log.h"
#include "trail.h"

namespace mqstore {

namespace {

const char* const kEntryColumns =
    "SELECT id, channel, state, lease IS NOT NULL, created, attempts, app, envelope,"
    " claim_slot IS NOT NULL, handed, reason, reason_at, reason_by, due, deferrals, reason_text,"
    " (SELECT length(body) FROM bodies WHERE bodies.id = entries.id) FROM entries";

// Entries a walk reads at a time: small enough that a walk stopped early
// reads little more, large enough that a page's index look-up costs
// nothing next to its rows.
const int64_t kWalkPage = 128;

// The stored state as the operator's interface names it.
mqadmin::EntryState StateOf(int64_t state) {
    switch (state) {
        case kHeld:
            return mqadmin::EntryState::Held;
        case kFailed:
            return mqadmin::EntryState::Failed;
        default:
            return mqadmin::EntryState::Queued;
    }
}

// The stored reason as the operator's interface names it.
mqadmin::EntryReason ReasonOf(int64_t reason) {
    switch (reason) {
        case kReasonReturned: return mqadmin::EntryReason::Returned;
        case kReasonReaderDied: return mqadmin::EntryReason::ReaderDied;
        case kReasonHeld: return mqadmin::EntryReason::Held;
        case kReasonReleased: return mqadmin::EntryReason::Released;
        case kReasonRequeued: return mqadmin::EntryReason::Requeued;
        case kReasonFailed: return mqadmin::EntryReason::Failed;
        case kReasonDeferred: return mqadmin::EntryReason::Deferred;
        case kReasonExpired: return mqadmin::EntryReason::Expired;
        default: return mqadmin::EntryReason::None;
    }
}

// An entry's row as read (kEntryColumns), its envelope not yet decoded and
// its file not yet looked at.
struct RawEntry {
    mqadmin::EntryInfo info;
    std::string envelope;
    bool claimed = false;
    int64_t committedSize = -1;  // the size of a body kept in the commit; -1: none
};

// Copies the current row of row (kEntryColumns) into *raw.
void ReadRow(const Stmt& row, RawEntry* raw) {
    mqadmin::EntryInfo& info = raw->info;
    info.id = static_cast<uint32_t>(row.Int(0));
    info.channel = row.Text(1);
    info.state = StateOf(row.Int(2));
    info.leased = row.Int(3) != 0;
    info.created = row.Int(4);
    info.attempts = static_cast<uint32_t>(row.Int(5));
    info.application = row.Text(6);
    raw->envelope = row.Text(7);
    raw->claimed = row.Int(8) != 0;
    info.handed = row.Int(9);
    info.reason = ReasonOf(row.Int(10));
    info.reasonTime = row.Int(11);
    info.reasonBy = row.Text(12);
    info.due = row.IsNull(13) ? 0 : row.Int(13);
    info.deferrals = static_cast<uint32_t>(row.Int(14));
    info.reasonText = row.Text(15);
    raw->committedSize = row.IsNull(16) ? -1 : row.Int(16);
}

// Completes raw->info from its envelope and its file. Fails when the
// envelope is damaged.
mq::Status Finish(const Spool& spool, RawEntry* raw) {
    mqadmin::EntryInfo& info = raw->info;
    // A body kept in the commit has its size there, file or not (its file
    // is written when its path is named); any other body is its file.
    info.bodySize = raw->committedSize >= 0 ? raw->committedSize : spool.BodySize(info.id);
    info.path = spool.EntryPath(info.id, ".msg");
    // Claimed and without its body: its writer is still bringing it.
    if (info.state == mqadmin::EntryState::Queued && raw->claimed && info.bodySize < 0) {
        info.state = mqadmin::EntryState::Writing;
    }
    info.sender.clear();
    info.recipients.clear();
    EnvelopeData envelope;
    if (!DecodeEnvelope(raw->envelope, &envelope)) {
        return mq::Status::Error("entry " + std::to_string(info.id) + ": damaged envelope");
    }
    if (!envelope.from.empty()) info.sender = envelope.from.front().address;
    for (const RecipientRecord& r : envelope.to) info.recipients.push_back(r.address);
    return mq::Status::OK();
}

// The conditions of filter, for a statement that binds ?2 and ?3 to its
// creation times and, when filter names a channel, ?4 to it.
std::string Conditions(const mqadmin::EntryFilter& filter) {
    std::string where = " created > ?2 AND created < ?3";
    if (!filter.channel.empty()) where += " AND channel = ?4";
    if (filter.held && filter.failed) {
        where += " AND state IN (" MQ_SQL_HELD ", " MQ_SQL_FAILED ")";
    } else if (filter.held) {
        where += " AND state = " MQ_SQL_HELD;
    } else if (filter.failed) {
        where += " AND state = " MQ_SQL_FAILED;
    }
    return where;
}

// Binds filter's values to the parameters Conditions wrote.
void BindFilter(Stmt& stmt, const mqadmin::EntryFilter& filter) {
    stmt.Bind(2, filter.createdAfter).Bind(3, filter.createdBefore);
    if (!filter.channel.empty()) stmt.Bind(4, filter.channel);
}

}  // namespace

mq::Status QueueDb::Walk(const mqadmin::EntryFilter& filter,
                         const std::function<bool(const mqadmin::EntryInfo&)>& each) {
    std::string sql = std::string(kEntryColumns) + " WHERE id > ?1 AND" + Conditions(filter) +
                      " ORDER BY id LIMIT " + std::to_string(kWalkPage);
    Stmt page = m_db->Prepare(sql.c_str());
    int64_t after = 0;
    std::vector<RawEntry> rows;
    for (;;) {
        rows.clear();
        page.Bind(1, after);
        BindFilter(page, filter);
        // The walk's reset ends the page's read: nothing stays open while
        // each runs.
        mq::Status s = page.ForEachRow([&] {
            rows.emplace_back();
            ReadRow(page, &rows.back());
        });
        if (!s.ok()) return s;
        for (RawEntry& raw : rows) {
            s = Finish(m_spool, &raw);
            if (!s.ok() || !each(raw.info)) return s;
        }
        if (static_cast<int64_t>(rows.size()) < kWalkPage) return s;
        after = rows.back().info.id;
    }
}

mq::Status QueueDb::CountMatching(const mqadmin::EntryFilter& filter, uint64_t* count) {
    *count = 0;
    std::string sql = "SELECT count(*) FROM entries WHERE" + Conditions(filter);
    Stmt total = m_db->Prepare(sql.c_str());
    BindFilter(total, filter);
    mq::Status s = total.Step();
    if (!s.ok()) return s;
    *count = static_cast<uint64_t>(total.Int(0));
    total.Reset();
    return s;
}

mq::Status QueueDb::List(const std::string& channel, std::vector<mqadmin::EntryInfo>* out) {
    out->clear();
    mqadmin::EntryFilter filter;
    filter.channel = channel;
    mq::Status s = Walk(filter, [out](const mqadmin::EntryInfo& info) {
        out->push_back(info);
        return true;
    });
    if (!s.ok()) out->clear();
    return s;
}

mq::Status QueueDb::InfoAsIs(unsigned long id, mqadmin::EntryInfo* out, bool* found) {
    std::string sql = std::string(kEntryColumns) + " WHERE id = ?1";
    Stmt one = m_db->Prepare(sql.c_str());
    mq::Status s = one.Bind(1, static_cast<int64_t>(id)).Step();
    if (!s.ok()) return s;
    *found = one.Row();
    if (!*found) return s;
    RawEntry raw;
    ReadRow(one, &raw);
    one.Reset();
    s = Finish(m_spool, &raw);
    if (s.ok()) *out = std::move(raw.info);
    return s;
}

mq::Status QueueDb::Info(unsigned long id, mqadmin::EntryInfo* out, bool* found) {
    // The operator reads the file at the path given: whole, as a reader's.
    mq::Status s = EnsureBody(id);
    bool unwritten = !s.ok() && m_locks->ReadOnly();
    if (!s.ok() && !unwritten) return s;
    s = InfoAsIs(id, out, found);
    // A reader without write access can't write a body kept in the commit
    // to its file: it gets the entry without a path rather than a path to
    // no file, or no entry at all.
    if (s.ok() && *found && unwritten) out->path.clear();
    return s;
}

mq::Status QueueDb::Remove(unsigned long id, const std::string& who,
                           mqadmin::AdminResult* outcome) {
    using mqadmin::AdminResult;
    m_handedOut = HandedOut();
    Transaction t = Write(Sync::kDurable);
    mq::Status s = t.Begin();
    Stmt state =
        m_db->Prepare("SELECT claim_slot, claim_nonce, claim_pid FROM entries WHERE id = ?1");
    if (s.ok()) s = state.Bind(1, static_cast<int64_t>(id)).Step();
    if (!s.ok()) return s;
    if (!state.Row()) {
        *outcome = AdminResult::NotFound;
        return s;
    }
    // A live writer is still bringing the body: the entry is its own.
    if (!state.IsNull(0) && m_spool.BodySize(id) < 0 &&
        m_locks->Alive({state.Int(0), state.Int(1), state.Int(2)})) {
        *outcome = AdminResult::WrongState;
        return s;
    }
    state.Reset();
    s = m_db->Prepare("DELETE FROM entries WHERE id = ?1").Bind(1, static_cast<int64_t>(id)).Run();
    if (s.ok()) s = t.Commit();
    if (!s.ok()) return s;
    Trail(MQLOG_INFO, m_appName, static_cast<int64_t>(id), "removed",
          {{"by", "operator"}, {"user", TrailValue(who)}});
    mq::Status removed = m_spool.RemoveEntryFiles(id);
    if (!removed.ok()) {
        LogMessagef(MQLOG_WARNING, m_appName.c_str(), "entry %lu removed, its files not: %s", id,
                    removed.Cause().c_str());
    }
    *outcome = AdminResult::Done;
    return s;
}

mq::Status QueueDb::ChangeState(unsigned long id, std::vector<int64_t> from, int64_t to, bool reset,
                                int64_t reason, const std::string& who,
                                mqadmin::AdminResult* outcome) {
    using mqadmin::AdminResult;
    Transaction t = Write(Sync::kDurable);
    mq::Status s = t.Begin();
    Stmt state = m_db->Prepare("SELECT state FROM entries WHERE id = ?1");
    if (s.ok()) s = state.Bind(1, static_cast<int64_t>(id)).Step();
    if (!s.ok()) return s;
    if (!state.Row()) {
        *outcome = AdminResult::NotFound;
        return s;
    }
    int64_t now = state.Int(0);
    state.Reset();
    bool allowed = now == to;  // already there: done, nothing recorded
    for (int64_t f : from) allowed = allowed || f == now;
    *outcome = allowed ? AdminResult::Done : AdminResult::WrongState;
    if (now == to || !allowed) return s;
    s = m_db->Prepare(
                "UPDATE entries SET state = ?2, attempts = CASE WHEN ?3 THEN 0 ELSE attempts END,"
                " deferrals = CASE WHEN ?3 THEN 0 ELSE deferrals END,"
                " due = CASE WHEN ?2 = " MQ_SQL_QUEUED " THEN NULL ELSE due END,"
                " reason = ?4, reason_at = ?5, reason_by = ?6 WHERE id = ?1")
            .Bind(1, static_cast<int64_t>(id))
            .Bind(2, to)
            .Bind(3, reset ? 1 : 0)
            .Bind(4, reason)
            .Bind(5, StoreNowS())
            .Bind(6, who)
            .Run();
    if (s.ok()) s = t.Commit();
    if (!s.ok()) return s;
    Trail(MQLOG_INFO, m_appName, static_cast<int64_t>(id), mqadmin::ReasonName(ReasonOf(reason)),
          {{"user", TrailValue(who)}});
    return s;
}

mq::Status QueueDb::Space(mqadmin::SpaceReport* report) {
    Stmt pages = m_db->Prepare(
        "SELECT page_count * page_size, freelist_count * page_size"
        " FROM pragma_page_count, pragma_page_size, pragma_freelist_count");
    mq::Status s = pages.Step();
    if (!s.ok()) return s;
    if (pages.Row()) {
        report->databaseBytes = pages.Int(0);
        report->databaseFree = pages.Int(1);
    }
    pages.Reset();
    struct stat wal;
    report->walBytes =
        stat((m_spool.DatabasePath() + "-wal").c_str(), &wal) == 0 ? wal.st_size : 0;
    return s;
}

}  // namespace mqstore
