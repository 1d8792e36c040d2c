#!/usr/bin/env bash
# debian-root.sh - clean Debian roots made by mmdebstrap from this machine's
# archive, kept as tarballs so that later runs on the machine unpack them
# instead of fetching and installing everything again.
#
#   debian-root.sh make CACHE_DIR ARCH PACKAGES [EXTRA]
#       Prints the path of a tarball, CACHE_DIR/ARCH-KEY.tar, holding a
#       root of architecture ARCH with PACKAGES (comma-separated) and what
#       they depend on. KEY hashes everything the root is made from (the
#       architecture, the suites and mirrors, the packages, this script and
#       EXTRA, say the versions a caller needs), so that a change makes a
#       new root. A tarball older than a week is
#       made again, so that the root follows the archive.
#   debian-root.sh unpack TARBALL DIR
#       Empties DIR and unpacks the root there.
#
# For this machine's own architecture the root comes from its apt sources,
# all of them (packages built here may depend on the versions its security
# suite gave). For another one it comes from the archive's main suites
# alone (the release and its -updates): the root holds no package of
# another architecture, so it needs no version to match this machine's,
# and a security suite whose index for that architecture fails to download
# (a mirror mid-sync) can't stop it. A foreign architecture needs
# arch-test, and its programs must run here (natively or through a
# registered emulator).
#
# Postfix is preseeded to "No configuration": the tests run private
# instances of their own. Daemons are not started (mmdebstrap's own rule).
#
# Needs root (mmdebstrap's root mode; device nodes in the tarball). Exits 1
# with the reason on failure.
set -euo pipefail

fail() { echo "debian-root: $*" >&2; exit 1; }

# mirrors ARCH - prints the sources mmdebstrap takes for ARCH, one a line.
mirrors() {
    local native suite
    native=$(dpkg --print-architecture)
    if [ "$1" = "$native" ]; then
        for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
                 /etc/apt/sources.list.d/*.sources; do
            [ -s "$f" ] && echo "$f"
        done
        return 0
    fi
    suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
    # Every site and component apt knows for the release and its -updates,
    # whatever architecture it knows them for.
    apt-get indextargets --format '$(SITE) $(RELEASE) $(COMPONENT)' 'Created-By: Packages' |
        awk -v s="$suite" '$2 == s || $2 == s "-updates"' | sort -u |
        awk '{ key = $1 " " $2; if (!(key in c)) order[n++] = key; c[key] = c[key] " " $3 }
             END { for (i = 0; i < n; i++) print "deb " order[i] c[order[i]] }'
}

make_root() {
    local cache=$1 arch=$2 packages=$3 extra=${4-} suite key tarball lines
    [ "$(id -u)" -eq 0 ] || fail "needs root (mmdebstrap's root mode)"
    command -v mmdebstrap >/dev/null || fail "mmdebstrap missing (scripts/deps.sh installs it)"
    suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
    mapfile -t lines < <(mirrors "$arch")
    [ ${#lines[@]} -gt 0 ] || fail "no apt sources for $suite on this machine"
    key=$( { echo "$arch $suite $packages $extra"; printf '%s\n' "${lines[@]}"
             for l in "${lines[@]}"; do [ -f "$l" ] && cat "$l"; done
             cat "$0"; } | sha256sum | cut -c1-16)
    tarball=$cache/$arch-$key.tar
    mkdir -p "$cache"
    exec 9>"$cache/.lock"
    flock 9
    if [ -n "$(find "$tarball" -mtime -7 2>/dev/null)" ]; then
        echo "$tarball"
        return 0
    fi
    # Older roots of this architecture go: one a kind is enough.
    rm -f "$cache/$arch"-*.tar "$cache/$arch"-*.tar.part "$cache/$arch"-*.log
    echo "debian-root: making a $arch root from $suite (${lines[*]}); log in $tarball.log" >&2
    local preseed='echo "postfix postfix/main_mailer_type select No configuration" | chroot "$1" debconf-set-selections'
    local start=$SECONDS
    mmdebstrap --variant=apt --mode=root --architectures="$arch" --format=tar \
        --include="$packages" --essential-hook="$preseed" \
        "$suite" "$tarball.part" "${lines[@]}" >"$tarball.log" 2>&1 ||
        fail "mmdebstrap: $(tail -5 "$tarball.log")"
    mv "$tarball.part" "$tarball"
    echo "debian-root: $arch root made in $((SECONDS - start))s" >&2
    echo "$tarball"
}

unpack_root() {
    local tarball=$1 dir=$2
    [ "$(id -u)" -eq 0 ] || fail "needs root (device nodes)"
    # A run killed earlier may have left a file system mounted in the old one.
    for m in proc dev/shm; do umount "$dir/$m" 2>/dev/null || true; done
    rm -rf --one-file-system "$dir"
    mkdir -p "$dir"
    tar -C "$dir" -xf "$tarball" || fail "can't unpack $tarball into $dir"
}

case "${1-}" in
    make) [ $# -eq 4 ] || [ $# -eq 5 ] ||
              fail "usage: debian-root.sh make CACHE_DIR ARCH PACKAGES [EXTRA]"
          make_root "$2" "$3" "$4" "${5-}" ;;
    unpack) [ $# -eq 3 ] || fail "usage: debian-root.sh unpack TARBALL DIR"
            unpack_root "$2" "$3" ;;
    *) fail "usage: debian-root.sh make CACHE_DIR ARCH PACKAGES [EXTRA] | unpack TARBALL DIR" ;;
esac
