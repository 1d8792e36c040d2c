// figure.h - what one timed run of a benchmark figure yields, and the loop
// that times it.
//
// A figure runs its operation until its time budget is spent or it has made
// its maximum number of operations, whichever comes first; only the
// operations themselves are inside the clock, and the kernel counts the
// system calls, syncs and file creations they make (syscounts.h).
//
// Thread safety: plain values and a reentrant template.
#ifndef MQ_BENCH_FIGURE_H
#define MQ_BENCH_FIGURE_H

#include <chrono>
#include <string>

#include "syscounts.h"

namespace mqbench {

struct Budget {
    double seconds = 1.0;  // stop once this much time went into the figure
    long maxOps = 1000;    // and never make more operations than this
};

struct Run {
    long ops = 0;
    double seconds = 0;
    std::string error;  // non-empty when an operation failed (the run is void)
    SysCounts sys;      // what the operations asked of the kernel

    double Rate() const { return seconds > 0 ? ops / seconds : 0; }
    // Per operation; 0 when nothing was counted.
    double PerOp(uint64_t count) const { return ops > 0 ? double(count) / ops : 0; }
};

// Times op() (which returns an error text, empty on success) under budget.
template <typename Op>
Run Timed(const Budget& budget, Op op) {
    using Clock = std::chrono::steady_clock;
    Run run;
    SysCounter counter;
    counter.Start();
    const Clock::time_point start = Clock::now();
    while (run.ops < budget.maxOps) {
        std::string err = op(run.ops);
        if (!err.empty()) {
            run.error = err;
            break;
        }
        ++run.ops;
        run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (run.seconds >= budget.seconds) break;
    }
    run.sys = counter.Stop();
    return run;
}

}  // namespace mqbench

#endif
