#!/usr/bin/env bash
# Checks what the installed libraries export: no instantiation of a std::
# template a header happened to use, no name of the project's internals (the
# durable-file module, the error type, the store's own classes) and no test
# hook of the system-call table; and clLock's members from both the store
# and the toolkit, where applications of the old interface find them.
#
# usage: exports_check.sh LIBMQAPI LIBMQTOOLKIT OTHER_LIBRARY...
set -euo pipefail
store=$1
toolkit=$2

exported() { nm -D --defined-only "$1" | awk '{print $NF}' | c++filt; }

fail=0
for lib in "$@"; do
    bad=$(exported "$lib" | grep -E \
        '^((typeinfo|typeinfo name|vtable|guard variable|VTT) for )?(std|__gnu_cxx|mq|mqshared|mqstore|mqdurable|mqcommon)::|MQSysCallTable|MQResetSysCalls' \
        || true)
    if [ -n "$bad" ]; then
        printf 'exports check: %s exports names beyond its interface:\n%s\n' "$lib" "$bad" >&2
        fail=1
    fi
done
for lib in "$store" "$toolkit"; do
    names=$(exported "$lib")
    for member in 'clLock::clLock()' 'clLock::~clLock()' 'clLock::Lock(unsigned int)' \
                  'clLock::Unlock()'; do
        if ! grep -qxF "$member" <<<"$names"; then
            printf 'exports check: %s does not export %s\n' "$lib" "$member" >&2
            fail=1
        fi
    done
done
exit $fail
