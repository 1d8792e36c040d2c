#!/usr/bin/env bash
# Builds the Debian packages of the toolkit with dpkg-deb from a staged
# installation (prefix /usr):
#
#   libmqtoolkit1     the five shared libraries, by their SONAMEs
#   libmqtoolkit-dev  headers, the .so links, pkg-config and CMake files,
#                     the library's manual pages
#   mqctl             the administrator's tool, its manual page and bash
#                     completion, /etc/daduv.ini (a conffile) and the spool
#                     directory /var/spool/mqtoolkit
#
# Usage: build-debs.sh SOURCE_DIR OUT_DIR
# Prints the paths of the packages built. Needs dpkg-deb and dpkg-dev's
# dpkg-architecture (build-essential brings both).
set -euo pipefail
src=$(cd "$1" && pwd)
out=$2
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$out/work
rm -rf "$work"
mkdir -p "$work"

version=$(sed -n 's/^project(mqtoolkit VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
debversion=$version-1

cmake -S "$src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DMQ_BUILD_TESTS=OFF \
      -DMQ_BUILD_BENCH=OFF -DMQ_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr \
      -DCMAKE_INSTALL_LIBDIR="lib/$multiarch" >/dev/null
cmake --build "$work/build" -j2 >/dev/null
DESTDIR="$work/stage" cmake --install "$work/build" >/dev/null
stage=$work/stage
lib=usr/lib/$multiarch

# move PACKAGE PATH... - moves staged paths (globs allowed) into a package tree.
move() {
    local pkg=$1
    shift
    local p
    for p in "$@"; do
        for f in $stage/$p; do
            [ -e "$f" ] || [ -L "$f" ] || { echo "build-debs: nothing staged at $p" >&2; exit 1; }
            local rel=${f#"$stage"/}
            mkdir -p "$work/$pkg/$(dirname "$rel")"
            mv "$f" "$work/$pkg/$rel"
        done
    done
}

# The packages that hold the libraries ours need, as Depends entries.
shlib_depends() {
    local needed lib path pkg seen=""
    needed=$(for f in "$@"; do objdump -p "$f" | awk '$1 == "NEEDED" { print $2 }'; done | sort -u)
    for lib in $needed; do
        case $lib in libmqtoolkit.so.* | libmqapi.so.* | libldap32.so.* | liblibcommon.so.* | liblogapi.so.*) continue ;; esac
        path=$(ldconfig -p | awk -v l="$lib" '$1 == l && /x86-64|'"$arch"'/ { print $NF; exit }')
        [ -n "$path" ] || path=$(ldconfig -p | awk -v l="$lib" '$1 == l { print $NF; exit }')
        pkg=$(dpkg -S "$(readlink -f "$path")" 2>/dev/null | head -1 | cut -d: -f1) || true
        [ -n "$pkg" ] || pkg=$(dpkg -S "$path" 2>/dev/null | head -1 | cut -d: -f1)
        case " $seen " in *" $pkg "*) continue ;; esac
        seen="$seen $pkg"
    done
    local deps=""
    for pkg in $seen; do
        local v
        # One architecture's version; the upstream part, without the revision.
        v=$(dpkg-query -W -f='${Version}\n' "$pkg:$arch" 2>/dev/null ||
            dpkg-query -W -f='${Version}\n' "$pkg")
        v=$(head -1 <<<"$v" | sed 's/-[^-]*$//')
        deps="$deps${deps:+, }$pkg (>= $v)"
    done
    echo "$deps"
}

# control PACKAGE SECTION DEPENDS DESCRIPTION... - writes DEBIAN/control.
control() {
    local pkg=$1 section=$2 depends=$3
    shift 3
    mkdir -p "$work/$pkg/DEBIAN"
    local size
    size=$(du -sk --exclude=DEBIAN "$work/$pkg" | cut -f1)
    {
        echo "Package: $pkg"
        echo "Version: $debversion"
        echo "Architecture: $arch"
        echo "Section: $section"
        echo "Priority: optional"
        echo "Maintainer: mqtoolkit maintainers <mqtoolkit@localhost>"
        echo "Installed-Size: $size"
        [ -z "$depends" ] || echo "Depends: $depends"
        printf 'Description: %s\n' "$1"
        shift
        for line in "$@"; do printf ' %s\n' "$line"; done
    } >"$work/$pkg/DEBIAN/control"
}

move libmqtoolkit1 "$lib/lib*.so.*"
move libmqtoolkit-dev "usr/include" "$lib/lib*.so" "$lib/pkgconfig" "$lib/cmake" "usr/share/man/man3"
move mqctl "usr/bin/mqctl" "usr/share/man/man8" "usr/share/bash-completion"
# The example program stays out of the packages.
rm -f "$stage/usr/bin/mqexample"

# Debian's man pages are compressed; ".so" links keep naming the page.
find "$work/libmqtoolkit-dev/usr/share/man" "$work/mqctl/usr/share/man" -type f -exec gzip -9n {} +

install -D -m 0644 "$src/packaging/daduv.ini" "$work/mqctl/etc/daduv.ini"
install -d -m 0755 "$work/mqctl/var/spool/mqtoolkit"
mkdir -p "$work/mqctl/DEBIAN"
echo /etc/daduv.ini >"$work/mqctl/DEBIAN/conffiles"
for pkg in libmqtoolkit1 libmqtoolkit-dev mqctl; do
    install -d "$work/$pkg/usr/share/doc/$pkg"
done

control libmqtoolkit1 libs "$(shlib_depends "$work/libmqtoolkit1/$lib"/lib*.so.*.*)" \
    "message-queue toolkit for mail and messaging servers" \
    "The toolkit through which a mail server's applications put messages into" \
    "named channels and get them out, over a queue store on SQLite, a channel" \
    "registry kept in step with an LDAP directory, an INI reader and a logger."
# The libraries look for each other beside themselves; ldconfig learns them
# through dpkg's ldconfig trigger (run once after all packages are set up),
# so the packages carry no maintainer scripts.
echo "activate-noawait ldconfig" >"$work/libmqtoolkit1/DEBIAN/triggers"
control libmqtoolkit-dev libdevel "libmqtoolkit1 (= $debversion)" \
    "message-queue toolkit - development files" \
    "Headers, pkg-config and CMake files and the manual pages of the toolkit."
control mqctl admin "libmqtoolkit1 (= $debversion), $(shlib_depends "$work/mqctl/usr/bin/mqctl" | sed 's/^$/libc6/')" \
    "administrator's tool of the message-queue toolkit" \
    "Registers channels, lists, counts, holds, releases, requeues and deletes" \
    "queue entries, checks an installation and reports to monitoring systems."

for pkg in libmqtoolkit1 libmqtoolkit-dev mqctl; do
    deb=$out/${pkg}_${debversion}_$arch.deb
    dpkg-deb --root-owner-group --build "$work/$pkg" "$deb" >/dev/null
    echo "$deb"
done
