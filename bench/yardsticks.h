// yardsticks.h - this disk's own limits, measured the way the queue works:
// a one-row insert in its own synced SQLite transaction (WAL,
// synchronous=FULL), a select-oldest-and-delete in its own synced
// transaction, and a Maildir-style delivery of a 4 KiB body (create, write,
// fsync, close, rename, fsync the directory).
//
// Thread safety: each call works on its own connection and files.
#ifndef MQ_BENCH_YARDSTICKS_H
#define MQ_BENCH_YARDSTICKS_H

#include <string>
#include <utility>
#include <vector>

#include "figure.h"

namespace mqbench {

constexpr const char* kInsert = "sqlite insert, synced";
constexpr const char* kTakeOldest = "sqlite select+delete oldest, synced";
constexpr const char* kDeliver = "maildir delivery 4 KiB";

// Makes dir with its database (rows entries deep) and Maildir folders.
// Returns "" or what failed.
std::string PrepareYardsticks(const std::string& dir, long rows);

// One run of each yardstick, in the order above. The select-and-delete
// takes back at most what the insert added, so the table keeps its depth.
std::vector<std::pair<std::string, Run>> RunYardsticks(const std::string& dir,
                                                       const Budget& budget);

}  // namespace mqbench

#endif
