// syscounts.h - how many system calls, syncs and file creations a stretch of
// this thread's work made, counted by the kernel's tracepoints (perf events).
//
// Counting needs the tracepoints (tracefs mounted, and the right to open
// perf events: root, or perf_event_paranoid at most 1 with tracefs readable).
// Where they can't be had, Available() is false and every count reads 0; the
// benchmark then leaves the columns out.
//
// Thread safety: one counter per thread; not copyable.
#ifndef MQ_BENCH_SYSCOUNTS_H
#define MQ_BENCH_SYSCOUNTS_H

#include <cstdint>

namespace mqbench {

struct SysCounts {
    bool counted = false;  // false: the kernel's counters were not to be had
    uint64_t calls = 0;    // every system call
    uint64_t syncs = 0;    // fsync and fdatasync
    uint64_t creates = 0;  // openat with O_CREAT (a new file, or one made sure of)
};

class SysCounter {
  public:
    // Opens the counters, stopped; Available() says whether it could.
    SysCounter();
    ~SysCounter();
    SysCounter(const SysCounter&) = delete;
    SysCounter& operator=(const SysCounter&) = delete;

    bool Available() const { return m_ok; }
    void Start();
    // Stops counting and returns the counts since Start.
    SysCounts Stop();

  private:
    enum { kCalls, kFsync, kFdatasync, kCreates, kCounters };
    int m_fd[kCounters] = {-1, -1, -1, -1};
    bool m_ok = false;
};

}  // namespace mqbench

#endif
