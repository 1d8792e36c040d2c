#!/usr/bin/env bash
# The queue behind a real mail system, by LMTP: a private Postfix instance
# hands the mail it accepts for in.test to mqlmtpd through its lmtp(8)
# client, on a socket in its private directory that this script makes and
# passes to mqlmtpd as the service manager would (LISTEN_FDS), with the
# server running as the queue's user. A server that is down and a store
# that stays locked make Postfix defer, never bounce; once mended,
# everything is delivered once. Then 2,000 messages of 1-64 KiB with 8-bit
# bodies go through in eight SMTP sessions, and each one's stored body must
# be the bytes sent, after the Received: header Postfix puts on top.
#
# usage: postfix_lmtp_test.sh MQCTL MQLMTPD    (as root: Postfix needs it)
set -uo pipefail
mqctl=$1
mqlmtpd=$2
. "$(dirname "$0")/test_common.sh"
need postfix postqueue python3
wait_seconds=90  # 2,020 deliveries take their time

work=$(mktemp -d /tmp/mq-postfix-lmtp.XXXXXX)
chmod 755 "$work"
inst=$work/inst
lmtpd_pid=
lock_pid=
. "$(dirname "$0")/postfix_instance.sh"
stop_lmtpd() {
    [ -z "$lmtpd_pid" ] && return
    kill "$lmtpd_pid" 2>/dev/null
    wait "$lmtpd_pid" 2>/dev/null
    lmtpd_pid=
}
cleanup() {
    pf_stop "$work"
    stop_lmtpd
    [ -z "$lock_pid" ] || kill "$lock_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

smtp_port=$(pf_free_port)
mkdir -p "$inst"
printf '[Config]\nInstallDirectory=%s\n' "$inst" > "$inst/daduv.ini"
printf 'IN\t\tin\t\tin\r\n' > "$inst/queue.cfg"
MQ_LOG=$work/mq.log "$mqctl" --config "$inst" put IN --from a@src.test --to b@in.test /dev/null \
    >/dev/null || fail "the first put"
MQ_LOG=$work/mq.log "$mqctl" --config "$inst" delete 1 -q >/dev/null
chown -R nobody:nogroup "$inst"
mq() { MQ_LOG=$work/mq.log "$mqctl" --config "$inst" "$@"; }

# Root over the queue's user's spool is refused.
"$mqlmtpd" --config "$inst" --channel IN --listen "unix:$work/root.sock" 2>"$work/root.err"
rc=$?
[ "$rc" = 78 ] || fail "mqlmtpd as root over nobody's spool exited $rc, want 78: $(cat "$work/root.err")"

pf_write_config "$work" "$mqctl" "$inst" "$smtp_port" "\
transport_maps = inline:{ in.test=lmtp:unix:private/mqlmtpd }
local_recipient_maps =
queue_run_delay = 300s
minimal_backoff_time = 300s
maximal_backoff_time = 300s
lmtp_destination_concurrency_limit = 8" "\
lmtp      unix - - n - - lmtp"
if ! out=$(pf_start "$work" 2>&1); then
    echo "FAIL: postfix start: $out"
    exit 1
fi
sock=$work/queue/private/mqlmtpd

# start_lmtpd: the socket made as the service manager makes it (root,
# group postfix, 0660), passed to mqlmtpd run as nobody (lmtpd_socket.py).
start_lmtpd() {
    python3 "$(dirname "$0")/lmtpd_socket.py" "$sock" "$mqlmtpd" "$inst" nobody \
        --channel IN --hostname lmtp.test 2>>"$work/lmtpd.log" &
    lmtpd_pid=$!
}

# send N FIRST: N messages (numbered from FIRST) by SMTP in eight sessions,
# each to its own recipient, 1-64 KiB with 8-bit bytes; each one's bytes
# are kept in $work/sent/<recipient>.
send() {
    python3 - "$smtp_port" "$1" "$2" "$work/sent" <<'PY' || fail "sending by SMTP"
import os, random, smtplib, sys, threading
port, n, first, out = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
os.makedirs(out, exist_ok=True)
def session(k):
    rng = random.Random(k + first)
    c = smtplib.SMTP("127.0.0.1", port, timeout=60)
    for i in range(first + k, first + n, 8):
        rcpt = "r%d@in.test" % i
        head = ("From: s@src.test\nTo: %s\nDate: Wed, 9 Dec 2026 10:00:00 +0000\n"
                "Message-Id: <%d@src.test>\nSubject: 8-bit %d\n\n" % (rcpt, i, i)).encode()
        size = rng.randrange(1024, 64 * 1024)
        lines = []
        while sum(map(len, lines)) < size:
            w = rng.randrange(0, 120)
            lines.append(bytes(rng.choice(b"abc .\xe9\xe8\xff\x80\tZ") for _ in range(w)) + b"\n")
        body = head + b"".join(lines)
        with open(os.path.join(out, rcpt), "wb") as f:
            f.write(body)
        c.sendmail("s@src.test", [rcpt], body.replace(b"\n", b"\r\n"))
    c.quit()
threads = [threading.Thread(target=session, args=(k,)) for k in range(8)]
for t in threads: t.start()
for t in threads: t.join()
PY
}

# 1. The server is down: Postfix can't connect and defers.
send 20 0
wait_for "20 deferrals (server down)" at_least 'status=deferred.*private/mqlmtpd' 20

# 2. The server runs, but a writer holds the store's lock for good: the
#    store gives up after its wait, the server answers 451 4.3.0, deferred.
python3 - "$inst/spool/queue.lck" <<'PY' &
import fcntl, os, struct, sys, time
fd = os.open(sys.argv[1], os.O_RDWR)
fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi", fcntl.F_WRLCK, 0, 0, 1, 0))
time.sleep(600)
PY
lock_pid=$!
start_lmtpd
wait_for "the server's socket" test -S "$sock"
sleep 0.5
postqueue -c "$work/conf" -f
wait_for "a deferral with 451 4.3.0 (store locked)" at_least 'status=deferred.*451 4.3.0' 1
[ "$(mq list IN --count)" = 0 ] || fail "entries stored while the store was locked"
kill "$lock_pid"
wait "$lock_pid" 2>/dev/null
lock_pid=

# 3. Mended: the 20 are delivered, once.
postqueue -c "$work/conf" -f
wait_for "20 deliveries" at_least 'relay=[^ ]*private/mqlmtpd.*status=sent' 20

# 4. 2,000 more, byte-exact.
send 2000 20
wait_for "2,020 deliveries" at_least 'relay=[^ ]*private/mqlmtpd.*status=sent' 2020
[ "$(count_log 'status=bounced')" -eq 0 ] || fail "bounced: $(grep -m1 'status=bounced' "$work/maillog")"
[ "$(count_log 'relay=[^ ]*private/mqlmtpd.*status=sent')" -eq 2020 ] || fail "not 2,020 deliveries"
mq list IN --json > "$work/list.json" || fail "mqctl list"
python3 - "$work/list.json" "$work/sent" <<'PY' || fail "stored bodies differ from what was sent"
import json, os, re, sys
entries = [json.loads(l) for l in open(sys.argv[1])]
sent = {name: open(os.path.join(sys.argv[2], name), "rb").read() for name in os.listdir(sys.argv[2])}
bad = []
seen = set()
for e in entries:
    (rcpt,) = e["to"]
    body = open(e["path"], "rb").read()
    # Postfix's smtpd puts its Received: header (with continuation lines) on top.
    body = re.sub(rb"\AReceived: [^\n]*\n(?:[ \t][^\n]*\n)*", b"", body)
    if e["from"] != "s@src.test" or rcpt not in sent or body != sent[rcpt]:
        bad.append("%s (%s, %d bytes)" % (rcpt, e["from"], len(body)))
    seen.add(rcpt)
missing = set(sent) - seen
if len(entries) != len(sent) or bad or missing:
    print("entries %d, sent %d; differ: %s; missing: %s" % (
        len(entries), len(sent), bad[:5], sorted(missing)[:5]))
    sys.exit(1)
print("%d messages stored byte-exact" % len(entries))
PY

stop_lmtpd
if [ "$failures" -ne 0 ]; then
    echo "--- maillog (last lines)"; tail -20 "$work/maillog"
    echo "--- mqlmtpd"; tail -20 "$work/lmtpd.log"
    exit 1
fi
echo "postfix_lmtp_test: ok"
