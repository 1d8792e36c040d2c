#!/usr/bin/env bash
# Installs the toolkit into a private prefix and builds programs against it
# twice: once with pkg-config, once with CMake's find_package. Every program
# must build and run.
#
# usage: check.sh SOURCE_DIR WORK_DIR [amd64|i386]
#
# i386 builds the toolkit with cmake/i386-linux-gnu.cmake and the programs
# with -m32, against the i386 installation alone; run it where i386
# programs run (scripts/i386-run).
set -euo pipefail
src=$1
work=$2
arch=${3:-amd64}
prefix=$work/prefix
consumer=$src/tests/install/consumer

case $arch in
    amd64)
        toolchain=()
        cxx=(g++)
        elf_class=02
        ;;
    i386)
        toolchain=(-DCMAKE_TOOLCHAIN_FILE="$src/cmake/i386-linux-gnu.cmake")
        cxx=(g++ -m32)
        elf_class=01
        # Only i386 modules besides the installation's own.
        export PKG_CONFIG_LIBDIR=/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig
        ;;
    *)
        echo "install check: unknown architecture $arch (amd64 or i386)" >&2
        exit 2
        ;;
esac
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig

rm -rf "$work"
mkdir -p "$work"

cmake -S "$src" -B "$work/build" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release \
      -DMQ_BUILD_TESTS=OFF -DMQ_BUILD_BENCH=OFF -DMQ_WERROR=ON \
      -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$work/build" -j"$(nproc)" >/dev/null
cmake --install "$work/build" >/dev/null

# The installed programs start as they are, finding the libraries by their
# own run path.
"$prefix/bin/mqexample" >/dev/null

# pkgconfig_build NAME [SOURCE] - builds SOURCE (consumer/NAME.cpp) through
# pkg-config into $work/NAME-pkgconfig, for this architecture. The .pc file
# sets no run path (one under /usr would be useless), so a private prefix is
# named here, as the README shows.
pkgconfig_build() {
    "${cxx[@]}" -std=c++17 -Wall -Wextra -Werror -o "$work/$1-pkgconfig" \
        "${2:-$consumer/$1.cpp}" $(pkg-config --cflags --libs mqtoolkit) \
        -Wl,-rpath,"$prefix/lib"
    # The ELF class byte: a program of the wrong width would prove nothing.
    local class
    class=$(od -An -tx1 -j4 -N1 "$work/$1-pkgconfig" | tr -d ' ')
    if [ "$class" != "$elf_class" ]; then
        echo "install check: $1-pkgconfig is not an $arch program" >&2
        exit 1
    fi
}

for prog in app put get; do
    pkgconfig_build "$prog"
done
"$work/app-pkgconfig"

# A caller built from the old interface's own declarations, none of ours:
# every name it uses must resolve in the installed libraries, and the
# objects it lays out must hold what the libraries write into them.
pkgconfig_build abi-caller "$src/tests/abi/caller.cpp"
"$src/tests/abi/run_caller.sh" "$work/abi-caller-pkgconfig"

# The toolkit calls the platform layers by the old interface's names alone,
# so that it links against a site's own layers too: every name it takes from
# our layers is one the caller above takes as well.
# (Weak references, to the store's newer calls the toolkit uses where a store
# has them, don't keep it from loading: left out.)
names() { nm -D "$@" | awk '$1 != "w" {print $NF}' | sort -u; }
comm -12 <(names --undefined-only "$prefix/lib/libmqtoolkit.so") \
         <(for l in mqapi ldap32 libcommon logapi; do
               names --defined-only "$prefix/lib/lib$l.so"; done | sort -u) \
    | comm -23 - <(names --undefined-only "$work/abi-caller-pkgconfig") \
    > "$work/beyond-old-names"
if [ -s "$work/beyond-old-names" ]; then
    echo "install check: the toolkit uses names of its layers the old interface lacks:" >&2
    c++filt < "$work/beyond-old-names" >&2
    exit 1
fi

cmake -S "$consumer" -B "$work/consumer" "${toolchain[@]}" \
      -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/app"

# The README's put and get, against a fresh installation directory.
inst=$work/install-dir
mkdir -p "$inst"
printf '[Config]\nInstallDirectory=%s\n' "$inst" > "$inst/daduv.ini"
printf 'RELAY\t\tcheck\t\tout\r\n' > "$inst/queue.cfg"
MQ_CONFIG_DIR=$inst MQ_LOG=stderr "$work/consumer/put" RELAY "Hello, Bob" >/dev/null
got=$(MQ_CONFIG_DIR=$inst MQ_LOG=stderr "$work/get-pkgconfig" relay)
want=$'from alice@example.org\nto bob@example.org\nbody Hello, Bob'
if [ "$got" != "$want" ]; then
    printf 'install check (%s): get printed\n%s\nwant\n%s\n' "$arch" "$got" "$want" >&2
    exit 1
fi
echo "install check ($arch): pkg-config and find_package builds ran; the old interface's" \
     "caller linked and ran; put and get passed a message"
