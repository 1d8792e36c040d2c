// sizeloads.h - the queue against Maildir at several body sizes: one-call
// puts from 1 and 8 processes, each beside as many Maildir-style deliverers
// of the same size, then readers on what those puts left (1 reader beside a
// synced select-and-delete, 8 beside 8 Maildir takers), with the bytes each
// operation sent towards the disk.
//
// Thread safety: one run at a time per process.
#ifndef MQ_BENCH_SIZELOADS_H
#define MQ_BENCH_SIZELOADS_H

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "concurrency.h"

namespace mqbench {

// "1 KiB", "64 KiB", "1 MiB", or the bytes.
std::string SizeLabel(size_t size);

// One round's loads, in the order they run: per size the puts (Maildir and
// the queue taking turns), then the readers.
std::vector<Load> SizeLoads(const std::vector<size_t>& sizes);

// Takes (unmeasured) whatever the readers left in the size channels and
// Maildirs, so that every round starts from empty ones. Returns "" or what
// failed.
std::string DrainSizes(const std::string& dir, const std::vector<size_t>& sizes);

// The table of the loads' medians over the rounds, with the bytes written
// per operation and each figure's ratio to its yardstick.
void ReportSizes(const std::vector<size_t>& sizes,
                 const std::map<std::string, std::vector<LoadResult>>& results);

// The table of the traced run: system calls, syncs and opens per operation.
// Each load has two results: the measured run, and a run of no operation
// (the processes' start and their store's opening) that it is reduced by.
void ReportTraced(const std::vector<size_t>& sizes,
                  const std::map<std::string, std::vector<LoadResult>>& results);

}  // namespace mqbench

#endif
