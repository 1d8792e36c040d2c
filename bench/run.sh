#!/usr/bin/env bash
# Builds the benchmark without sanitizers into build/mqbench and runs it once;
# arguments go to mqbench (--dir DIR puts its files on another disk).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --no-i386  # the benchmark is built for this machine alone
cmake -S . -B build/mqbench -DCMAKE_BUILD_TYPE=Release -DMQ_BUILD_TESTS=OFF >/dev/null
cmake --build build/mqbench -j"$(nproc)" --target mqbench mqctl >/dev/null
build/mqbench/bench/mqbench "$@"
# The delivery service's arrival latency and its throughput at N=1 and N=8.
bench/follow.sh build/mqbench/tools/mqctl/mqctl
