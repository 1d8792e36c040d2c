#!/usr/bin/env bash
# Writes debian/libmqtoolkit1.symbols anew from the libraries as they are
# built now: run it whenever the set of names the libraries export changes
# (the package build fails, at dh_makeshlibs, once a listed name is gone).
# Review the difference with git diff before committing it; a name that
# disappears breaks callers built against it and wants a new SONAME.
#
# usage: packaging/update-symbols.sh [SOURCE_DIR [WORK_DIR]]
# (defaults: the tree this script is in, and build/symbols below it)
set -euo pipefail
src=$(cd "${1:-$(dirname "$0")/..}" && pwd)
work=${2:-$src/build/symbols}
# The build may stop at the old symbols file; the libraries are staged by then.
"$src/packaging/build-debs.sh" "$src" "$work" >/dev/null 2>&1 || true
upstream=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version | sed 's/-[^-]*$//')
tree=$work/work/mqtoolkit-$upstream
[ -d "$tree/debian/libmqtoolkit1/usr/lib" ] ||
    { echo "update-symbols: the build staged no libraries; see $work/work/build.log" >&2; exit 1; }
(cd "$tree" && dpkg-gensymbols -plibmqtoolkit1 -Pdebian/libmqtoolkit1 -v"$upstream" -c0 \
    -O"$src/debian/libmqtoolkit1.symbols" -I/dev/null) >/dev/null
# Packages built against a newer library learn the version they need from
# the -dev package they were built with.
sed -i '/#MINVER#$/a * Build-Depends-Package: libmqtoolkit-dev' "$src/debian/libmqtoolkit1.symbols"
echo "wrote $src/debian/libmqtoolkit1.symbols ($(grep -c '^ ' "$src/debian/libmqtoolkit1.symbols") names)"
