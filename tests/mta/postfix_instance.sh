# postfix_instance.sh - a private Postfix instance in front of the queue,
# sourced by tests/mta/postfix_test.sh and bench/mta.sh.
#
# The instance lives in one work directory (its configuration in
# $work/conf, its queue, data and log beside it), listens on 127.0.0.1
# only, and hands mail for in.test to `mqctl put IN` through its pipe(8)
# transport, one process a message, run as nobody:
#
#   pf_write_config WORK MQCTL INST PORT [MAIN_EXTRA [MASTER_EXTRA]]
#       writes main.cf and master.cf; MAIN_EXTRA and MASTER_EXTRA are
#       appended to them (the caller's own destinations and services)
#   pf_start WORK      starts it (returns non-zero, Postfix's words on
#                      standard error, when it doesn't start)
#   pf_stop WORK       stops it; harmless when it isn't running
#   pf_free_port       prints a free TCP port on 127.0.0.1
#
# Needs root (Postfix's processes change to their own users) and Debian's
# postfix package (scripts/deps.sh installs it).

pf_free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

pf_write_config() {
    local work=$1 mqctl=$2 inst=$3 port=$4 main_extra=${5:-} master_extra=${6:-}
    mkdir -p "$work/conf" "$work/queue" "$work/data"
    chown postfix "$work/data"
    cat > "$work/conf/main.cf" <<EOF
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
alias_maps =
smtpd_relay_restrictions = permit_mynetworks, reject_unauth_destination
maillog_file_prefixes = $work
maillog_file = $work/maillog
$main_extra
EOF
    # The pipe: null_sender= passes the null sender as an empty argument
    # (queued as <>), flags=q quotes addresses as the queue stores them.
    cat > "$work/conf/master.cf" <<EOF
127.0.0.1:$port inet n - n - - smtpd
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
showq     unix n - n - - showq
error     unix - - n - - error
retry     unix - - n - - error
discard   unix - - n - - discard
anvil     unix - - n - 1 anvil
scache    unix - - n - 1 scache
postlog   unix-dgram n - n - 1 postlogd
mq        unix - n n - - pipe
  flags=q null_sender= user=nobody argv=$mqctl --config $inst put IN --from \${sender} --to \${recipient} -
$master_extra
EOF
}

pf_start() {
    postfix -c "$1/conf" start >/dev/null
}

pf_stop() {
    postfix -c "$1/conf" stop >/dev/null 2>&1 || true
}
