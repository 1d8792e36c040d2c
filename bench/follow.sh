#!/usr/bin/env bash
# The delivery service (mqctl deliver --follow): how soon a message put on
# its channel is handed on (from the start of the `mqctl put` process to the
# command's start, median and 99th percentile, at 20 puts a second; the put
# process's own time is given beside it, as the shell sees a put's return
# only once its process has ended), and how fast it drains
# a backlog to a command that takes 200 ms, with 1 and with 8 commands at
# once.
#
# usage: bench/follow.sh [MQCTL]   (default: the build without sanitizers,
#        build/mqbench, which bench/run.sh makes)
#
# Everything runs in one new directory under /var/tmp, removed afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
mqctl=${1:-$PWD/build/mqbench/tools/mqctl/mqctl}
puts=100
backlog=80

work=$(mktemp -d /var/tmp/mq-follow.XXXXXX)
service=
cleanup() {
    [ -z "$service" ] || kill -TERM "$service" 2>/dev/null || true
    [ -z "$service" ] || wait "$service" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
printf '[Config]\nInstallDirectory=%s\n' "$work" > "$work/daduv.ini"
printf 'OUT\t\tout\t\tout\r\n' > "$work/queue.cfg"
export MQ_CONFIG_DIR=$work MQ_LOG=$work/mq.log
now_ns() { date +%s%N; }

# The commands: one notes when it started, the other takes 200 ms.
cat > "$work/note" <<SH
#!/bin/sh
echo "\$1 \$(date +%s%N)" >> "$work/started"
cat > /dev/null
SH
cat > "$work/slow" <<SH
#!/bin/sh
cat > /dev/null
sleep 0.2
echo "\$1" >> "$work/done"
SH
chmod +x "$work/note" "$work/slow"
put() { printf 'x\n' | "$mqctl" put OUT --from a@example.org --to b@example.org; }
put >/dev/null && "$mqctl" delete ALL OUT -q >/dev/null  # makes the spool

start() {
    "$mqctl" deliver OUT --follow --concurrency "$1" -- "$work/$2" '{id}' 2> "$work/service.log" &
    service=$!
    sleep 0.5
}
stop() {
    kill -TERM "$service"
    wait "$service"
    service=
}
wait_lines() {
    for _ in $(seq 600); do
        [ "$(wc -l < "$1" 2>/dev/null || echo 0)" -ge "$2" ] && return 0
        sleep 0.05
    done
    echo "follow.sh: timed out waiting for $2 lines in $1" >&2
    return 1
}

# 1. Arrival latency, idle CPU included: 20 puts a second.
start 1 note
idle_before=$(awk '{ print $14 + $15 }' "/proc/$service/stat")
sleep 2
idle_after=$(awk '{ print $14 + $15 }' "/proc/$service/stat")
: > "$work/put"
for _ in $(seq "$puts"); do
    t0=$(now_ns)
    id=$(put | cut -d' ' -f1)
    echo "$id $t0 $(( $(now_ns) - t0 ))" >> "$work/put"
    # 50 ms a put, whatever the put took.
    rest=$(( 50000000 - ($(now_ns) - t0) ))
    [ "$rest" -le 0 ] || sleep "0.$(printf '%09d' "$rest")"
done
wait_lines "$work/started" "$puts"
stop
percentiles() {
    sort -n | awk '{ v[NR] = $1 } END { printf "median %.1f ms, p99 %.1f ms", v[int((NR + 1) / 2)], v[int(NR * 0.99 + 0.5)] }'
}
putting=$(awk '{ print $3 / 1e6 }' "$work/put" | percentiles)
latency=$(join <(sort "$work/put") <(sort "$work/started") |
    awk '{ print ($4 - $2) / 1e6 }' | sort -n |
    awk '{ v[NR] = $1 } END { printf "median %.1f ms, p99 %.1f ms (%d puts at 20/s)", v[int((NR + 1) / 2)], v[int(NR * 0.99 + 0.5)], NR }')
ticks=$(getconf CLK_TCK)
idle=$(awk -v a="$idle_before" -v b="$idle_after" -v t="$ticks" 'BEGIN { printf "%.2f", (b - a) / t / 2 * 100 }')

# 2. Throughput: a backlog of 80 to a command that takes 200 ms.
for n in 1 8; do
    : > "$work/done"
    for _ in $(seq "$backlog"); do put >/dev/null; done
    t0=$(now_ns)
    start "$n" slow
    wait_lines "$work/done" "$backlog"
    t1=$(now_ns)
    stop
    seconds=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", (b - a) / 1e9 - 0.5 }')
    rate[$n]=$(awk -v s="$seconds" -v m="$backlog" 'BEGIN { printf "%.1f", m / s }')
    took[$n]=$seconds
done

echo "delivery service (mqctl deliver --follow):"
echo "  arrival latency, from starting mqctl put to the command's start: $latency"
echo "  (an mqctl put process alone: $putting)"
echo "  idle: $idle% of a core"
echo "  80 messages to a 200 ms command: N=1 ${took[1]} s (${rate[1]}/s), N=8 ${took[8]} s (${rate[8]}/s)"
