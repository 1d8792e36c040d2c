#!/usr/bin/env bash
# Builds the toolkit's Debian source package and its binary packages with
# dpkg-buildpackage from the debian/ directory of the tree:
#
#   libmqtoolkit1     the five shared libraries, by their SONAMEs
#   libmqtoolkit-dev  headers, the .so links, pkg-config and CMake files,
#                     the library's manual pages
#   mqtoolkit-common  /etc/daduv.ini (a conffile), the spool
#                     /var/spool/mqtoolkit and the queue's user and group
#                     (made by its postinst), the settings' manual pages and
#                     the README with the guides of docs/
#   mqctl             the administrator's tool, its manual page and bash
#                     completion; the LMTP server mqlmtpd, its manual page
#                     and its systemd units (shipped disabled)
#
# and the -dbgsym packages of the libraries and mqctl. Installs what the
# build needs with apt-get first (the source's Build-Depends, dpkg-dev,
# debhelper, lintian), then runs lintian --pedantic over the result and
# fails on any error or warning.
#
# Usage: build-debs.sh SOURCE_DIR OUT_DIR
# Prints the paths of the four binary packages (not the -dbgsym ones).
# OUT_DIR also receives the source package (.dsc, .orig.tar.xz,
# .debian.tar.xz), the .changes file, the -dbgsym packages and lintian's
# report (lintian.txt).
set -euo pipefail
src=$(cd "$1" && pwd)
out=$2
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$out/work
rm -rf "$work"
mkdir -p "$work"
fail() { echo "build-debs: $*" >&2; exit 1; }

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
need=()
for p in dpkg-dev debhelper lintian; do
    [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ] || need+=("$p")
done
apt() { DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 "$@"; }
# A mirror caught mid-sync fails an index's hash: tried three times; the
# install after it goes on with the lists it did get, and fails on its own
# if they lack a package.
apt_update() {
    local try
    for try in 1 2 3; do
        apt update >>"$work/apt.log" 2>&1 && return 0
        [ $try -eq 3 ] || sleep $((try * 20))
    done
    echo "build-debs.sh: apt-get update failed three times: $(tail -3 "$work/apt.log")" >&2
}
if [ ${#need[@]} -gt 0 ]; then
    apt_update
    apt install -y --no-install-recommends "${need[@]}" >>"$work/apt.log" 2>&1 ||
        fail "apt-get install: $(tail -3 "$work/apt.log")"
fi
if ! dpkg-checkbuilddeps "$src/debian/control" 2>/dev/null; then
    apt_update
    apt build-dep -y --no-install-recommends "$src" >>"$work/apt.log" 2>&1 ||
        fail "apt-get build-dep: $(tail -3 "$work/apt.log")"
fi

# The source as the tree holds it, without build directories or git's data;
# the upstream tarball leaves debian/ out.
version=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)
upstream=${version%-*}
tree=$work/mqtoolkit-$upstream
mkdir -p "$tree"
tar -C "$src" --exclude=./build --exclude=./.git --exclude='./obj-*' \
    --exclude=./debian/.debhelper --exclude='./debian/tmp' -cf - . | tar -C "$tree" -xf -
tar -C "$work" --exclude="mqtoolkit-$upstream/debian" --sort=name --owner=0 --group=0 \
    --mtime=@0 -cJf "$work/mqtoolkit_$upstream.orig.tar.xz" "mqtoolkit-$upstream"

(cd "$tree" && dpkg-buildpackage -us -uc -j2) >"$work/build.log" 2>&1 ||
    fail "dpkg-buildpackage failed; the end of $work/build.log:
$(tail -20 "$work/build.log")"

arch=$(dpkg-architecture -qDEB_HOST_ARCH)
changes=$work/mqtoolkit_${version}_$arch.changes
[ -f "$changes" ] || fail "no $changes"
# Everything the .changes lists goes to OUT_DIR.
cp "$changes" "$out/"
sed -n '/^Files:/,/^[^ ]/{s/^ .* //p}' "$changes" | while read -r f; do
    cp "$work/$f" "$out/"
done

# lintian, pedantic: no error, no warning. One pedantic tag stays,
# no-homepage-field: the toolkit has no public home page to name. The
# initial-upload-closes-no-bugs warnings are overridden (debian/*.lintian-
# overrides): the packages are built for sites, not uploaded to Debian.
lintian --pedantic --info --display-info "$out/$(basename "$changes")" >"$out/lintian.txt" 2>&1 || true
if grep -E '^[EW]: ' "$out/lintian.txt" >&2; then
    fail "lintian reports errors or warnings (all of them in $out/lintian.txt)"
fi

for pkg in libmqtoolkit1 libmqtoolkit-dev mqctl; do
    echo "$out/${pkg}_${version}_$arch.deb"
done
echo "$out/mqtoolkit-common_${version}_all.deb"
