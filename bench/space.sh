#!/usr/bin/env bash
# The space run: one-call puts at a steady rate for 10 minutes with readers
# draining behind, sampling the database's and its log's sizes, the pages
# free for reuse, the queue's depth and the puts' p99 every 30 s.
# Builds mqbench as bench/run.sh does; arguments go to mqbench after the
# defaults (e.g. --dir /srv/mq-bench --rate 1000 --steady-size 65536).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --no-i386
cmake -S . -B build/mqbench -DCMAKE_BUILD_TYPE=Release -DMQ_BUILD_TESTS=OFF >/dev/null
cmake --build build/mqbench -j"$(nproc)" --target mqbench >/dev/null
exec build/mqbench/bench/mqbench --steady 600 --rate 500 --interval 30 "$@"
