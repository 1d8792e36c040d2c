// concurrency.h - the queue at a mail server's concurrency: P processes
// putting, R processes getting, and both at once on one channel, held
// against the same number of processes doing Maildir-style deliveries or
// synced SQLite inserts into one shared database.
//
// A load starts its processes together (fork and exec of this program, each
// waiting for one shared start signal), lets them work for the budget's
// seconds, and gathers each process's operation count, failed calls and
// every operation's latency.
//
// Thread safety: one load at a time per process.
#ifndef MQ_BENCH_CONCURRENCY_H
#define MQ_BENCH_CONCURRENCY_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace mqbench {

// What a load's processes do: one kind per process (loadkinds.h).
struct Load {
    std::string name;                // as reported, e.g. "put P=4"
    std::string yard;                // the name of the yardstick load it is held against
    double aim = 0;                  // the ratio aimed at, 0 for none
    std::vector<std::string> kinds;  // one per process
};

struct LoadResult {
    long ops = 0;
    double opsPerSecond = 0;
    double p50ms = 0, p99ms = 0, maxms = 0;
    double slowestShare = 0;  // fewest operations of one process / the median process's
    long failed = 0;
    std::string error;  // set when the load could not run at all
    // Bytes per operation from /proc/PID/io (io false when not to be had):
    // sent towards the disk, and dirty bytes spared it by a deletion.
    bool io = false;
    double writtenPerOp = 0, cancelledPerOp = 0;
    // System calls per operation counted by strace -c (traced runs only;
    // the process's start and its store's opening are in the counts).
    bool traced = false;
    std::map<std::string, uint64_t> calls;  // by system call name, "total" for all
};

// What the matrix's directory holds besides the 4 KiB channel BENCH.
struct MatrixSetup {
    std::vector<size_t> sizes;       // a channel and a Maildir for each body size
    long bodyInCommitLimit = -1;     // written to daduv.ini when >= 0
    long yardRows = 20000;           // rows the synced take may take
};

// The matrix, in the order it runs within a round (puts fill what the gets
// take later).
std::vector<Load> Matrix();

// Prepares the matrix's directory (a store with channel BENCH, a Maildir, a
// database). Returns "" or what failed.
std::string PrepareMatrix(const std::string& dir, const MatrixSetup& setup);

// Runs load in dir for seconds: one result per kind of process, named as
// the load ("put P=4"), or for a mixed load the load and the kind ("mixed
// 4+4 put"). Empty when the load could not be started. traced: each process
// runs under strace -c -f (slower; for the system-call counts only).
std::vector<std::pair<std::string, LoadResult>> RunLoad(const Load& load, const std::string& dir,
                                                        double seconds, bool traced = false);

// Worker side: "--load KIND DIR SECONDS OUT [INDEX PROCS]": waits for the
// start signal on standard input, works, writes its latencies (microseconds,
// one uint32 each) to OUT, and prints "ops failed seconds written
// cancelled" (the bytes -1 when /proc/self/io can't be read). Kinds:
// loadkinds.h. Returns the exit status.
int LoadWorker(int argc, char** argv);

}  // namespace mqbench

#endif
