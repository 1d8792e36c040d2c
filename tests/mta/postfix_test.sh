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
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
for tool in postfix postqueue sendmail smtp-source smtp-sink python3; do
    command -v $tool >/dev/null || PATH=$PATH:/usr/sbin
    command -v $tool >/dev/null || { echo "FAIL: $tool is missing (scripts/deps.sh installs it)"; exit 1; }
done
if [ "$(id -u)" -ne 0 ]; then
    echo "FAIL: run as root: a private Postfix instance needs it"
    exit 1
fi

work=$(mktemp -d /tmp/mq-postfix.XXXXXX)
chmod 755 "$work"
conf=$work/conf
inst=$work/inst
sink_pid=
cleanup() {
    postfix -c "$conf" stop >/dev/null 2>&1
    [ -z "$sink_pid" ] || kill "$sink_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
smtp_port=$(free_port)
sink_port=$(free_port)
while [ "$sink_port" = "$smtp_port" ]; do sink_port=$(free_port); done

# The queue's installation; the pipe runs mqctl as nobody, who owns it.
mkdir -p "$inst" "$conf" "$work/sink"
printf '[Config]\nInstallDirectory=%s\n' "$inst" > "$inst/daduv.ini"
printf 'OUT\t\tout\t\tout\r\n' > "$inst/queue.cfg"   # IN is missing at first
chown -R nobody:nogroup "$inst"
chmod 777 "$work/sink"
mq() { MQ_LOG=$work/mq.log "$mqctl" --config "$inst" "$@"; }
# mqctl run here as root may make files the pipe's user must write.
give_back() { chown -R nobody:nogroup "$inst"; }

cat > "$conf/main.cf" <<EOF
compatibility_level = 3.6
queue_directory = $work/queue
data_directory = $work/data
meta_directory = /etc/postfix
mail_owner = postfix
setgid_group = postdrop
myhostname = mx.mq.test
mydomain = mq.test
myorigin = mq.test
mydestination =
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
relay_domains = in.test
transport_maps = inline:{ in.test=mq: }
mq_destination_recipient_limit = 1
relayhost = [127.0.0.1]:$sink_port
smtp_dns_support_level = disabled
alias_maps =
local_recipient_maps =
smtpd_relay_restrictions = permit_mynetworks, reject_unauth_destination
maillog_file_prefixes = $work
maillog_file = $work/maillog
queue_run_delay = 300s
minimal_backoff_time = 300s
maximal_backoff_time = 600s
EOF
cat > "$conf/master.cf" <<EOF
127.0.0.1:$smtp_port inet n - n - - smtpd
pickup    unix n - n 60 1 pickup
cleanup   unix n - n - 0 cleanup
qmgr      unix n - n 300 1 qmgr
rewrite   unix - - n - - trivial-rewrite
bounce    unix - - n - 0 bounce
defer     unix - - n - 0 bounce
trace     unix - - n - 0 bounce
verify    unix - - n - 1 verify
flush     unix n - n 1000? 0 flush
proxymap  unix - - n - - proxymap
smtp      unix - - n - - smtp
relay     unix - - n - - smtp
showq     unix n - n - - showq
error     unix - - n - - error
retry     unix - - n - - error
discard   unix - - n - - discard
anvil     unix - - n - 1 anvil
scache    unix - - n - 1 scache
postlog   unix-dgram n - n - 1 postlogd
mq        unix - n n - - pipe
  flags=q null_sender= user=nobody argv=$mqctl --config $inst put IN --from \${sender} --to \${recipient} -
EOF
export MAIL_CONFIG=$conf   # sendmail and postqueue use this instance

mkdir -p "$work/queue" "$work/data"
chown postfix "$work/data"
if ! out=$(postfix -c "$conf" start 2>&1); then
    echo "FAIL: postfix start: $out"
    exit 1
fi
smtp-sink -u nobody -d "$work/sink/%H%M%S." "127.0.0.1:$sink_port" 16 &
sink_pid=$!

# Waits up to 60 s for a condition (a command line); fails with what.
wait_for() {
    local what=$1
    shift
    for _ in $(seq 600); do
        "$@" && return 0
        sleep 0.1
    done
    fail "timed out waiting for $what"
    return 1
}
count_log() { grep -c "$1" "$work/maillog" 2>/dev/null || true; }
at_least() { [ "$(count_log "$1")" -ge "$2" ]; }

# 1. Six messages for the queue: five by SMTP, one with the null sender by
#    sendmail. IN is not in queue.cfg: each put exits 75, Postfix defers.
smtp-source -s 2 -m 5 -l 2048 -f sender@src.test -t rcpt@in.test "127.0.0.1:$smtp_port" ||
    fail "smtp-source"
printf 'Subject: bounce\n\nnull sender\n' | sendmail -i -f '<>' bounced@in.test || fail "sendmail"
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
for id in $(mq list IN --ids); do
    mq show "$id" --json --body | python3 -c '
import base64, json, sys
o = json.loads(sys.stdin.read())
body = base64.b64decode(o["body_base64"]) if "body_base64" in o else o["body"].encode()
sys.stdout.buffer.write(body)' > "$work/body"
    from=$(mq show "$id" --json | python3 -c 'import json, sys; print(json.load(sys.stdin)["from"])')
    mq put OUT --from "$from" --to "away-$id@out.test" "$work/body" >/dev/null || fail "put OUT"
    mq delete "$id" -q >/dev/null || fail "delete $id"
done
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

[ "$failures" -eq 0 ] || {
    echo "--- maillog"
    tail -40 "$work/maillog"
    exit 1
}
echo "ok: 6 deferred twice, then queued once; 6 delivered once through sendmail"
