// mqadmin.cpp - the administrator's calls (mqadmin.h) over the store's
// database.
#include "mqadmin.h"

#include <pwd.h>
#include <unistd.h>

#include <pwd.h>
#include <cerrno>
#include <vector>
#include <unistd.h>

#include "chanlist.h"
#include "spool.h"
#include "storestate.h"

using mqstore::LogFailure;
using mqstore::QueueDb;
using mqstore::ReadyQueue;

namespace mqadmin {

namespace {

// Report - the result of operation: outcome when done was OK, else Failed
// with done's failure logged.
AdminResult Report(const char* operation, const mq::Status& done, AdminResult outcome) {
    if (done.ok()) return outcome;
    LogFailure(operation, done);
    return AdminResult::Failed;
}

bool ValidId(unsigned long id) { return id != 0 && id <= mqstore::kMaxEntryId; }

// WithQueue - the exported call operation's frame: runs work(queue), which
// returns a Status, on this process's connection under the store's lock.
// False when the store is not ready or work fails (each logged once, with
// its cause) or throws.
template <typename F>
bool WithQueue(const char* operation, F&& work) {
    return mqstore::Guarded(operation, false, [&]() -> bool {
        clLockGuard guard(OneMQ.csStore);
        QueueDb* queue = ReadyQueue(operation);
        if (queue == nullptr) return false;
        mq::Status done = work(*queue);
        if (!done.ok()) LogFailure(operation, done);
        return done.ok();
    });
}

// The name of the process's real user, as the trail and the entries record
// the operator; "uid N" when the password database has none.
std::string OperatorName() {
    uid_t uid = getuid();
    struct passwd entry;
    struct passwd* found = nullptr;
    std::vector<char> buffer(1024);
    for (;;) {
        int rc = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < 65536) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc == 0 && found != nullptr) return found->pw_name;
        return "uid " + std::to_string(uid);
    }
}

// A state change by the operator: Done, or why not.
AdminResult Change(const char* operation, unsigned long id, int64_t from, int64_t to,
                   bool reset, int64_t reason, const char* by = nullptr) {
    return mqstore::Guarded(operation, AdminResult::Failed, [&]() -> AdminResult {
        std::string who = by != nullptr ? by : OperatorName();
        clLockGuard guard(OneMQ.csStore);
        QueueDb* queue = ReadyQueue(operation);
        if (queue == nullptr) return AdminResult::Failed;
        if (!ValidId(id)) return AdminResult::NotFound;
        AdminResult outcome = AdminResult::Failed;
        mq::Status done = queue->ChangeState(id, {from}, to, reset, reason, who, &outcome);
        return Report(operation, done, outcome);
    });
}

}  // namespace

const char* StateName(EntryState state) {
    switch (state) {
        case EntryState::Writing:
            return "writing";
        case EntryState::Queued:
            return "queued";
        case EntryState::Held:
            return "held";
        case EntryState::Failed:
            return "failed";
    }
    return "unknown";
}

const char* ReasonName(EntryReason reason) {
    switch (reason) {
        case EntryReason::None:
            return "";
        case EntryReason::Returned:
            return "returned";
        case EntryReason::ReaderDied:
            return "reader-died";
        case EntryReason::Held:
            return "held";
        case EntryReason::Released:
            return "released";
        case EntryReason::Requeued:
            return "requeued";
        case EntryReason::Failed:
            return "failed";
        case EntryReason::Deferred:
            return "deferred";
        case EntryReason::Expired:
            return "expired";
    }
    return "";
}

bool WalkEntries(const EntryFilter& filter, const std::function<bool(const EntryInfo&)>& each) {
    return WithQueue("WalkEntries", [&](QueueDb& queue) { return queue.Walk(filter, each); });
}

bool CountMatching(const EntryFilter& filter, uint64_t* count) {
    *count = 0;
    return WithQueue("CountMatching",
                     [&](QueueDb& queue) { return queue.CountMatching(filter, count); });
}

bool ListEntries(const char* channel, std::vector<EntryInfo>* out) {
    out->clear();
    return WithQueue("ListEntries", [&](QueueDb& queue) {
        return queue.List(channel != nullptr ? channel : "", out);
    });
}

bool GetEntryInfo(unsigned long id, EntryInfo* out) {
    bool found = false;
    return WithQueue("GetEntryInfo",
                     [&](QueueDb& queue) {
                         return ValidId(id) ? queue.Info(id, out, &found) : mq::Status::OK();
                     }) &&
           found;
}

bool LookUpEntry(unsigned long id, EntryInfo* out) {
    bool found = false;
    return WithQueue("LookUpEntry",
                     [&](QueueDb& queue) {
                         return ValidId(id) ? queue.InfoAsIs(id, out, &found) : mq::Status::OK();
                     }) &&
           found;
}

bool CountEntries(std::vector<ChannelCount>* out) {
    out->clear();
    return WithQueue("CountEntries", [&](QueueDb& queue) { return queue.Count(out); });
}

bool ReadTotals(std::vector<ChannelTotals>* out, const std::vector<int64_t>& createdBounds) {
    out->clear();
    return WithQueue("ReadTotals",
                     [&](QueueDb& queue) { return queue.Totals(createdBounds, out); });
}

AdminResult RemoveEntry(unsigned long id) {
    return mqstore::Guarded("RemoveEntry", AdminResult::Failed, [&]() -> AdminResult {
        std::string who = OperatorName();
        clLockGuard guard(OneMQ.csStore);
        QueueDb* queue = ReadyQueue("RemoveEntry");
        if (queue == nullptr) return AdminResult::Failed;
        if (!ValidId(id)) return AdminResult::NotFound;
        AdminResult outcome = AdminResult::Failed;
        mq::Status done = queue->Remove(id, who, &outcome);
        return Report("RemoveEntry", done, outcome);
    });
}

AdminResult HoldEntry(unsigned long id) {
    return Change("HoldEntry", id, mqstore::kQueued, mqstore::kHeld, false, mqstore::kReasonHeld);
}

AdminResult ReleaseEntry(unsigned long id) {
    return Change("ReleaseEntry", id, mqstore::kHeld, mqstore::kQueued, false,
                  mqstore::kReasonReleased);
}

AdminResult RequeueEntry(unsigned long id) {
    return Change("RequeueEntry", id, mqstore::kFailed, mqstore::kQueued, true,
                  mqstore::kReasonRequeued);
}

AdminResult FailEntry(unsigned long id, const char* why) {
    return Change("FailEntry", id, mqstore::kQueued, mqstore::kFailed, false,
                  mqstore::kReasonFailed, why != nullptr ? why : "");
}

unsigned long EntryIdFromPath(const char* path) {
    return mqstore::Guarded("EntryIdFromPath", 0ul, [&]() -> unsigned long {
        if (path == nullptr) return 0;
        clLockGuard guard(OneMQ.csStore);
        QueueDb* queue = ReadyQueue("EntryIdFromPath");
        if (queue == nullptr) return 0;
        return queue->GetSpool().IdFromPath(path);
    });
}

bool CheckStore(HealthReport* report) { return CheckStore(report, CheckOptions()); }

bool CheckStore(HealthReport* report, const CheckOptions& options) {
    return WithQueue("CheckStore",
                     [&](QueueDb& queue) { return queue.Check(options, report); });
}

bool StoreSpace(SpaceReport* report) {
    return WithQueue("StoreSpace", [&](QueueDb& queue) { return queue.Space(report); });
}

std::string SpoolDirectory() {
    return mqstore::Guarded("SpoolDirectory", std::string(), [&]() -> std::string {
        clLockGuard guard(OneMQ.csStore);
        const mqstore::StoreState& s = mqstore::State();
        return s.queue ? s.queue->GetSpool().Root() : std::string();
    });
}

void SetReadOnly(bool on) {
    clLockGuard guard(OneMQ.csStore);
    mqstore::State().readOnly = on;
}

Schedule RetrySchedule() {
    return mqstore::Guarded("RetrySchedule", Schedule(), [&]() -> Schedule {
        clLockGuard guard(OneMQ.csStore);
        const mqstore::StoreState& s = mqstore::State();
        Schedule out;
        if (!s.queue) return out;
        out.minimalBackoff = s.schedule.minimalBackoff;
        out.maximalBackoff = s.schedule.maximalBackoff;
        out.queueLifetime = s.schedule.queueLifetime;
        return out;
    });
}

int64_t ClockMs() { return mqstore::StoreNowMs(); }

bool ParseDuration(const char* text, int64_t* seconds) {
    if (text == nullptr || text[0] < '0' || text[0] > '9') return false;
    int64_t value = 0;
    const char* p = text;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > 3650LL * 86400) return false;
    }
    int64_t unit = 1;
    switch (*p) {
        case '\0': break;
        case 's': unit = 1; ++p; break;
        case 'm': unit = 60; ++p; break;
        case 'h': unit = 3600; ++p; break;
        case 'd': unit = 86400; ++p; break;
        default: return false;
    }
    if (*p != '\0' || value * unit > 3650LL * 86400) return false;
    *seconds = value * unit;
    return true;
}

AdminResult GiveBackEntry(unsigned long id, GiveBackKind kind, const char* why,
                          EntryInfo* after) {
    return mqstore::Guarded("GiveBackEntry", AdminResult::Failed, [&]() -> AdminResult {
        clLockGuard guard(OneMQ.csStore);
        QueueDb* queue = ReadyQueue("GiveBackEntry");
        if (queue == nullptr) return AdminResult::Failed;
        if (!ValidId(id)) return AdminResult::NotFound;
        mqstore::GivenBackEntry back;
        bool held = false;
        mq::Status done = queue->GiveBack(
            id, kind == GiveBackKind::Untried ? mqstore::GiveBackKind::kUntried
                                              : mqstore::GiveBackKind::kDeferred,
            why != nullptr ? why : "", &back, &held);
        if (done.ok() && held && after != nullptr) {
            bool found = false;
            done = queue->Info(id, after, &found);
        }
        return Report("GiveBackEntry", done, held ? AdminResult::Done : AdminResult::NotFound);
    });
}

AdminResult FlushEntry(unsigned long id) {
    return mqstore::Guarded("FlushEntry", AdminResult::Failed, [&]() -> AdminResult {
        std::string who = OperatorName();
        clLockGuard guard(OneMQ.csStore);
        QueueDb* queue = ReadyQueue("FlushEntry");
        if (queue == nullptr) return AdminResult::Failed;
        if (!ValidId(id)) return AdminResult::NotFound;
        EntryInfo info;
        bool found = false;
        uint64_t count = 0;
        mq::Status done = queue->Info(id, &info, &found);
        if (done.ok() && found) done = queue->Flush(id, "", who, &count);
        return Report("FlushEntry", done, found ? AdminResult::Done : AdminResult::NotFound);
    });
}

bool FlushChannel(const char* channel, uint64_t* count) {
    *count = 0;
    std::string who = OperatorName();
    return WithQueue("FlushChannel", [&](QueueDb& queue) {
        return queue.Flush(0, channel != nullptr ? channel : "", who, count);
    });
}

bool NextDue(const char* channel, int64_t* due) {
    *due = 0;
    return WithQueue("NextDue", [&](QueueDb& queue) {
        return queue.NextDue(channel != nullptr ? channel : "", due);
    });
}

uint32_t MaxAttempts() {
    return mqstore::Guarded("MaxAttempts", uint32_t{0}, [&]() -> uint32_t {
        clLockGuard guard(OneMQ.csStore);
        const mqstore::StoreState& s = mqstore::State();
        return s.queue ? s.maxAttempts : 0;
    });
}

}  // namespace mqadmin
