#!/usr/bin/env bash
# What mqctl ships with: the manual pages render without a warning and
# mqctl(8) names every command; the bash completion offers commands, a
# command's options and the channels of the installation in use; `mqctl
# metrics` passes promtool's check of the exposition format.
#
# Usage: shipped_test.sh SOURCE_DIR MQCTL PROMTOOL
set -uo pipefail
src=$1
mqctl=$2
promtool=$3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Manual pages: groff's warnings (all of them, -ww) and mandoc's (its lint
# at level warning and above) are faults.
for page in "$src"/man/*.[0-9]; do
    head -c 4 "$page" | grep -q '^\.so ' && continue  # a link to another page
    warnings=$(groff -man -t -Tutf8 -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
    if command -v mandoc >/dev/null; then
        warnings=$(mandoc -T lint -W warning "$page" 2>&1)
        [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
    else
        fail "no mandoc (scripts/deps.sh installs it)"
    fi
done
commands=$("$mqctl" help | awk '/^Commands:/ { on = 1; next } /^$/ { on = 0 } on { print $1 }' | sort -u)
[ -n "$commands" ] || fail "mqctl help lists no commands"
# Each command opens a paragraph of its own (.TP, then its synopsis line).
described=$(awk 'prev ~ /^\.(TP|TQ)/ { w = $2; gsub(/"/, "", w); print w } { prev = $0 }' \
    "$src/man/mqctl.8" | sort -u)
for c in $commands; do
    case " $(echo $described) " in *" $c "*) ;; *) fail "mqctl.8 does not describe $c" ;; esac
done

# Completion, against an installation whose channel file lists two channels.
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf '[Config]\nInstallDirectory=%s\n' "$dir" > "$dir/daduv.ini"
printf 'RELAY\t\trelay\t\tout\r\nLOCAL\t\tlocal\t\tin\r\n' > "$dir/queue.cfg"
export MQ_CONFIG_DIR=/nonexistent  # only --config may find it
source "$src/tools/mqctl/mqctl.bash"
complete_line() {  # the words of a command line, the last one being completed
    COMP_WORDS=("$mqctl" "$@")
    COMP_CWORD=$#
    COMPREPLY=()
    _mqctl
    [ ${#COMPREPLY[@]} -eq 0 ] || printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
}
expect() {  # expect WANT WORDS...: the offered words, sorted, space-separated
    local want=$1
    shift
    local got
    got=$(complete_line "$@")
    [ "$got" = "$want" ] || fail "completing '$*': got '$got', want '$want'"
}
expect "list " li
expect "add del list " channel ""
expect "--held --help " list --he
expect "LOCAL RELAY " --config "$dir" get ""
expect "RELAY " --config="$dir" list --held R
expect "LOCAL " --config "$dir" channel del L
expect "LOCAL RELAY " --config "$dir" delete ALL ""
expect "" --config "$dir" delete 12 ""
expect "domain " summary --by d
got=$(complete_line "")
for c in channel check metrics monitor put; do
    case " $got " in *" $c "*) ;; *) fail "no command $c offered: $got" ;; esac
done

# Metrics, for registered channels with and without entries, in every state
# the queue knows.
# promtool is an amd64 program: where it can't run (the i386 root), the
# amd64 run checks the page.
if [ -x "$promtool" ] && "$promtool" --version >/dev/null 2>&1; then
    for n in 1 2; do
        echo body | "$mqctl" --config "$dir" put RELAY --from a@example.org --to b@example.org \
            >/dev/null || fail "mqctl put"
    done
    "$mqctl" --config "$dir" hold 1 >/dev/null || fail "mqctl hold"
    # Channels named by a byte that is no UTF-8 and by a C1 control (NEL):
    # the page must stay valid for the scraper all the same.
    printf '\303\t\tbyte\t\tout\r\nN\302\205L\t\tnel\t\tout\r\n' >>"$dir/queue.cfg"
    metrics=$("$mqctl" --config "$dir" metrics) || fail "mqctl metrics failed"
    grep -q '^mqtoolkit_metrics_success 1$' <<<"$metrics" || fail "metrics: no success gauge"
    grep -q 'channel="\\\\xc3"' <<<"$metrics" || fail "metrics: channel 0xC3 not escaped: $metrics"
    grep -q 'state="held"} 1$' <<<"$metrics" || fail "metrics count no held entry: $metrics"
    verdict=$("$promtool" check metrics <<<"$metrics" 2>&1) || fail "promtool: $verdict"
else
    echo "SKIP: no promtool that runs here at $promtool (scripts/deps.sh --promtool fetches it)"
fi

[ "$failures" -eq 0 ] || exit 1
echo "shipped: ok"
