#!/usr/bin/env bash
# The queue's cost behind a mail system: what one `mqctl put` process costs
# (system calls, failing ones, syncs, wall-clock time), and how fast a
# private Postfix instance delivers the same load through its pipe(8) into
# `mqctl put` as through its own virtual(8) delivery to Maildir.
#
# usage: bench/mta.sh [--messages N] [--size BYTES] [--sessions S] [--rounds R]
#        (as root)
#
# mqctl is built without sanitizers (build/mqbench, as bench/run.sh does).
# Everything runs in one new directory under /var/tmp, removed afterwards;
# Postfix listens on 127.0.0.1 only. The two deliveries take turns, R
# rounds of each (3 unless given), so that a change in the machine's load
# falls on both; each is given as the median and the range of its rounds.
set -euo pipefail
cd "$(dirname "$0")/.."
messages=500
size=16384
sessions=6
rounds=3
while [ $# -gt 0 ]; do
    case $1 in
        --messages) messages=$2; shift 2 ;;
        --size) size=$2; shift 2 ;;
        --sessions) sessions=$2; shift 2 ;;
        --rounds) rounds=$2; shift 2 ;;
        *) echo "usage: bench/mta.sh [--messages N] [--size BYTES] [--sessions S] [--rounds R]" >&2
           exit 64 ;;
    esac
done
PATH=$PATH:/usr/sbin
scripts/deps.sh --no-i386 >/dev/null
cmake -S . -B build/mqbench -DCMAKE_BUILD_TYPE=Release -DMQ_BUILD_TESTS=OFF >/dev/null
cmake --build build/mqbench -j"$(nproc)" --target mqctl >/dev/null
mqctl=$PWD/build/mqbench/tools/mqctl/mqctl

work=$(mktemp -d /var/tmp/mq-mta.XXXXXX)
chmod 755 "$work"
inst=$work/inst
. tests/mta/postfix_instance.sh
cleanup() {
    pf_stop "$work"
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$inst" "$work/vmail"
printf '[Config]\nInstallDirectory=%s\n' "$inst" > "$inst/daduv.ini"
printf 'IN\t\tin\t\tin\r\n' > "$inst/queue.cfg"

# 1. One put process, as a pipe starts it, into an existing spool.
body=$(head -c "$size" /dev/zero | tr '\0' 'x')
put() { "$mqctl" --config "$inst" put IN --from a@example.org --to b@example.org - >/dev/null; }
put <<<"$body"  # makes the spool
strace -f -c -o "$work/strace" "$mqctl" --config "$inst" put IN --from a@example.org \
    --to b@example.org - <<<"$body" >/dev/null
calls=$(awk '/ total$/ { print $(NF-2) }' "$work/strace")
errors=$(awk '/ total$/ { print $(NF-1) }' "$work/strace")
syncs=$(awk '$NF ~ /^(fsync|fdatasync|sync_file_range)$/ { n += $4 } END { print n + 0 }' "$work/strace")
# The failing calls of a binary run from the build tree are mostly the
# dynamic loader looking for each library along the build's run paths; an
# installed mqctl finds them in the loader's cache.
strace -f -o "$work/calls" "$mqctl" --config "$inst" put IN --from a@example.org \
    --to b@example.org - <<<"$body" >/dev/null
lookups=$(grep '= -1 ENOENT' "$work/calls" | grep -c -e '\.so' -e 'hwcaps' -e '/tls' -e '/x86_64' || true)
start=$(date +%s%N)
for _ in $(seq 100); do put <<<"$body"; done
ms=$(( ($(date +%s%N) - start) / 1000000 ))  # hundredths of a ms, a process
printf 'mqctl put of %d bytes: %s system calls (%s failing, %s of them library look-ups), %s syncs, %d.%02d ms a process (100 in a row)\n' \
    "$size" "$calls" "$errors" "$lookups" "$syncs" $((ms / 100)) $((ms % 100))
chown -R nobody:nogroup "$inst" "$work/vmail"

# 2. The same load through Postfix: to the pipe, then to virtual(8) Maildir.
port=$(pf_free_port)
pf_write_config "$work" "$mqctl" "$inst" "$port" "\
virtual_mailbox_domains = vm.test
virtual_mailbox_base = $work/vmail
virtual_mailbox_maps = inline:{ rcpt@vm.test=rcpt/ }
virtual_uid_maps = static:65534
virtual_gid_maps = static:65534
virtual_minimum_uid = 100
virtual_mailbox_limit = 0
message_size_limit = 0" "\
virtual   unix - n n - - virtual"
pf_start "$work"
# rate TRANSPORT RECIPIENT: messages a second from the first message sent to
# the last one delivered.
rate() {
    local before
    before=$(grep -c "relay=$1.*status=sent" "$work/maillog" 2>/dev/null || true)
    local start=$(date +%s%N)
    smtp-source -s "$sessions" -m "$messages" -l "$size" -f s@src.test -t "$2" "127.0.0.1:$port"
    while [ "$(grep -c "relay=$1.*status=sent" "$work/maillog" || true)" -lt $((before + messages)) ]; do
        sleep 0.05
    done
    local ms=$(( ($(date +%s%N) - start) / 1000000 ))
    echo $(( messages * 1000 / ms ))
}
# median_range RATES...: "median (min-max)".
median_range() {
    printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END {
        m = NR % 2 ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2)
        printf "%d (%d-%d)", m, v[1], v[NR] }'
}
virtual=()
pipe=()
for _ in $(seq "$rounds"); do
    virtual+=("$(rate virtual rcpt@vm.test)")
    pipe+=("$(rate mq rcpt@in.test)")
done
ratios=()
for i in "${!pipe[@]}"; do ratios+=("$(( pipe[i] * 100 / virtual[i] ))"); done
printf 'Postfix, %d messages of %d bytes in %d sessions, %d rounds, median (range):\n' \
    "$messages" "$size" "$sessions" "$rounds"
printf '  pipe to mqctl put %s msg/s; virtual(8) Maildir %s msg/s; pipe/Maildir %s %%\n' \
    "$(median_range "${pipe[@]}")" "$(median_range "${virtual[@]}")" "$(median_range "${ratios[@]}")"
grep -q 'status=bounced' "$work/maillog" && echo "some messages bounced" && exit 1
exit 0
