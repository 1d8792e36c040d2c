#!/usr/bin/env bash
# The queue behind a real mail system: a private Postfix instance (its own
# configuration directory, queue directory and ports on 127.0.0.1) hands the
# messages it accepts to `mqctl put` through its pipe(8) transport, and
# `mqctl deliver` hands them back to its sendmail, which relays them to an
# smtp-sink. Faults of the queue's set-up (the channel missing from
# queue.cfg, daduv.ini unreadable) must make Postfix defer, never bounce;
# once mended, every message is queued once; and deliver hands each one on
# exactly once.
#
# usage: postfix_test.sh MQCTL     (as root: Postfix's instance needs it)
set -uo pipefail
mqctl=$1
. "$(dirname "$0")/test_common.sh"
need postfix postqueue sendmail smtp-source smtp-sink python3

work=$(mktemp -d /tmp/mq-postfix.XXXXXX)
chmod 755 "$work"
inst=$work/inst
sink_pid=
. "$(dirname "$0")/postfix_instance.sh"
cleanup() {
    pf_stop "$work"
    [ -z "$sink_pid" ] || kill "$sink_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

smtp_port=$(pf_free_port)
sink_port=$(pf_free_port)
while [ "$sink_port" = "$smtp_port" ]; do sink_port=$(pf_free_port); done

# The queue's installation; the pipe runs mqctl as nobody, who owns it.
mkdir -p "$inst" "$work/sink"
printf '[Config]\nInstallDirectory=%s\n' "$inst" > "$inst/daduv.ini"
printf 'OUT\t\tout\t\tout\r\n' > "$inst/queue.cfg"   # IN is missing at first
chown -R nobody:nogroup "$inst"
chmod 777 "$work/sink"
mq() { MQ_LOG=$work/mq.log "$mqctl" --config "$inst" "$@"; }
# mqctl run here as root may make files the pipe's user must write.
give_back() { chown -R nobody:nogroup "$inst"; }

# Mail for in.test goes to the queue's pipe; everything else (what deliver
# hands to sendmail) to the smtp-sink. Deferred mail waits for postqueue -f.
pf_write_config "$work" "$mqctl" "$inst" "$smtp_port" "\
relayhost = [127.0.0.1]:$sink_port
smtp_dns_support_level = disabled
local_recipient_maps =
queue_run_delay = 300s
minimal_backoff_time = 300s
maximal_backoff_time = 600s" "\
smtp      unix - - n - - smtp
relay     unix - - n - - smtp"
export MAIL_CONFIG=$work/conf   # sendmail and postqueue use this instance

if ! out=$(pf_start "$work" 2>&1); then
    echo "FAIL: postfix start: $out"
    exit 1
fi
smtp-sink -u nobody -d "$work/sink/%H%M%S." "127.0.0.1:$sink_port" 16 &
sink_pid=$!

# 1. Six messages for the queue: five by SMTP, one with the null sender by
#    sendmail. IN is not in queue.cfg: each put exits 75, Postfix defers.
smtp-source -s 2 -m 5 -l 2048 -f sender@src.test -t rcpt@in.test "127.0.0.1:$smtp_port" ||
    fail "smtp-source"
# The null sender's message has an 8-bit body (Latin-1 bytes, no MIME):
# every byte must come out as it went in. (Its header is complete, so that
# Postfix's cleanup adds none on the way out.)
printf '%s\n' 'From: postmaster@src.test' 'Date: Tue, 8 Dec 2026 10:00:00 +0000' \
       'Message-Id: <8bit.1@src.test>' 'Subject: bounce' '' |
    cat - <(printf 'null sender, caf\351 cr\350me\n\377\200 end\n') |
    sendmail -i -f '<>' bounced@in.test || fail "sendmail"
wait_for "six deferrals (channel missing)" at_least 'relay=mq.*status=deferred' 6
grep -q 'status=deferred.*channel IN is not in queue.cfg' "$work/maillog" ||
    fail "the deferral does not name its cause: $(grep 'relay=mq' "$work/maillog" | head -1)"

# 2. The channel is registered, but daduv.ini can't be read by the pipe's
#    user: still deferred, with the file named.
printf 'OUT\t\tout\t\tout\r\nIN\t\tin\t\tin\r\n' > "$inst/queue.cfg"
give_back
chown root:root "$inst/daduv.ini"
chmod 600 "$inst/daduv.ini"
postqueue -f
wait_for "six more deferrals (daduv.ini unreadable)" at_least 'relay=mq.*status=deferred' 12
grep -q 'status=deferred.*daduv.ini' "$work/maillog" ||
    fail "the deferral does not name daduv.ini: $(grep 'relay=mq.*deferred' "$work/maillog" | tail -1)"

# 3. Mended: every message is queued, once; none bounced.
chmod 644 "$inst/daduv.ini"
postqueue -f
wait_for "six deliveries to the queue" at_least 'relay=mq.*status=sent' 6
[ "$(count_log 'status=bounced')" -eq 0 ] || fail "bounced: $(grep 'status=bounced' "$work/maillog")"
[ "$(count_log 'relay=mq.*status=sent')" -eq 6 ] || fail "not six deliveries to the queue"
queued=$(mq list IN --count)
[ "$queued" = 6 ] || fail "IN holds $queued entries, want 6"
senders=$(mq list IN --json | python3 -c '
import json, sys
print(" ".join(sorted(json.loads(l)["from"] for l in sys.stdin)))')
[ "$senders" = "<> sender@src.test sender@src.test sender@src.test sender@src.test sender@src.test" ] ||
    fail "senders: $senders"

# 4. The way out: the queued messages moved to OUT, then delivered through
#    sendmail to the smtp-sink, each exactly once.
mkdir "$work/in"
for id in $(mq list IN --ids); do
    mq show "$id" --json --body | python3 -c '
import base64, json, sys
o = json.loads(sys.stdin.read())
body = base64.b64decode(o["body_base64"]) if "body_base64" in o else o["body"].encode()
sys.stdout.buffer.write(body)' > "$work/in/$id"
    from=$(mq show "$id" --json | python3 -c 'import json, sys; print(json.load(sys.stdin)["from"])')
    mq put OUT --from "$from" --to "away-$id@out.test" "$work/in/$id" >/dev/null || fail "put OUT"
    mq delete "$id" -q >/dev/null || fail "delete $id"
done
grep -q "$(printf 'caf\351 cr\350me')" "$work"/in/* ||
    fail "the 8-bit body did not reach the queue as it was sent"
give_back
mq deliver OUT -- sendmail -i -f '{sender}' -- '{recipients}' > "$work/delivered" ||
    fail "deliver exited $?"
[ "$(wc -l < "$work/delivered")" -eq 6 ] || fail "deliver: $(cat "$work/delivered")"
[ "$(mq list OUT --count)" = 0 ] || fail "OUT is not empty after deliver"
mq deliver OUT -- sendmail -i -f '{sender}' -- '{recipients}' > "$work/again" || fail "second deliver"
[ ! -s "$work/again" ] || fail "the second deliver handed on: $(cat "$work/again")"
wait_for "six messages at the sink" sh -c "[ \$(ls '$work/sink' | wc -l) -ge 6 ]"
sleep 1
got=$(ls "$work/sink" | wc -l)
[ "$got" -eq 6 ] || fail "the sink got $got messages, want 6"
[ "$(count_log 'status=bounced')" -eq 0 ] || fail "bounced: $(grep 'status=bounced' "$work/maillog")"
# What the pipe handed the queue is what the sink got, byte for byte: the
# sink's copy, less what the way out adds (smtp-sink's X- lines, its
# Received: line and the one of the Postfix that took the message from
# sendmail in front, smtp-sink's empty line at the end; SMTP's CR LF line
# ends read as LF), is one of the bodies read from IN, and each arrived once.
out=$(python3 - "$work/in" "$work/sink" <<'EOF'
import os, sys
want = {}
for name in os.listdir(sys.argv[1]):
    with open(os.path.join(sys.argv[1], name), "rb") as f:
        want[f.read()] = name
seen = set()
for name in sorted(os.listdir(sys.argv[2])):
    with open(os.path.join(sys.argv[2], name), "rb") as f:
        data = f.read().replace(b"\r\n", b"\n")
    lines = data.split(b"\n")
    i = 0
    while i < len(lines) and lines[i].startswith(b"X-"):
        i += 1
    for _ in range(2):
        if i < len(lines) and lines[i].startswith(b"Received: "):
            i += 1
            while i < len(lines) and lines[i][:1] in (b" ", b"\t"):
                i += 1
    got = b"\n".join(lines[i:])
    if got.endswith(b"\n\n"):
        got = got[:-1]  # the empty line that ends smtp-sink's copy
    if got not in want:
        print("sink file %s matches no body read from IN; it begins %r" % (name, got[:300]))
    elif want[got] in seen:
        print("body of entry %s arrived twice" % want[got])
    seen.add(want.get(got))
missing = set(want.values()) - seen
if missing:
    print("bodies of entries %s never arrived" % " ".join(sorted(missing)))
EOF
)
[ -z "$out" ] || fail "bytes changed on the way: $out"

[ "$failures" -eq 0 ] || {
    echo "--- maillog"
    tail -40 "$work/maillog"
    exit 1
}
# 5. A relay outage: the delivery service (deliver --follow) hands OUT's mail
#    straight to the smtp-sink over SMTP. The sink refuses (421 at RCPT):
#    every message is deferred, on the queue's schedule (a clock of
#    seconds here), none set aside; then the sink accepts again and every
#    message arrives once.
cat > "$work/relay.py" <<'PY'
import smtplib, sys
sender, port, rcpts = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
data = sys.stdin.buffer.read()
try:
    with smtplib.SMTP("127.0.0.1", port, timeout=10) as s:
        s.sendmail("" if sender == "<>" else sender, rcpts, data)
except smtplib.SMTPRecipientsRefused as e:
    code = min(c for c, _ in e.recipients.values())
    print(f"{code} recipients refused", file=sys.stderr)
    sys.exit(75 if code < 500 else 69)
except smtplib.SMTPResponseException as e:
    print(f"{e.smtp_code} {e.smtp_error!r}", file=sys.stderr)
    sys.exit(75 if e.smtp_code < 500 else 69)
except (OSError, smtplib.SMTPException) as e:
    print(f"relay unreachable: {e}", file=sys.stderr)
    sys.exit(75)
PY
printf 'MinimalBackoff=1s\nMaximalBackoff=2s\n' >> "$inst/daduv.ini"
kill "$sink_pid"
wait "$sink_pid" 2>/dev/null
mkdir -p "$work/sink2"
chmod 777 "$work/sink2"
smtp-sink -u nobody -Q RCPT "127.0.0.1:$sink_port" 16 &
sink_pid=$!
for n in 1 2 3 4; do
    printf 'Subject: outage %s\n\nmessage %s\n' "$n" "$n" > "$work/outage-$n"
    mq put OUT --from sender@src.test --to "after-$n@out.test" "$work/outage-$n" >/dev/null ||
        fail "put OUT $n"
done
MQ_LOG=$work/mq.log "$mqctl" --config "$inst" deliver OUT --follow --concurrency 2 -- \
    python3 "$work/relay.py" '{sender}' "$sink_port" '{recipients}' 2> "$work/follow.log" &
follow_pid=$!
deferrals() { [ "$(grep -c 'status=deferred' "$work/follow.log")" -ge "$1" ]; }
wait_for "eight deferrals while the relay refuses" deferrals 8
grep -q 'status=deferred attempt=2 .*reason="exit 75: 421' "$work/follow.log" ||
    fail "no second attempt deferred with the relay's words: $(head -3 "$work/follow.log")"
[ "$(mq list OUT --failed --count)" = 0 ] || fail "set aside during the outage"
[ "$(mq list OUT --count)" = 4 ] || fail "OUT holds $(mq list OUT --count) during the outage"
kill "$sink_pid"
wait "$sink_pid" 2>/dev/null
smtp-sink -u nobody -d "$work/sink2/%H%M%S." "127.0.0.1:$sink_port" 16 &
sink_pid=$!
sent() { [ "$(grep -c 'status=sent' "$work/follow.log")" -ge 4 ]; }
wait_for "four messages sent after the outage" sent
kill -TERM "$follow_pid"
wait "$follow_pid"
rc=$?
[ "$rc" = 0 ] || fail "the delivery service exited $rc on SIGTERM"
sleep 1
[ "$(mq list OUT --count)" = 0 ] || fail "OUT is not empty after the outage"
[ "$(grep -c 'status=failed' "$work/follow.log")" = 0 ] || fail "set aside: $(grep failed "$work/follow.log")"
[ "$(grep -c 'status=sent' "$work/follow.log")" = 4 ] || fail "not four sent: $(cat "$work/follow.log")"
for n in 1 2 3 4; do
    copies=$(grep -lx "message $n" "$work"/sink2/* 2>/dev/null | wc -l)
    [ "$copies" = 1 ] || fail "message $n reached the sink $copies times"
done
give_back

echo "ok: 6 deferred twice, then queued once; 6 delivered once through sendmail, byte for byte;" \
     "4 deferred through a relay outage, then delivered once each"
