#!/usr/bin/env bash
# Installs the toolkit into a private prefix and builds a program against it
# twice: once with pkg-config, once with CMake's find_package. Both programs
# must build and run.
#
# usage: check.sh SOURCE_DIR WORK_DIR
set -euo pipefail
src=$1
work=$2
prefix=$work/prefix
rm -rf "$work"
mkdir -p "$work"

cmake -S "$src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DMQ_BUILD_TESTS=OFF \
      -DMQ_BUILD_BENCH=OFF -DMQ_WERROR=ON -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$work/build" -j"$(nproc)" >/dev/null
cmake --install "$work/build" >/dev/null

# The installed programs start as they are, finding the libraries by their
# own run path.
"$prefix/bin/mqexample" >/dev/null

consumer=$src/tests/install/consumer
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
g++ -std=c++17 -Wall -Wextra -Werror -o "$work/app-pkgconfig" "$consumer/app.cpp" \
    $(pkg-config --cflags --libs mqtoolkit)
"$work/app-pkgconfig"
for prog in put get; do
    g++ -std=c++17 -Wall -Wextra -Werror -o "$work/$prog-pkgconfig" "$consumer/$prog.cpp" \
        $(pkg-config --cflags --libs mqtoolkit)
done

# A caller built from the old interface's own declarations, none of ours:
# every name it uses must resolve in the installed libraries.
g++ -std=c++17 -Wall -Wextra -Werror -o "$work/abi-caller" "$src/tests/abi/caller.cpp" \
    $(pkg-config --libs mqtoolkit)
"$src/tests/abi/run_caller.sh" "$work/abi-caller"

# The toolkit calls the platform layers by the old interface's names alone,
# so that it links against a site's own layers too: every name it takes from
# our layers is one the caller above takes as well.
names() { nm -D "$@" | awk '{print $NF}' | sort -u; }
comm -12 <(names --undefined-only "$prefix/lib/libmqtoolkit.so") \
         <(for l in mqapi ldap32 libcommon logapi; do
               names --defined-only "$prefix/lib/lib$l.so"; done | sort -u) \
    | comm -23 - <(names --undefined-only "$work/abi-caller") > "$work/beyond-old-names"
if [ -s "$work/beyond-old-names" ]; then
    echo "install check: the toolkit uses names of its layers the old interface lacks:" >&2
    c++filt < "$work/beyond-old-names" >&2
    exit 1
fi

cmake -S "$consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
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
    printf 'install check: get printed\n%s\nwant\n%s\n' "$got" "$want" >&2
    exit 1
fi
echo "install check: pkg-config and find_package builds ran; put and get passed a message"
