// storestate.h - the queue store's state in this process: the database
// connection MQInit opened, the spool, the settings, and the bookkeeping
// that lets the store survive a fork.
//
// Ownership: the state lives as long as the process (it is never destroyed,
// so no thread can meet it half torn down at exit; SQLite recovers the WAL
// of a connection that was never closed).
// Thread safety: StoreState's fields are guarded by OneMQ.csStore; State()
// and ReadyQueue() REQUIRE it held. The rest needs no lock of the caller's:
// the process id is atomic, the log tag has a lock of its own, and failures
// are logged under no lock at all.
#ifndef MQ_STORESTATE_H
#define MQ_STORESTATE_H

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <new>
#include <string>

#include "queuedb.h"
#include "status.h"

namespace mqstore {

struct StoreState {
    pid_t pid = 0;                     // the process that opened queue
    std::unique_ptr<QueueDb> queue;    // null before MQInit
    std::string installDir;
    uint32_t maxAttempts = 5;
    RetrySchedule schedule;
    size_t handles = 0;                // open read and write handles
    bool readOnly = false;             // MQInit opens for reading only (SetReadOnly)
    bool queueReadOnly = false;        // queue was opened for reading only
    std::chrono::steady_clock::time_point lastReclaim;
};

StoreState& State();

// This process's id, without a system call once SetProcessId has been
// called (the fork handlers keep it: the first MQInit, and each child).
pid_t ProcessId();
void SetProcessId(pid_t pid);

// What a call does with the connection ReadyQueue gives it: only reading,
// or writing (which first checks that the database file is still the one
// at the spool's path).
enum class Access { kRead, kWrite };

// The connection of this process, or null (logged as "operation: ...") when
// MQInit has not succeeded in this process (not at all, or only before a
// fork) or, for access kWrite, when the database file was deleted or
// replaced under it.
QueueDb* ReadyQueue(const char* operation, Access access = Access::kWrite);

// Logs a failure of operation once, with its cause, tagged with the
// application name. Unlike the rest, needs no lock held.
void LogFailure(const char* operation, const std::string& cause);
void LogFailure(const char* operation, const mq::Status& status);

// Logs that operation failed on an exception (out of memory, or anything
// else); allocates nothing when it must not.
void LogUnexpected(const char* operation, bool outOfMemory) noexcept;

// Whether a failure was logged on this thread since the current exported
// call began (MQLastCallFailed).
extern thread_local bool t_callFailed;

// Runs body (an exported call's work) and returns its result, after
// clearing t_callFailed; an exception leaving it is logged and becomes
// failure, so that none crosses the store's exported calls.
template <typename R, typename F>
R Guarded(const char* operation, R failure, F&& body) noexcept {
    t_callFailed = false;
    try {
        return body();
    } catch (const std::bad_alloc&) {
        LogUnexpected(operation, true);
    } catch (...) {
        LogUnexpected(operation, false);
    }
    return failure;
}

template <typename F>
void Guarded(const char* operation, F&& body) noexcept {
    t_callFailed = false;
    try {
        body();
    } catch (const std::bad_alloc&) {
        LogUnexpected(operation, true);
    } catch (...) {
        LogUnexpected(operation, false);
    }
}

// The application name MQInit was given ("mqapi" before), and setting it;
// guarded by a lock of their own, since failures are logged under no lock.
std::string LogTag();
void SetLogTag(const std::string& tag);

}  // namespace mqstore

#endif
