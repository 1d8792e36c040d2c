// queuedb_totals.cpp - the monitoring views' figures (mqadmin.h: ReadTotals,
// CountEntries) from the totals table the schema's triggers keep and from
// the indexes, so that they cost the same at any depth of the queue.
//
// What the totals can't know is looked at here: entries whose writer still
// claims them (found through their index), whose file tells whether they
// are still being written and how large their body is; deferred entries
// that have come due since (an index range on due); the oldest entry (a
// step on entries_age, past any still being written); the counts by age
// (index range counts on entries_age).
#include "queuedb.h"

#include <strings.h>

#include <algorithm>
#include <map>

namespace mqstore {

namespace {

struct CaseLess {
    bool operator()(const std::string& a, const std::string& b) const {
        return strcasecmp(a.c_str(), b.c_str()) < 0;
    }
};

// An entry whose writer has not brought its body yet: counted apart.
struct Writing {
    int64_t id;
    int64_t created;
};

// The figures being read, per channel.
struct Reading {
    mqadmin::ChannelTotals totals;
    std::vector<Writing> writing;
};
using Readings = std::map<std::string, Reading, CaseLess>;

// The state's count and bytes in t.
void StateFigures(mqadmin::ChannelTotals* t, int64_t state, uint64_t** count, int64_t** bytes) {
    switch (state) {
        case kHeld:
            *count = &t->held;
            *bytes = &t->heldBytes;
            break;
        case kFailed:
            *count = &t->failed;
            *bytes = &t->failedBytes;
            break;
        default:
            *count = &t->queued;
            *bytes = &t->queuedBytes;
            break;
    }
}

// Ends the read transaction a snapshot began, whatever happened in it.
class Snapshot {
public:
    explicit Snapshot(Db* db) : m_db(db) {}
    ~Snapshot() {
        if (m_begun) m_db->Exec("COMMIT");
    }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    mq::Status Begin() {
        mq::Status s = m_db->Exec("BEGIN");
        m_begun = s.ok();
        return s;
    }

private:
    Db* m_db;
    bool m_begun = false;
};

}  // namespace

mq::Status QueueDb::Totals(const std::vector<int64_t>& createdBounds,
                           std::vector<mqadmin::ChannelTotals>* out) {
    out->clear();
    // One snapshot: the totals, the claimed entries and the index counts
    // must see the same commits, or an entry put meanwhile would be taken
    // off a count it is not in yet.
    Snapshot snapshot(m_db.get());
    mq::Status s = snapshot.Begin();
    if (!s.ok()) return s;
    Readings readings;
    // The scheduled ones among queued entries not leased: deferred, or come
    // due and not taken yet.
    std::map<std::string, uint64_t, CaseLess> scheduled;
    Stmt totals = m_db->Prepare(
        "SELECT channel, state, leased, entries, bytes, attempts, deferrals, scheduled"
        " FROM totals WHERE entries > 0");
    s = totals.ForEachRow([&] {
        Reading& r = readings[totals.Text(0)];
        mqadmin::ChannelTotals& t = r.totals;
        if (t.channel.empty()) t.channel = totals.Text(0);
        uint64_t* count;
        int64_t* bytes;
        StateFigures(&t, totals.Int(1), &count, &bytes);
        const uint64_t n = static_cast<uint64_t>(totals.Int(3));
        *count += n;
        *bytes += totals.Int(4);
        if (totals.Int(2) != 0) t.leased += n;
        t.attempts += static_cast<uint64_t>(totals.Int(5));
        t.deferrals += static_cast<uint64_t>(totals.Int(6));
        if (totals.Int(1) == kQueued && totals.Int(2) == 0) {
            scheduled[t.channel] += static_cast<uint64_t>(totals.Int(7));
        }
    });
    if (!s.ok()) return s;

    // Entries their writer still claims: still being written while queued
    // without a file; else their body's size is the file's until a hand-out
    // records it.
    struct Claimed {
        int64_t id, state, created;
        bool sized;
        std::string channel;
    };
    std::vector<Claimed> claimed;
    Stmt claims = m_db->Prepare(
        "SELECT id, channel, state, created, size IS NOT NULL FROM entries"
        " WHERE claim_slot IS NOT NULL");
    s = claims.ForEachRow([&] {
        claimed.push_back(
            {claims.Int(0), claims.Int(2), claims.Int(3), claims.Int(4) != 0, claims.Text(1)});
    });
    if (!s.ok()) return s;
    for (const Claimed& c : claimed) {
        auto found = readings.find(c.channel);
        if (found == readings.end()) continue;  // not in the totals: can't be
        mqadmin::ChannelTotals& t = found->second.totals;
        const int64_t size = m_spool.BodySize(static_cast<unsigned long>(c.id));
        uint64_t* count;
        int64_t* bytes;
        StateFigures(&t, c.state, &count, &bytes);
        if (c.state == kQueued && size < 0) {
            if (*count > 0) --*count;
            ++t.writing;
            found->second.writing.push_back({c.id, c.created});
        } else if (size > 0 && !c.sized) {
            *bytes += size;
        }
    }

    Stmt due = m_db->Prepare(
        "SELECT count(*) FROM entries INDEXED BY entries_deferred"
        " WHERE channel = ?1 AND state = " MQ_SQL_QUEUED
        " AND lease IS NULL AND claim_slot IS NULL AND due IS NOT NULL AND due <= ?2");
    Stmt oldestDeferred = m_db->Prepare(
        "SELECT created FROM entries INDEXED BY entries_deferred_age"
        " WHERE channel = ?1 AND state = " MQ_SQL_QUEUED
        " AND lease IS NULL AND claim_slot IS NULL AND due IS NOT NULL AND due > ?2"
        " ORDER BY created LIMIT 1");
    Stmt oldest = m_db->Prepare(
        "SELECT id, created FROM entries INDEXED BY entries_age WHERE channel = ?1"
        " ORDER BY created");
    Stmt range = m_db->Prepare(
        "SELECT count(*) FROM entries INDEXED BY entries_age"
        " WHERE channel = ?1 AND created >= ?2 AND created < ?3");
    const int64_t nowMs = StoreNowMs();
    for (auto& [name, r] : readings) {
        mqadmin::ChannelTotals& t = r.totals;
        if (t.Entries() == 0) continue;
        auto isWriting = [&r](int64_t id) {
            return std::any_of(r.writing.begin(), r.writing.end(),
                               [id](const Writing& w) { return w.id == id; });
        };
        const uint64_t waiting = scheduled[name];
        if (waiting > 0) {
            s = due.Bind(1, t.channel).Bind(2, nowMs).Step();
            if (!s.ok()) return s;
            const uint64_t cameDue = static_cast<uint64_t>(due.Int(0));
            due.Reset();
            t.deferred = waiting > cameDue ? waiting - cameDue : 0;
        }
        if (t.deferred > 0) {
            s = oldestDeferred.Bind(1, t.channel).Bind(2, nowMs).Step();
            if (!s.ok()) return s;
            if (oldestDeferred.Row()) t.oldestDeferred = oldestDeferred.Int(0);
            oldestDeferred.Reset();
        }
        // The first that is not still being written: a step, but for those.
        oldest.Bind(1, t.channel);
        for (;;) {
            s = oldest.Step();
            if (!s.ok()) return s;
            if (!oldest.Row()) break;
            if (!isWriting(oldest.Int(0))) {
                t.oldest = oldest.Int(1);
                break;
            }
        }
        oldest.Reset();
        if (createdBounds.empty()) continue;
        t.created.assign(createdBounds.size() + 1, 0);
        for (size_t i = 0; i <= createdBounds.size(); ++i) {
            const int64_t from = i == 0 ? INT64_MIN : createdBounds[i - 1];
            const int64_t to = i == createdBounds.size() ? INT64_MAX : createdBounds[i];
            s = range.Bind(1, t.channel).Bind(2, from).Bind(3, to).Step();
            if (!s.ok()) return s;
            uint64_t n = static_cast<uint64_t>(range.Int(0));
            range.Reset();
            for (const Writing& w : r.writing) {
                if (w.created >= from && w.created < to && n > 0) --n;
            }
            t.created[i] = n;
        }
    }
    for (auto& kv : readings) {
        if (kv.second.totals.Entries() + kv.second.totals.writing > 0) {
            out->push_back(std::move(kv.second.totals));
        }
    }
    return s;
}

mq::Status QueueDb::Count(std::vector<mqadmin::ChannelCount>* out) {
    out->clear();
    std::vector<mqadmin::ChannelTotals> totals;
    mq::Status s = Totals({}, &totals);
    if (!s.ok()) return s;
    auto narrow = [](uint64_t n) {
        return static_cast<uint32_t>(std::min<uint64_t>(n, UINT32_MAX));
    };
    for (const mqadmin::ChannelTotals& t : totals) {
        mqadmin::ChannelCount c;
        c.channel = t.channel;
        c.writing = narrow(t.writing);
        // Queued counts those still being written too, as it always has.
        c.queued = narrow(t.queued + t.writing);
        c.held = narrow(t.held);
        c.failed = narrow(t.failed);
        c.leased = narrow(t.leased);
        c.deferred = narrow(t.deferred);
        c.oldestDeferred = t.oldestDeferred;
        c.oldest = t.oldest;
        out->push_back(c);
    }
    return s;
}

}  // namespace mqstore
