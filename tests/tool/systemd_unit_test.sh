#!/bin/sh
# The delivery service's systemd unit: systemd-analyze verify passes on an
# instance of it (with the built mqctl in the place of the installed one),
# and it runs as the queue's user, restarts on failure, reads its command
# from /etc/default and is not enabled by the package.
# Usage: systemd_unit_test.sh SOURCE_DIR MQCTL
set -u
src=$1
mqctl=$2
unit=$src/packaging/systemd/mqctl-deliver@.service
fail=0
for want in '^User=mqtoolkit$' '^Group=mqtoolkit$' '^Restart=on-failure$' \
            '^EnvironmentFile=/etc/default/mqctl-deliver-%i$' '^KillMode=mixed$' \
            '^ExecStart=/usr/bin/mqctl deliver %I --follow \$OPTIONS -- \$COMMAND$'; do
    if ! grep -q "$want" "$unit"; then
        echo "FAIL: the unit has no line $want"
        fail=1
    fi
done
if ! grep -q '^lib/systemd/system/mqctl-deliver@.service$' "$src/debian/mqctl.install"; then
    echo "FAIL: debian/mqctl.install does not ship the unit"
    fail=1
fi
if ! command -v systemd-analyze >/dev/null; then
    echo "SKIP: systemd-analyze is not installed (scripts/deps.sh installs systemd)"
    exit "$fail"
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sed "s|/usr/bin/mqctl|$mqctl|" "$unit" > "$dir/mqctl-deliver@.service"
if ! out=$(cd "$dir" && systemd-analyze verify --man=no ./mqctl-deliver@OUT.service 2>&1); then
    case $out in
        *"Failed to initialize"*|*"Failed to setup"*|*"Operation not permitted"*)
            echo "SKIP: systemd-analyze can't run here: $out"
            exit "$fail";;
    esac
    echo "FAIL: systemd-analyze verify: $out"
    fail=1
fi
# A unit that is wrong is found (the check is not one that always passes).
sed 's|^ExecStart=.*|ExecStart=mqctl deliver|' "$dir/mqctl-deliver@.service" > "$dir/x" &&
    mkdir "$dir/bad" && mv "$dir/x" "$dir/bad/mqctl-deliver@.service"
if (cd "$dir/bad" && systemd-analyze verify --man=no ./mqctl-deliver@OUT.service >/dev/null 2>&1); then
    echo "FAIL: systemd-analyze verify passed a unit with a relative command"
    fail=1
fi
[ "$fail" = 0 ] && echo "ok: mqctl-deliver@.service"
exit "$fail"
