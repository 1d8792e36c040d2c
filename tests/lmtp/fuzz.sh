#!/usr/bin/env bash
# Runs the LMTP session's fuzz harness under libFuzzer for a few seconds:
# builds it with clang++ -fsanitize=fuzzer (with ASan and UBSan) from the
# sources, since the tree's own compiler may have no libFuzzer. Where
# clang++ or its libFuzzer is missing, the tree's build of the harness with
# its standalone driver replays the corpus and its mutations instead.
#
# usage: fuzz.sh SOURCE_DIR WORK_DIR STANDALONE_BINARY [SECONDS]
set -euo pipefail
src=$1 work=$2 standalone=$3 seconds=${4:-10}
corpus=$src/tests/lmtp/fuzz_corpus
rm -rf "$work" && mkdir -p "$work/new"
if command -v clang++ >/dev/null &&
   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined \
       -fno-sanitize-recover=undefined -I"$src/tools/mqlmtpd" \
       "$src/tools/mqlmtpd/lmtpsession.cpp" "$src/tests/lmtp/lmtp_fuzz.cpp" \
       -o "$work/lmtp_libfuzzer" 2>"$work/build.log"; then
    # New inputs and any crashing input go to the scratch directory, never
    # into the directory the test was started from.
    exec "$work/lmtp_libfuzzer" -max_total_time="$seconds" -seed=1 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$work/" "$work/new" "$corpus"
fi
echo "clang++ with libFuzzer not usable ($(head -1 "$work/build.log" 2>/dev/null)): standalone driver"
exec "$standalone" -runs=50000 "$corpus"
