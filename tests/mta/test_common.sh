# test_common.sh - what the Postfix tests share; sourced by postfix_test.sh
# and postfix_lmtp_test.sh, which keep their work directory in $work:
#
#   need TOOL...         exits 1 unless run as root with each TOOL on PATH
#                        (/usr/sbin added when one is only there)
#   fail TEXT            says FAIL: TEXT and counts it in $failures
#   wait_for WHAT CMD... runs CMD every 0.1 s until it succeeds; after
#                        $wait_seconds (60 unless set) fails WHAT
#   count_log RE         how many lines of $work/maillog match RE
#   at_least RE N        whether N or more do

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

need() {
    for tool in "$@"; do
        command -v "$tool" >/dev/null || PATH=$PATH:/usr/sbin
        command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/deps.sh installs it)"; exit 1; }
    done
    if [ "$(id -u)" -ne 0 ]; then
        echo "FAIL: run as root: a private Postfix instance needs it"
        exit 1
    fi
}

wait_for() {
    local what=$1
    shift
    for _ in $(seq $((${wait_seconds:-60} * 10))); do
        "$@" && return 0
        sleep 0.1
    done
    fail "timed out waiting for $what"
    return 1
}
count_log() { grep -c "$1" "$work/maillog" 2>/dev/null || true; }
at_least() { [ "$(count_log "$1")" -ge "$2" ]; }
