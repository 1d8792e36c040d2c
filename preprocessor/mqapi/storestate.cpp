// storestate.cpp - the queue store's state in this process, its log tag,
// and the logging of failures.
#include "storestate.h"

#include <unistd.h>

#include <atomic>
#include <mutex>

#include "log.h"

namespace mqstore {

namespace {

// This process's id, kept so that no store call asks the kernel for it:
// set when the fork handlers are installed (the first MQInit) and renewed
// by the child's handler. 0 until then. A child made by a raw clone()
// system call, which runs no fork handler, must not call the store (nor
// may it use the inherited connection in any case).
std::atomic<pid_t> g_pid{0};

}  // namespace

pid_t ProcessId() {
    pid_t pid = g_pid.load(std::memory_order_relaxed);
    return pid != 0 ? pid : getpid();
}

void SetProcessId(pid_t pid) { g_pid = pid; }

StoreState& State() {
    static StoreState* state = new StoreState();
    return *state;
}

namespace {
std::mutex g_tagLock;
std::string& Tag() {
    static auto* tag = new std::string("mqapi");
    return *tag;
}
}  // namespace

std::string LogTag() {
    std::lock_guard<std::mutex> guard(g_tagLock);
    return Tag();
}

void SetLogTag(const std::string& tag) {
    std::lock_guard<std::mutex> guard(g_tagLock);
    Tag() = tag;
}

thread_local bool t_callFailed = false;

void LogFailure(const char* operation, const std::string& cause) {
    t_callFailed = true;
    LogMessagef(MQLOG_ERROR, LogTag().c_str(), "%s: %s", operation, cause.c_str());
}

void LogFailure(const char* operation, const mq::Status& status) {
    LogFailure(operation, status.Cause());
}

void LogUnexpected(const char* operation, bool outOfMemory) noexcept {
    t_callFailed = true;
    const char* what = outOfMemory ? "out of memory" : "unexpected failure";
    try {
        LogFailure(operation, what);
    } catch (...) {
        // Not even the tag could be copied: the logger itself allocates nothing.
        LogMessagef(MQLOG_ERROR, "mqapi", "%s: %s", operation, what);
    }
}

QueueDb* ReadyQueue(const char* operation, Access access) {
    StoreState& s = State();
    if (!s.queue) {
        LogFailure(operation, "the store is not initialised (MQInit)");
        return nullptr;
    }
    if (s.pid != mqstore::ProcessId()) {
        LogFailure(operation, "the store was initialised before a fork: MQInit again in this "
                              "process");
        return nullptr;
    }
    // Acknowledging entries into a file nobody else will ever open would
    // lose them: a database deleted or replaced under us stops every call
    // until MQInit opens the new one. Calls that only read are spared the
    // look at the path: the next call that writes makes it.
    if (access == Access::kWrite) {
        mq::Status same = s.queue->CheckFile();
        if (!same.ok()) {
            LogFailure(operation, same.With("MQInit again to use the new one"));
            return nullptr;
        }
    }
    return s.queue.get();
}

}  // namespace mqstore
