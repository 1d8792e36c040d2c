#!/usr/bin/env bash
# Runs the caller built from the old interface's declarations (caller.cpp)
# against a fresh installation directory of its own, with one channel.
#
# usage: run_caller.sh CALLER_PROGRAM
set -euo pipefail
caller=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf '[Config]\nInstallDirectory=%s\n' "$dir" > "$dir/daduv.ini"
printf 'RELAY\t\tcaller\t\tout\r\n' > "$dir/queue.cfg"
MQ_CONFIG_DIR=$dir "$caller" relay
