// mqadmin.cpp - the administrator's calls (mqadmin.h) over the store's
// database.
#include "mqadmin.h"

#include "chanlist.h"
#include "spool.h"
#include "storestate.h"

using mqstore::LogFailure;
using mqstore::QueueDb;
using mqstore::ReadyQueue;

namespace mqadmin {

namespace {

AdminResult Report(const char* operation, AdminResult result, const std::string& error) {
    if (result == AdminResult::Failed) LogFailure(operation, error);
    return result;
}

bool ValidId(unsigned long id) { return id != 0 && id <= mqstore::kMaxEntryId; }

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

bool ListEntries(const char* channel, std::vector<EntryInfo>* out) {
    return mqstore::Guarded("ListEntries", false, [&]() -> bool {
        clLockGuard guard(OneMQ.csStore);
        out->clear();
        QueueDb* queue = ReadyQueue("ListEntries");
        if (queue == nullptr) return false;
        std::string error;
        if (!queue->List(channel != nullptr ? channel : "", out, &error)) {
            LogFailure("ListEntries", error);
            return false;
        }
        return true;
    });
}

bool GetEntryInfo(unsigned long id, EntryInfo* out) {
    return mqstore::Guarded("GetEntryInfo", false, [&]() -> bool {
        clLockGuard guard(OneMQ.csStore);
        QueueDb* queue = ReadyQueue("GetEntryInfo");
        if (queue == nullptr || !ValidId(id)) return false;
        bool found = false;
        std::string error;
        if (!queue->Info(id, out, &found, &error)) {
            LogFailure("GetEntryInfo", error);
            return false;
        }
        return found;
    });
}

bool CountEntries(std::vector<ChannelCount>* out) {
    return mqstore::Guarded("CountEntries", false, [&]() -> bool {
        clLockGuard guard(OneMQ.csStore);
        out->clear();
        QueueDb* queue = ReadyQueue("CountEntries");
        if (queue == nullptr) return false;
        std::string error;
        if (!queue->Count(out, &error)) {
            LogFailure("CountEntries", error);
            return false;
        }
        return true;
    });
}

AdminResult RemoveEntry(unsigned long id) {
    return mqstore::Guarded("RemoveEntry", AdminResult::Failed, [&]() -> AdminResult {
        clLockGuard guard(OneMQ.csStore);
        QueueDb* queue = ReadyQueue("RemoveEntry");
        if (queue == nullptr) return AdminResult::Failed;
        if (!ValidId(id)) return AdminResult::NotFound;
        std::string error;
        return Report("RemoveEntry", queue->Remove(id, &error), error);
    });
}

AdminResult HoldEntry(unsigned long id) {
    return mqstore::Guarded("HoldEntry", AdminResult::Failed, [&]() -> AdminResult {
        clLockGuard guard(OneMQ.csStore);
        QueueDb* queue = ReadyQueue("HoldEntry");
        if (queue == nullptr) return AdminResult::Failed;
        if (!ValidId(id)) return AdminResult::NotFound;
        std::string error;
        return Report("HoldEntry",
                      queue->ChangeState(id, {mqstore::kQueued}, mqstore::kHeld, false, &error),
                      error);
    });
}

AdminResult ReleaseEntry(unsigned long id) {
    return mqstore::Guarded("ReleaseEntry", AdminResult::Failed, [&]() -> AdminResult {
        clLockGuard guard(OneMQ.csStore);
        QueueDb* queue = ReadyQueue("ReleaseEntry");
        if (queue == nullptr) return AdminResult::Failed;
        if (!ValidId(id)) return AdminResult::NotFound;
        std::string error;
        return Report("ReleaseEntry",
                      queue->ChangeState(id, {mqstore::kHeld}, mqstore::kQueued, false, &error),
                      error);
    });
}

AdminResult RequeueEntry(unsigned long id) {
    return mqstore::Guarded("RequeueEntry", AdminResult::Failed, [&]() -> AdminResult {
        clLockGuard guard(OneMQ.csStore);
        QueueDb* queue = ReadyQueue("RequeueEntry");
        if (queue == nullptr) return AdminResult::Failed;
        if (!ValidId(id)) return AdminResult::NotFound;
        std::string error;
        return Report("RequeueEntry",
                      queue->ChangeState(id, {mqstore::kFailed}, mqstore::kQueued, true, &error),
                      error);
    });
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

bool CheckStore(HealthReport* report) {
    return mqstore::Guarded("CheckStore", false, [&]() -> bool {
        clLockGuard guard(OneMQ.csStore);
        QueueDb* queue = ReadyQueue("CheckStore");
        if (queue == nullptr) return false;
        std::string error;
        if (!queue->Check(report, &error)) {
            LogFailure("CheckStore", error);
            return false;
        }
        return true;
    });
}

std::string SpoolDirectory() {
    return mqstore::Guarded("SpoolDirectory", std::string(), [&]() -> std::string {
        clLockGuard guard(OneMQ.csStore);
        const mqstore::StoreState& s = mqstore::State();
        return s.queue ? s.queue->GetSpool().Root() : std::string();
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
