#!/usr/bin/env bash
# The depth run: fills a queue with N one-call puts of 4 KiB over four
# channels, then times each view and check once on the settled queue, with
# its peak resident memory, and weighs the spool against the bodies' bytes.
# Builds without sanitizers into build/mqbench, like run.sh.
#
# usage: bench/depth.sh [--entries N] [--procs P] [--size BYTES] [--dir DIR]
#   N defaults to 1,000,000 (about 4.5 GB of spool: see df first); a --dir
#   is kept, and a later run with the same N reuses its filled queue.
set -euo pipefail
entries=1000000 procs=4 size=4096 dir=""
while [ $# -gt 0 ]; do
    case $1 in
        --entries) entries=$2; shift 2 ;;
        --procs) procs=$2; shift 2 ;;
        --size) size=$2; shift 2 ;;
        --dir) dir=$2; shift 2 ;;
        *) echo "usage: $0 [--entries N] [--procs P] [--size BYTES] [--dir DIR]" >&2; exit 64 ;;
    esac
done
cd "$(dirname "$0")/.."
cmake -S . -B build/mqbench -DCMAKE_BUILD_TYPE=Release -DMQ_BUILD_TESTS=OFF >/dev/null
cmake --build build/mqbench -j"$(nproc)" --target mqctl depthfill >/dev/null
mqctl=$PWD/build/mqbench/tools/mqctl/mqctl
fill=$PWD/build/mqbench/bench/depthfill
keep=1
if [ -z "$dir" ]; then
    dir=$(mktemp -d /var/tmp/mqdepth-XXXXXX)
    keep=0
fi
cleanup() { if [ $keep = 0 ]; then rm -rf "$dir"; fi; }
trap cleanup EXIT
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
printf '[Config]\nInstallDirectory=%s\n' "$dir" >"$dir/daduv.ini"
printf 'D0\t\tdepth\t\tout\r\nD1\t\tdepth\t\tout\r\nD2\t\tdepth\t\tout\r\nD3\t\tdepth\t\tout\r\n' \
    >"$dir/queue.cfg"
export MQ_CONFIG_DIR=$dir

have=$("$mqctl" list --count 2>/dev/null || echo 0)
if [ "$have" != "$entries" ]; then
    [ "$have" = 0 ] || { echo "$dir holds $have entries, not $entries: use another --dir" >&2; exit 1; }
    need=$((entries * (size + 600) / 1024 / 1024))
    free=$(df -Pm "$dir" | awk 'NR == 2 {print $4}')
    if [ "$free" -lt $((need * 2)) ]; then
        echo "depth: $entries entries need about $need MB, and $dir has $free MB free" >&2
        exit 1
    fi
    "$fill" "$dir/daduv.ini" "$entries" "$size" "$procs" D0 D1 D2 D3
fi
sync

# One command line, timed: "| label | seconds | peak resident MB |".
measure() {
    local label=$1 line
    /usr/bin/time -o "$dir/time.out" -f '%e %M' bash -c "$2" >/dev/null 2>&1 || true
    line=$(tail -1 "$dir/time.out")
    printf '| `%s` | %s s | %s MB |\n' "$label" "${line% *}" "$(( ${line#* } / 1024 ))"
}

echo
echo "$entries waiting entries of $size bytes, four channels, on $(df -P "$dir" | awk 'NR == 2 {print $1}'):"
echo
echo '| Command | Time | Peak resident |'
echo '|---|---|---|'
for c in metrics monitor summary "check --quick" check "list --count"; do
    measure "$c" "\"$mqctl\" $c"
done
measure "list | head" "\"$mqctl\" list | head -20"
spool=$(du -sb "$dir/spool" | awk '{print $1}')
files=$(find "$dir/spool/msg" -type f | wc -l)
bodies=$((entries * size))
echo
awk -v s="$spool" -v b="$bodies" -v f="$files" 'BEGIN {
    printf "spool %.0f MB for %.0f MB of bodies: %.2fx; %d message files\n",
        s / 1048576, b / 1048576, s / b, f }'
