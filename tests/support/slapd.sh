#!/usr/bin/env bash
# slapd.sh - a private LDAP server for the tests and the demonstration.
#
#   slapd.sh start DIR [WATCH_PID]
#       Writes DIR/slapd.conf, creates two empty databases in DIR with the
#       base entries below, starts slapd on ldap://127.0.0.1:<free port>/,
#       waits until it answers and prints "port=<port>" and "pid=<pid>".
#       The port, the URI and the pid are also left in DIR/slapd.port,
#       DIR/slapd.uri and DIR/slapd.pid. With WATCH_PID, a watchdog stops the
#       server as soon as that process is gone, so that a test program that
#       is killed outright leaves no server behind; when DIR holds a file
#       named "remove-when-orphaned", the watchdog then removes DIR too.
#       With TLS_DIR (slapd.sh start DIR WATCH_PID TLS_DIR), the server
#       also speaks TLS with TLS_DIR/server.pem, TLS_DIR/server.key and the
#       CA TLS_DIR/ca.pem: StartTLS on its port and TLS from the start on a
#       second one ("ldaps_port=<port>"), both on 127.0.0.1 and 127.0.0.2,
#       and it logs every operation (BIND among them) to DIR/slapd.log.
#   slapd.sh stop DIR
#       Stops the server whose pid DIR/slapd.pid records (only when that
#       process is still this directory's slapd) and waits until it is gone.
#
# The directory it serves:
#   dc=example,dc=org   rootdn cn=admin,dc=example,dc=org, password "secret";
#                       the writer: it may also write below dc=example,dc=net
#   dc=example,dc=net   rootdn cn=admin,dc=example,dc=net, password "secret"
#   cn=reader,dc=example,dc=org, password "reader": may read, never write
#   anonymous clients may read everything but passwords.
# Both naming contexts exist so that a search without a base has more than
# one context to cover. Host entries are the caller's to add.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
schema_file="$here/../../schema/zududivor.schema"
sys_schema=/etc/ldap/schema
module_dir=/usr/lib/ldap
slapd_bin=/usr/sbin/slapd

usage() {
    echo "usage: $0 start DIR [WATCH_PID [TLS_DIR]] | stop DIR" >&2
    exit 2
}

# is_our_slapd PID DIR - true when PID is a live slapd serving DIR. Guards
# every kill against a recycled pid.
is_our_slapd() {
    local pid=$1 dir=$2 cmdline state
    [[ "$pid" =~ ^[0-9]+$ ]] || return 1
    [ -r "/proc/$pid/cmdline" ] || return 1
    cmdline=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null) || return 1
    state=$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null) || return 1
    [ "$state" != Z ] || return 1
    [[ "$cmdline" == *slapd*"$dir/slapd.conf"* ]]
}

# stop_pid PID DIR - SIGTERM, then SIGKILL after 5 s; waits until gone.
stop_pid() {
    local pid=$1 dir=$2 i
    is_our_slapd "$pid" "$dir" || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    for ((i = 0; i < 100; i++)); do
        is_our_slapd "$pid" "$dir" || return 0
        sleep 0.05
    done
    kill -KILL "$pid" 2>/dev/null || true
    for ((i = 0; i < 100; i++)); do
        is_our_slapd "$pid" "$dir" || return 0
        sleep 0.05
    done
    echo "slapd.sh: slapd $pid did not stop" >&2
    return 1
}

write_conf() {
    local dir=$1 tls=${2:-} tls_conf=""
    if [ -n "$tls" ]; then
        tls_conf="TLSCACertificateFile $tls/ca.pem
TLSCertificateFile $tls/server.pem
TLSCertificateKeyFile $tls/server.key"
    fi
    cat >"$dir/slapd.conf" <<EOF
# Written by tests/support/slapd.sh; rewritten on every start.
$tls_conf
include         $sys_schema/core.schema
include         $sys_schema/cosine.schema
include         $schema_file

pidfile         $dir/slapd.run.pid
argsfile        $dir/slapd.args
modulepath      $module_dir
moduleload      back_mdb
loglevel        stats

access to dn.base="" by * read
access to dn.base="cn=Subschema" by * read
access to attrs=userPassword
        by self read
        by anonymous auth
        by * none
access to *
        by dn.exact="cn=admin,dc=example,dc=org" write
        by * read

database        mdb
suffix          "dc=example,dc=org"
rootdn          "cn=admin,dc=example,dc=org"
rootpw          secret
directory       $dir/db-org
maxsize         16777216
dbnosync
index           objectClass eq
index           host eq

database        mdb
suffix          "dc=example,dc=net"
rootdn          "cn=admin,dc=example,dc=net"
rootpw          secret
directory       $dir/db-net
maxsize         16777216
dbnosync
index           objectClass eq
index           host eq
EOF
    cat >"$dir/base-org.ldif" <<'EOF'
dn: dc=example,dc=org
objectClass: domain
dc: example

dn: cn=reader,dc=example,dc=org
objectClass: organizationalRole
objectClass: simpleSecurityObject
cn: reader
userPassword: reader
EOF
    cat >"$dir/base-net.ldif" <<'EOF'
dn: dc=example,dc=net
objectClass: domain
dc: example
EOF
}

# answers URI - true when the server answers a read of its root entry.
answers() {
    ldapsearch -x -LLL -H "$1" -o nettimeout=1 -l 1 -s base -b "" namingContexts \
        >/dev/null 2>&1
}

start() {
    local dir=$1 watch=${2:-} tls=${3:-}
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    if [ -f "$dir/slapd.pid" ] && is_our_slapd "$(cat "$dir/slapd.pid")" "$dir"; then
        echo "slapd.sh: a server already runs for $dir" >&2
        return 1
    fi
    rm -rf "$dir/db-org" "$dir/db-net"
    mkdir -p "$dir/db-org" "$dir/db-net"
    write_conf "$dir" "$tls"
    "${slapd_bin%slapd}slapadd" -q -f "$dir/slapd.conf" -b dc=example,dc=org \
        -l "$dir/base-org.ldif" >"$dir/slapadd.log" 2>&1
    "${slapd_bin%slapd}slapadd" -q -f "$dir/slapd.conf" -b dc=example,dc=net \
        -l "$dir/base-net.ldif" >>"$dir/slapadd.log" 2>&1

    # Ports are drawn below the kernel's range for outgoing connections, so
    # that no client socket of a test running beside this one holds the
    # port. One may still be taken between the choice and slapd's bind:
    # slapd then exits without a word at debug level 0, so any early exit
    # is tried again on another port.
    local low high attempt port uri pid i ldaps_port="" listen debug=0
    read -r low high </proc/sys/net/ipv4/ip_local_port_range || low=32768
    [ "$low" -gt 11024 ] || low=32768
    for ((attempt = 0; attempt < 20; attempt++)); do
        port=$((1024 + (RANDOM * 32768 + RANDOM) % (low - 1024)))
        uri="ldap://127.0.0.1:$port/"
        listen=$uri
        if [ -n "$tls" ]; then
            ldaps_port=$((1024 + (RANDOM * 32768 + RANDOM) % (low - 1024)))
            listen="$uri ldap://127.0.0.2:$port/ ldaps://127.0.0.1:$ldaps_port/"
            listen="$listen ldaps://127.0.0.2:$ldaps_port/"
            debug=256  # stats: connections and operations, to slapd.log
        fi
        # -d keeps slapd in the foreground, so $! is the server itself.
        "$slapd_bin" -d "$debug" -h "$listen" -f "$dir/slapd.conf" \
            </dev/null >"$dir/slapd.log" 2>&1 &
        pid=$!
        for ((i = 0; i < 200; i++)); do
            if ! kill -0 "$pid" 2>/dev/null; then
                break
            fi
            if answers "$uri"; then
                echo "$pid" >"$dir/slapd.pid"
                echo "$port" >"$dir/slapd.port"
                echo "$uri" >"$dir/slapd.uri"
                if [ -n "$watch" ]; then
                    start_watchdog "$dir" "$pid" "$watch"
                fi
                echo "port=$port"
                echo "pid=$pid"
                [ -z "$ldaps_port" ] || echo "ldaps_port=$ldaps_port"
                return 0
            fi
            sleep 0.02
        done
        if kill -0 "$pid" 2>/dev/null; then
            kill -KILL "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
            echo "slapd.sh: slapd did not answer on $uri" >&2
            cat "$dir/slapd.log" >&2
            return 1
        fi
        wait "$pid" 2>/dev/null || true
    done
    echo "slapd.sh: slapd failed to start" >&2
    cat "$dir/slapd.log" >&2
    return 1
}

# start_watchdog DIR SLAPD_PID WATCH_PID - stops the server once the watched
# process has gone (or turned zombie); ends by itself when the server has.
start_watchdog() {
    local dir=$1 pid=$2 watch=$3
    (
        trap '' HUP INT
        alive() {
            local state
            state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
            [ -n "$state" ] && [ "$state" != Z ]
        }
        while alive "$watch" && is_our_slapd "$pid" "$dir"; do
            sleep 0.3
        done
        alive "$watch" && exit 0  # stopped in the ordinary way
        stop_pid "$pid" "$dir"
        if [ -f "$dir/remove-when-orphaned" ]; then
            rm -rf "$dir"
        fi
    ) </dev/null >/dev/null 2>&1 &
    echo $! >"$dir/watchdog.pid"
    disown $! 2>/dev/null || true
}

stop() {
    local dir=$1 pid
    dir=$(cd "$dir" && pwd)
    [ -f "$dir/slapd.pid" ] || return 0
    pid=$(cat "$dir/slapd.pid")
    stop_pid "$pid" "$dir"
    rm -f "$dir/slapd.pid"
}

[ $# -ge 2 ] || usage
case "$1" in
start) start "$2" "${3:-}" "${4:-}" ;;
stop) stop "$2" ;;
*) usage ;;
esac
