#!/usr/bin/env bash
# Builds the Debian packages (packaging/build-debs.sh, which fails on any
# lintian error or warning), checks what each one holds, then installs them
# into a clean Debian root made by mmdebstrap from this machine's apt
# sources (scripts/debian-root.sh, which keeps it for later runs), and there:
#   - the queue's user and group exist, the spool is theirs and not
#     world-readable, /etc/daduv.ini is not world-readable;
#   - the owner (user mqtoolkit) registers a channel, puts and gets;
#   - a member of the group mqtoolkit runs list, show, summary, metrics,
#     monitor and check with read access alone, changes nothing and can't
#     hold;
#   - an outsider can neither list the queue nor read a body;
#   - mqctl is removed: the settings, the spool and the libraries stay;
#   - everything is purged: the settings and the spool go, nothing of the
#     packages is left under /usr, /etc or /var.
# The -dev package also builds the README's put and get programs here.
#
# usage: check.sh SOURCE_DIR WORK_DIR
# Needs root (mmdebstrap's root mode and chroot).
set -euo pipefail
src=$(cd "$1" && pwd)
work=$2
# A run killed earlier may have left the root's /proc mounted.
umount "$work/root/proc" 2>/dev/null || true
rm -rf --one-file-system "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
fail() { echo "package check: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "needs root (mmdebstrap and chroot)"
command -v mmdebstrap >/dev/null || fail "mmdebstrap missing (scripts/deps.sh installs it)"

mapfile -t debs < <("$src/packaging/build-debs.sh" "$src" "$work/debs")
[ ${#debs[@]} -eq 4 ] || fail "want 4 packages, got: ${debs[*]}"
ma=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
deb_of() { printf '%s\n' "${debs[@]}" | grep "/$1_"; }
ls "$work/debs"/libmqtoolkit1-dbgsym_*.deb "$work/debs"/mqctl-dbgsym_*.deb >/dev/null ||
    fail "no -dbgsym packages"

# What each package holds, and what it must not.
holds() {  # holds PACKAGE PATH...
    local listing
    listing=$(dpkg-deb -c "$(deb_of "$1")" | awk '{ print $6 }')
    shift
    for p in "$@"; do
        grep -qx "\./$p" <<<"$listing" || fail "$p missing from the package"
    done
}
holds libmqtoolkit1 usr/lib/$ma/libmqtoolkit.so.1 usr/lib/$ma/libmqapi.so.1 \
    usr/lib/$ma/libldap32.so.1 usr/lib/$ma/liblibcommon.so.1 usr/lib/$ma/liblogapi.so.1 \
    usr/share/doc/libmqtoolkit1/copyright usr/share/doc/libmqtoolkit1/changelog.Debian.gz
holds libmqtoolkit-dev usr/include/mqtoolkit/mqapi.h usr/lib/$ma/libmqtoolkit.so \
    usr/lib/$ma/pkgconfig/mqtoolkit.pc usr/lib/$ma/cmake/mqtoolkit/mqtoolkitConfig.cmake \
    usr/share/man/man3/mqtoolkit.3.gz usr/share/man/man3/cMQ.3.gz \
    usr/share/man/man3/mq.3.gz usr/share/man/man3/mqput.3.gz \
    usr/share/man/man3/mqfile.3.gz usr/share/man/man3/mqadmin.3.gz
holds mqtoolkit-common etc/daduv.ini usr/share/doc/mqtoolkit-common/README.md.gz \
    usr/share/doc/mqtoolkit-common/docs/registry.md.gz usr/share/doc/mqtoolkit-common/docs/permissions.md \
    usr/share/man/man5/daduv.ini.5.gz usr/share/man/man5/queue.cfg.5.gz
holds mqctl usr/bin/mqctl usr/share/man/man8/mqctl.8.gz usr/sbin/mqlmtpd \
    usr/share/man/man8/mqlmtpd.8.gz lib/systemd/system/mqlmtpd.socket \
    lib/systemd/system/mqlmtpd.service \
    usr/share/bash-completion/completions/mqctl
for pkg in libmqtoolkit1 libmqtoolkit-dev mqctl; do
    if dpkg-deb -c "$(deb_of "$pkg")" | awk '{ print $6 }' | grep -E '^\./(etc|var)/'; then
        fail "$pkg holds what the applications share"
    fi
done
dpkg-deb -I "$(deb_of mqtoolkit-common)" conffiles | grep -qx /etc/daduv.ini ||
    fail "no conffile /etc/daduv.ini"
[ "$(dpkg-deb -f "$(deb_of libmqtoolkit1)" Multi-Arch)" = same ] ||
    fail "libmqtoolkit1 is not Multi-Arch: same"
dpkg-deb -I "$(deb_of libmqtoolkit1)" symbols >/dev/null || fail "libmqtoolkit1 has no symbols file"
# The directory client opens libldap when it first connects, so the library
# package must name libldap's package itself (no linked library says so).
dpkg-deb -f "$(deb_of libmqtoolkit1)" Depends | tr ',' '\n' | grep -q '^ *libldap' ||
    fail "libmqtoolkit1 does not depend on libldap: $(dpkg-deb -f "$(deb_of libmqtoolkit1)" Depends)"
# No run path in anything installed under /usr, none in the .pc file.
mkdir -p "$work/unpacked"
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$work/unpacked"; done
find "$work/unpacked/usr" -type f \( -name '*.so*' -o -path '*/bin/*' \) | while read -r f; do
    if readelf -d "$f" | grep -E 'R(UN)?PATH'; then fail "$f has a run path"; fi
done
if grep -n rpath "$work/unpacked/usr/lib/$ma/pkgconfig/mqtoolkit.pc"; then
    fail "mqtoolkit.pc sets a run path"
fi

# A clean Debian root from this machine's apt sources, with what the
# packages depend on (so that dpkg installs them without the network):
# made once and kept in build/roots/ for later runs (scripts/debian-root.sh),
# made again when the versions the packages need change.
ours='^(libmqtoolkit1|libmqtoolkit-dev|mqtoolkit-common|mqctl)$'
deps=$(for deb in "${debs[@]}"; do dpkg-deb -f "$deb" Depends; done | tr ',' '\n' |
       sed 's/([^)]*)//; s/|.*//; s/ //g' | grep -v -E "$ours" | grep . | sort -u | paste -sd, -)
root=$work/root
versions=$(for deb in "${debs[@]}"; do dpkg-deb -f "$deb" Depends; done)
tarball=$("$src/scripts/debian-root.sh" make "$src/build/roots" "$(dpkg --print-architecture)" \
          "$deps,passwd" "$versions") || fail "no Debian root (the reason above)"
"$src/scripts/debian-root.sh" unpack "$tarball" "$root" || fail "can't unpack the Debian root"
mkdir -p "$root/tmp/debs"
cp "${debs[@]}" "$root/tmp/debs/"
in_root() { chroot "$root" "$@"; }
# Programs in the root see /proc, as on any running system (the store tells
# one start of the machine from the next by the kernel's boot id there).
mount -t proc proc "$root/proc" || fail "can't mount /proc in the root"
trap 'umount "$root/proc" 2>/dev/null || true' EXIT
in_root sh -c 'dpkg -i /tmp/debs/libmqtoolkit1_*.deb /tmp/debs/libmqtoolkit-dev_*.deb \
    /tmp/debs/mqtoolkit-common_*.deb /tmp/debs/mqctl_*.deb' >"$work/dpkg.out" 2>&1 ||
    fail "dpkg -i: $(tail -5 "$work/dpkg.out")"

# The queue's account, the spool and the settings' modes.
in_root getent passwd mqtoolkit >/dev/null || fail "no user mqtoolkit"
in_root getent group mqtoolkit >/dev/null || fail "no group mqtoolkit"
got=$(in_root stat -c "%U:%G %a" /var/spool/mqtoolkit 2>&1 || true)
[ "$got" = "mqtoolkit:mqtoolkit 750" ] || fail "/var/spool/mqtoolkit: got $got, want mqtoolkit:mqtoolkit 750"
got=$(in_root stat -c '%U:%G %a' /etc/daduv.ini)
[ "$got" = "root:mqtoolkit 640" ] || fail "/etc/daduv.ini: got $got, want root:mqtoolkit 640"
grep -q '^InstallDirectory = /var/spool/mqtoolkit$' "$root/etc/daduv.ini" ||
    fail "/etc/daduv.ini names another spool"
for page in mqctl.8 mqtoolkit.3; do
    [ -f "$root/usr/share/man/man${page##*.}/$page.gz" ] || fail "no manual page $page"
done

# The owner runs the applications' side: registers, puts, gets. A member
# of the queue's group reads; an outsider reads nothing.
chroot "$root" useradd --create-home outsider
chroot "$root" useradd --create-home --groups mqtoolkit watcher
as() {  # as USER COMMAND... - runs a command in the root as that user
    local user=$1 groups
    shift
    groups=$(chroot "$root" id -Gn "$user" | tr ' ' ',')
    chroot --userspec="$user:$user" --groups="$groups" "$root" env HOME=/tmp MQ_LOG=stderr "$@"
}
printf 'RELAY\t\trelay\t\tout\r\n' | as mqtoolkit sh -c 'cat > /var/spool/mqtoolkit/queue.cfg'
as mqtoolkit mqctl check >"$work/check.out" 2>&1 || fail "mqctl check as the owner: $(cat "$work/check.out")"
# --path: a small body is kept in the database until its path is named;
# asked for it, the put writes the file, whose mode is checked below.
echo "packaged body" | as mqtoolkit mqctl put RELAY --from alice@example.org --to bob@example.org \
    --path >"$work/put.out" 2>&1 || fail "mqctl put as the owner: $(cat "$work/put.out")"
as mqtoolkit mqctl list >"$work/list.out" 2>&1 || fail "mqctl list as the owner: $(cat "$work/list.out")"
grep -q 'bob@example.org' "$work/list.out" || fail "list as the owner: $(cat "$work/list.out")"
# No directory of the spool lets others in (its files are then out of
# their reach whatever their own modes).
if find "$root/var/spool/mqtoolkit" -type d -perm /o+rwx | grep .; then
    fail "a directory of the spool others may enter"
fi

# A member of the group runs every command that reads, with read access
# alone, and makes nothing; it can't change the queue.
listing() { (cd "$root/var/spool/mqtoolkit" && find . -printf '%p %s %U %m\n' | sort); }
before=$(listing)
id=$(as mqtoolkit mqctl list --ids | head -1)
for cmd in "list" "list --json" "show $id" "summary" "metrics" "monitor" "check"; do
    # shellcheck disable=SC2086
    as watcher mqctl $cmd >"$work/watcher.out" 2>&1 ||
        fail "mqctl $cmd as a member of the group: $(cat "$work/watcher.out")"
done
as watcher mqctl list | grep -q 'bob@example.org' || fail "the group member's list lacks the entry"
[ "$(listing)" = "$before" ] || fail "the group member's commands changed the spool:
$(diff <(echo "$before") <(listing))"
if as watcher mqctl hold "$id" >"$work/watcher.out" 2>&1; then
    fail "a member of the group held an entry"
fi

# An outsider reads nothing of the queue.
if as outsider mqctl list >"$work/outsider.out" 2>&1; then
    fail "an outsider listed the queue: $(cat "$work/outsider.out")"
fi
body=$(find "$root/var/spool/mqtoolkit/spool" -type f -path '*/msg/*' | head -1)
[ -n "$body" ] || fail "no body file in the spool"
if as outsider cat "${body#"$root"}" >/dev/null 2>&1; then fail "an outsider read a body"; fi

# The log goes to stderr (MQ_LOG); the body is the last line of stdout.
got=$(as mqtoolkit mqctl get RELAY --delete --body 2>"$work/get.err" | tail -1)
[ "$got" = "packaged body" ] || fail "get as the owner gave '$got': $(cat "$work/get.err")"

# The -dev package builds the README's programs (with this machine's compiler).
export PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_PATH=$root/usr/lib/$ma/pkgconfig
for prog in put get; do
    g++ -std=c++17 -Wall -Wextra -Werror -o "$work/$prog" "$src/tests/install/consumer/$prog.cpp" \
        $(pkg-config --cflags --libs mqtoolkit) -Wl,-rpath-link,"$root/usr/lib/$ma"
done
inst=$work/inst
mkdir -p "$inst"
printf '[Config]\nInstallDirectory=%s\n' "$inst" >"$inst/daduv.ini"
printf 'RELAY\t\trelay\t\tout\r\n' >"$inst/queue.cfg"
# The installed libraries carry no run path to find each other by: run
# from this machine, they are found the way the dynamic linker is told.
export LD_LIBRARY_PATH=$root/usr/lib/$ma
MQ_CONFIG_DIR=$inst MQ_LOG=stderr "$work/put" RELAY "Hello, Bob" >/dev/null
got=$(MQ_CONFIG_DIR=$inst MQ_LOG=stderr "$work/get" RELAY | tr '\n' ' ')
unset LD_LIBRARY_PATH
case $got in *"body Hello, Bob"*) ;; *) fail "get program printed: $got" ;; esac

# Removed, mqctl goes; what the applications share stays.
in_root dpkg -r mqctl >>"$work/dpkg.out" 2>&1 || fail "dpkg -r mqctl: $(tail -3 "$work/dpkg.out")"
[ ! -e "$root/usr/bin/mqctl" ] || fail "after dpkg -r mqctl: mqctl still there"
[ -f "$root/etc/daduv.ini" ] && [ -f "$root/var/spool/mqtoolkit/queue.cfg" ] ||
    fail "after dpkg -r mqctl: the settings or the spool went with it"

# Purged, nothing of the packages is left but the queue's account.
in_root dpkg -P mqctl libmqtoolkit-dev libmqtoolkit1 mqtoolkit-common >>"$work/dpkg.out" 2>&1 ||
    fail "dpkg -P: $(tail -3 "$work/dpkg.out")"
left=$(cd "$root" && find etc usr var \( -iname '*mqtoolkit*' -o -name 'daduv.ini' -o -name 'mqctl*' \
       -o -name 'lib*api.so*' -o -name 'libldap32*' -o -name 'liblibcommon*' \) \
       ! -path 'var/lib/dpkg/*' ! -path 'var/log/*' | grep -v -E '^etc/(passwd|group|shadow|gshadow)-?$' || true)
[ -z "$left" ] || fail "left after purge: $left"
echo "package check: 4 packages (and -dbgsym) built, lintian clean, no run path; installed in a" \
    "clean Debian root: owner put, listed and got, a group member read, an outsider read nothing;" \
    "remove kept the" \
    "shared files, purge left nothing"
