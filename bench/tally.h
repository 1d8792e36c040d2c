// tally.h - what the kernel says a benchmark process did: the bytes it sent
// to the disk (/proc/PID/io) and the system calls strace counted (the
// summary of `strace -c`).
//
// Thread safety: pure functions over texts; ReadSelfIo reads /proc.
#ifndef MQ_BENCH_TALLY_H
#define MQ_BENCH_TALLY_H

#include <cstdint>
#include <map>
#include <string>

namespace mqbench {

// The write side of /proc/PID/io: bytes the process caused to be written to
// the storage layer (counted when it dirtied the page cache) and bytes it
// kept from being written (dirty pages it truncated or deleted away).
struct IoBytes {
    uint64_t written = 0;
    uint64_t cancelled = 0;
};

// Parses the text of /proc/PID/io. False when either line is missing or
// not a number (*out is then unchanged).
bool ParseProcIo(const std::string& text, IoBytes* out);

// This process's counters; false when /proc/self/io can't be read.
bool ReadSelfIo(IoBytes* out);

// The calls column of a `strace -c` summary, by system call name ("total"
// for the total line). Lines that are not rows of the table are skipped;
// an empty map means there was no table.
std::map<std::string, uint64_t> ParseStraceSummary(const std::string& text);

}  // namespace mqbench

#endif
