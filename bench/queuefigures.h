// queuefigures.h - the queue's own figures, through the toolkit and the real
// store: PutMsg (one sender, two recipients; durable when it returns), a
// full put (PutMsg and its 4 KiB body written through the rename pattern),
// and GetMsg with DelMsg.
//
// Every call works on the store of the process's configuration
// (MQ_CONFIG_DIR), initialised by OpenStore; one store per process.
//
// Thread safety: one thread per process.
#ifndef MQ_BENCH_QUEUEFIGURES_H
#define MQ_BENCH_QUEUEFIGURES_H

#include <string>
#include <utility>
#include <vector>

#include "figure.h"

namespace mqbench {

constexpr const char* kChannel = "BENCH";
constexpr const char* kPut = "PutMsg";
constexpr const char* kFullPut = "full put (PutMsg + 4 KiB body)";
constexpr const char* kGet = "GetMsg + DelMsg";

// Writes daduv.ini and queue.cfg (channel BENCH) into the installation
// directory dir, which it creates. Returns "" or what failed.
std::string PrepareStore(const std::string& dir);

// Initialises the store of MQ_CONFIG_DIR. Returns "" or what failed.
std::string OpenStore();

// Puts (with empty bodies: the fill is not measured) until channel BENCH
// holds depth queued entries. Returns "" or what failed.
std::string Prefill(long depth);

// One run of each figure, in the order above. The bodies of the PutMsg
// figure's entries are written after its clock stops, and the get figure
// takes back no more than the two puts added, so the queue keeps its depth.
std::vector<std::pair<std::string, Run>> RunQueueFigures(const Budget& budget);

}  // namespace mqbench

#endif
