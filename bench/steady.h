// steady.h - the space run: one-call puts at a steady rate for a long time
// with readers draining behind them, sampling the database's and its log's
// sizes, the pages free for reuse, the queue's depth and the puts' latency
// (checkpoints included: whichever put runs one waits for it).
//
// Thread safety: one run per process.
#ifndef MQ_BENCH_STEADY_H
#define MQ_BENCH_STEADY_H

#include <cstddef>
#include <string>

namespace mqbench {

struct SteadyOptions {
    double seconds = 600;   // how long the puts go on
    double rate = 500;      // puts a second, all putters together
    int putters = 4;
    int readers = 2;        // GetMsg, read the body, DelMsg; waiting when empty
    size_t size = 4096;     // bytes a body
    double interval = 30;   // seconds a sample
    long limit = -1;        // BodyInCommitLimit; -1: the store's default
};

// Runs under dir (a new matrix directory) and prints one line a sample and
// the whole run's put latency. Returns 0, or 1 when a process failed.
int RunSteady(const std::string& dir, const SteadyOptions& o);

}  // namespace mqbench

#endif
