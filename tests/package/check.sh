#!/usr/bin/env bash
# Builds the Debian packages (packaging/build-debs.sh), checks what each one
# holds and that apt would install them on this system (their dependencies
# resolve), installs them with dpkg into a scratch root with a package
# database of its own and runs them from there: mqctl check on an
# installation without a directory server, a put and a get with the
# installed mqctl, and the README's put and get programs built against the
# -dev package. Then removes mqctl (its conffile stays) and purges it (the
# conffile goes).
#
# usage: check.sh SOURCE_DIR WORK_DIR
set -euo pipefail
src=$(cd "$1" && pwd)
work=$2
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
fail() { echo "package check: $*" >&2; exit 1; }

mapfile -t debs < <("$src/packaging/build-debs.sh" "$src" "$work/debs")
[ ${#debs[@]} -eq 3 ] || fail "want 3 packages, got: ${debs[*]}"
ma=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
deb_of() { printf '%s\n' "${debs[@]}" | grep "/$1_"; }

# What each package holds.
holds() {  # holds PACKAGE PATH...
    local listing
    listing=$(dpkg-deb -c "$(deb_of "$1")" | awk '{ print $6 }')
    shift
    for p in "$@"; do
        grep -qx "\./$p" <<<"$listing" || fail "$p missing from the package"
    done
}
holds libmqtoolkit1 usr/lib/$ma/libmqtoolkit.so.1 usr/lib/$ma/libmqapi.so.1 \
    usr/lib/$ma/libldap32.so.1 usr/lib/$ma/liblibcommon.so.1 usr/lib/$ma/liblogapi.so.1
holds libmqtoolkit-dev usr/include/mqtoolkit/mqapi.h usr/lib/$ma/libmqtoolkit.so \
    usr/lib/$ma/pkgconfig/mqtoolkit.pc usr/lib/$ma/cmake/mqtoolkit/mqtoolkitConfig.cmake \
    usr/share/man/man3/mqtoolkit.3.gz usr/share/man/man3/cMQ.3.gz
holds mqctl usr/bin/mqctl usr/share/man/man8/mqctl.8.gz \
    usr/share/bash-completion/completions/mqctl etc/daduv.ini var/spool/mqtoolkit/
[ "$(dpkg-deb -f "$(deb_of mqctl)" Depends | grep -c 'libmqtoolkit1 (= ')" = 1 ] ||
    fail "mqctl does not depend on its libraries' version"
dpkg-deb -I "$(deb_of mqctl)" conffiles | grep -qx /etc/daduv.ini || fail "no conffile /etc/daduv.ini"

# apt would install them here: every dependency resolves.
apt-get install --simulate --no-install-recommends "${debs[@]}" >"$work/apt.out" 2>&1 ||
    fail "apt-get would not install them: $(tail -5 "$work/apt.out")"

# Installed by dpkg into a root of their own. That root holds none of the
# system's packages, so their dependencies are forced there (apt checked
# them above); the packages have no maintainer scripts to run in it.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
in_root() { dpkg --root="$root" --force-not-root --force-depends "$@" >>"$work/dpkg.out" 2>&1; }
in_root -i "${debs[@]}" || fail "dpkg -i: $(grep -i error "$work/dpkg.out" | head -3)"
for pkg in libmqtoolkit1 libmqtoolkit-dev mqctl; do
    [ "$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status}' "$pkg")" = \
        "install ok installed" ] || fail "$pkg is not installed in the scratch root"
done
# Each library is named by its SONAME.
for so in "$root/usr/lib/$ma"/lib*.so.1; do
    soname=$(objdump -p "$so" | awk '$1 == "SONAME" { print $2 }')
    [ "$soname" = "$(basename "$so")" ] || fail "$(basename "$so") has SONAME $soname"
done
# The conffile names the packaged spool and leaves the directory out.
grep -q '^InstallDirectory = /var/spool/mqtoolkit$' "$root/etc/daduv.ini" ||
    fail "/etc/daduv.ini names another spool"
MANPATH=$root/usr/share/man man -w mqctl >/dev/null || fail "man mqctl finds no page"

# An installation without a directory server, run by the unpacked mqctl.
inst=$work/inst
mkdir -p "$inst"
sed "s|^InstallDirectory = .*|InstallDirectory = $inst|" "$root/etc/daduv.ini" >"$inst/daduv.ini"
printf 'RELAY\t\trelay\t\tout\r\n' >"$inst/queue.cfg"
export MQ_CONFIG_DIR=$inst MQ_LOG=$work/mq.log
mqctl=$root/usr/bin/mqctl
"$mqctl" check >"$work/check.out" || fail "mqctl check: $(cat "$work/check.out")"
grep -q "directory     not configured" "$work/check.out" || fail "check: $(cat "$work/check.out")"
echo "packaged body" | "$mqctl" put RELAY --from alice@example.org --to bob@example.org >/dev/null
got=$("$mqctl" get RELAY --delete --body | tail -1)
[ "$got" = "packaged body" ] || fail "get gave '$got'"

# The -dev package builds the README's programs.
export PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_PATH=$root/usr/lib/$ma/pkgconfig
for prog in put get; do
    g++ -std=c++17 -Wall -Wextra -Werror -o "$work/$prog" "$src/tests/install/consumer/$prog.cpp" \
        $(pkg-config --cflags --libs mqtoolkit) -Wl,-rpath,"$root/usr/lib/$ma"
done
"$work/put" RELAY "Hello, Bob" >/dev/null
got=$("$work/get" RELAY | tr '\n' ' ')
case $got in *"body Hello, Bob"*) ;; *) fail "get program printed: $got" ;; esac

# Removed, the conffile stays with the operator's settings; purged, it goes.
in_root -r mqctl || fail "dpkg -r mqctl: $(tail -3 "$work/dpkg.out")"
[ ! -e "$root/usr/bin/mqctl" ] && [ -f "$root/etc/daduv.ini" ] ||
    fail "after dpkg -r: mqctl still there or /etc/daduv.ini gone"
in_root -P mqctl || fail "dpkg -P mqctl: $(tail -3 "$work/dpkg.out")"
[ ! -e "$root/etc/daduv.ini" ] || fail "after dpkg -P: /etc/daduv.ini still there"
echo "package check: 3 packages built and installed by dpkg in a scratch root; mqctl check," \
    "put and get and the -dev build ran; remove and purge kept and dropped the conffile"
