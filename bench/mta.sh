#!/usr/bin/env bash
# The queue's cost behind a mail system: what one `mqctl put` process costs
# (system calls, failing ones, syncs, wall-clock time), and how fast a
# private Postfix instance delivers the same load through its pipe(8) into
# `mqctl put` and through its lmtp(8) client into mqlmtpd as through its own
# virtual(8) delivery to Maildir. Then the store alone: smtp-source speaking
# LMTP straight to mqlmtpd's socket in eight sessions, against eight
# Maildir deliverers on the same disk (create, write, fsync, rename, fsync
# the directory, in eight threads).
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
cmake --build build/mqbench -j"$(nproc)" --target mqctl mqlmtpd >/dev/null
mqctl=$PWD/build/mqbench/tools/mqctl/mqctl
mqlmtpd=$PWD/build/mqbench/tools/mqlmtpd/mqlmtpd

work=$(mktemp -d /var/tmp/mq-mta.XXXXXX)
chmod 755 "$work"
inst=$work/inst
. tests/mta/postfix_instance.sh
lmtpd_pid=
cleanup() {
    pf_stop "$work"
    [ -z "$lmtpd_pid" ] || { kill "$lmtpd_pid"; wait "$lmtpd_pid"; } 2>/dev/null
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
message_size_limit = 0
transport_maps = inline:{ in.test=mq: lm.test=lmtp:unix:private/mqlmtpd }" "\
virtual   unix - n n - - virtual
lmtp      unix - - n - - lmtp"
pf_start "$work"
# mqlmtpd on a socket in Postfix's private directory, run as the queue's
# user, as its socket unit starts it.
sock=$work/queue/private/mqlmtpd
python3 tests/mta/lmtpd_socket.py "$sock" "$mqlmtpd" "$inst" nobody --channel IN \
    --max-sessions 128 2>"$work/lmtpd.log" &
lmtpd_pid=$!
for _ in $(seq 100); do [ -S "$sock" ] && break; sleep 0.05; done
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
lmtp=()
for _ in $(seq "$rounds"); do
    virtual+=("$(rate virtual rcpt@vm.test)")
    pipe+=("$(rate mq rcpt@in.test)")
    lmtp+=("$(rate '[^ ]*private/mqlmtpd' rcpt@lm.test)")
done
ratios=()
lratios=()
for i in "${!pipe[@]}"; do
    ratios+=("$(( pipe[i] * 100 / virtual[i] ))")
    lratios+=("$(( lmtp[i] * 100 / virtual[i] ))")
done
printf 'Postfix, %d messages of %d bytes in %d sessions, %d rounds, median (range):\n' \
    "$messages" "$size" "$sessions" "$rounds"
printf '  pipe to mqctl put %s msg/s; virtual(8) Maildir %s msg/s; pipe/Maildir %s %%\n' \
    "$(median_range "${pipe[@]}")" "$(median_range "${virtual[@]}")" "$(median_range "${ratios[@]}")"
printf '  lmtp(8) to mqlmtpd %s msg/s; lmtp/Maildir %s %%\n' \
    "$(median_range "${lmtp[@]}")" "$(median_range "${lratios[@]}")"
grep -q 'status=bounced' "$work/maillog" && echo "some messages bounced" && exit 1

# 3. The store alone, eight at a time: smtp-source speaking LMTP to the
#    socket (each 250 means durable, so its run's end is the last put's),
#    and eight threads delivering the same bodies to a Maildir.
direct() {
    local start=$(date +%s%N)
    smtp-source -L -s 8 -m "$messages" -l "$size" -f s@src.test -t rcpt@lm.test "unix:$sock"
    echo $(( messages * 1000 / (($(date +%s%N) - start) / 1000000) ))
}
maildir8() {
    python3 - "$work/md8" "$messages" "$size" <<'PY'
import os, sys, threading, time
root, n, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for d in ("tmp", "new"):
    os.makedirs(os.path.join(root, d), exist_ok=True)
body = b"x" * size
def deliver(k):
    dfd = os.open(os.path.join(root, "new"), os.O_RDONLY | os.O_DIRECTORY)
    for i in range(k, n, 8):
        tmp = os.path.join(root, "tmp", "%d.%d" % (time.time_ns(), i))
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        os.write(fd, body)
        os.fsync(fd)
        os.close(fd)
        os.rename(tmp, os.path.join(root, "new", os.path.basename(tmp)))
        os.fsync(dfd)
    os.close(dfd)
start = time.time()
threads = [threading.Thread(target=deliver, args=(k,)) for k in range(8)]
for t in threads: t.start()
for t in threads: t.join()
print(int(n / (time.time() - start)))
PY
    rm -rf "$work/md8"
}
direct_rates=()
maildir_rates=()
dratios=()
for _ in $(seq "$rounds"); do
    maildir_rates+=("$(maildir8)")
    direct_rates+=("$(direct)")
    dratios+=("$(( direct_rates[-1] * 100 / maildir_rates[-1] ))")
done
printf 'The store alone, %d messages of %d bytes, 8 at a time, %d rounds, median (range):\n' \
    "$messages" "$size" "$rounds"
printf '  smtp-source -L to mqlmtpd %s msg/s; 8 Maildir deliverers %s msg/s; LMTP/Maildir %s %%\n' \
    "$(median_range "${direct_rates[@]}")" "$(median_range "${maildir_rates[@]}")" \
    "$(median_range "${dratios[@]}")"
exit 0
