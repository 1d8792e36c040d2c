#!/usr/bin/env bash
# Installs, with apt-get, whatever the build, the tests and the demonstration
# need and this machine lacks. Does nothing when everything is there.
#
# usage: scripts/deps.sh [--no-i386] [--promtool]
#        scripts/deps.sh --list-build
#
# --list-build prints, one a line and installing nothing, the packages the
# build and its tests need on the machine that runs them (the i386 root of
# scripts/i386-root takes them).
#
# Exits 3 when everything but the :i386 packages went in (an archive whose
# i386 lists don't match its amd64 ones); any other failure, apt-get's
# status.
#
# Besides the amd64 build, the tests build and run the tree for i386: the
# multilib compilers, the :i386 development packages (dpkg's i386
# architecture is added when missing) and the user-mode emulator for a
# kernel that can't run i386 programs itself. Installing the :i386 packages
# may upgrade their amd64 twins to the archive's version (multiarch keeps
# both at one version). --no-i386 leaves all of that out.
#
# --promtool also fetches promtool, the Prometheus project's checker of the
# metrics exposition format, which the tests hold `mqctl metrics` to. It
# comes in Debian's prometheus package; installing that would start a
# server, so the package is only downloaded and unpacked, into
# build/deps/prometheus (promtool: build/deps/prometheus/usr/bin/promtool).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

build=(build-essential cmake pkg-config libgtest-dev libgmock-dev
       libsqlite3-dev libinih-dev libldap-dev slapd ldap-utils groff-base
       postfix python3 mandoc openssl iproute2)
# The Debian packages' build and check, and the i386 root's making; the
# unit check (systemd-analyze) and libFuzzer for the LMTP session's fuzz
# harness (tests/lmtp/fuzz.sh), which the i386 suite does without.
packages=("${build[@]}" dpkg-dev debhelper lintian mmdebstrap arch-test systemd clang)
i386=1
promtool=0
for arg in "$@"; do
    case $arg in
        --no-i386) i386=0 ;;
        --promtool) promtool=1 ;;
        --list-build)
            printf '%s\n' "${build[@]}"
            exit 0
            ;;
        *)
            echo "usage: scripts/deps.sh [--no-i386] [--promtool] | --list-build" >&2
            exit 2
            ;;
    esac
done
if [ $i386 -eq 1 ]; then
    packages+=(g++-multilib lib32asan8 lib32ubsan1 qemu-user-static util-linux mount
               libsqlite3-dev:i386 libinih-dev:i386 libldap-dev:i386
               libgtest-dev:i386 libgmock-dev:i386)
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# A new architecture leaves its packages missing below, so apt-get update
# runs before they are installed.
if [ $i386 -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "Adding dpkg architecture i386"
    $sudo dpkg --add-architecture i386
fi

# Every name asked with its architecture: once a package is installed for
# amd64 and i386, its bare name stands for both.
native=$(dpkg --print-architecture)
missing=()
for p in "${packages[@]}"; do
    [[ $p == *:* ]] || p=$p:$native
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    # An architecture-independent package (lintian, debhelper) answers to
    # its bare name only, as architecture "all".
    if [ "$status" != "install ok installed" ]; then
        status=$(dpkg-query -W -f='${Status} ${Architecture}' "${p%%:*}" 2>/dev/null || true)
        [ "$status" = "install ok installed all" ] && status="install ok installed"
    fi
    [ "$status" = "install ok installed" ] || missing+=("$p")
done
# The package lists, refreshed. A mirror caught mid-sync serves an index
# that fails its hash ("File has unexpected size ... Mirror sync in
# progress?"): tried three times, a minute apart at most; if it still
# fails, the install goes on with the lists apt-get did get, and fails
# itself if a package it needs is not among them.
apt_update() {
    local try
    for try in 1 2 3; do
        $sudo apt-get -o DPkg::Lock::Timeout=600 update && return 0
        [ $try -eq 3 ] || sleep $((try * 20))
    done
    echo "deps.sh: apt-get update failed three times; installing from the lists it has" >&2
}

# Installs its arguments; apt-get's status.
install() {
    # Postfix, for the mail-system test, which runs a private instance of its
    # own: the package is left unconfigured, and its service not started
    # (a container has no init system to start it with).
    echo "postfix postfix/main_mailer_type select No configuration" | $sudo debconf-set-selections
    local policy=/usr/sbin/policy-rc.d made_policy=0 status=0
    if [ ! -e $policy ]; then
        printf '#!/bin/sh\nexit 101\n' | $sudo tee $policy >/dev/null
        $sudo chmod 755 $policy
        made_policy=1
    fi
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y \
        --no-install-recommends "$@" || status=$?
    [ $made_policy -eq 0 ] || $sudo rm -f $policy
    return $status
}

# The :i386 packages go in by themselves, after the rest: multiarch wants
# each at its amd64 twin's version, which an archive whose i386 lists lag
# behind its amd64 ones (a security update not yet, or not wholly, on the
# mirror) can't give. Then everything else is installed all the same and
# the script exits 3, so that the caller can run without i386.
own=() foreign=()
for p in "${missing[@]}"; do
    if [[ $p == *:i386 && $native != i386 ]]; then foreign+=("$p"); else own+=("$p"); fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt_update
    if [ ${#own[@]} -gt 0 ]; then
        status=0
        install "${own[@]}" || status=$?
        [ $status -eq 0 ] || exit $status
    fi
    if [ ${#foreign[@]} -gt 0 ] && ! install "${foreign[@]}"; then
        echo "deps.sh: the i386 packages (${foreign[*]}) can't be installed from this" \
             "archive's lists (apt-get's reason above)" >&2
        i386_missing=1
    fi
fi

unpacked=$root/build/deps/prometheus
if [ $promtool -eq 1 ] && [ ! -x "$unpacked/usr/bin/promtool" ]; then
    echo "Fetching promtool (Debian's prometheus package, unpacked into $unpacked)"
    download=$(mktemp -d)
    chmod a+rwx "$download"  # apt fetches as its own user
    trap 'rm -rf "$download"' EXIT
    # The package lists may be older than the archive: refreshed once if the
    # download fails.
    if ! (cd "$download" && apt-get -o DPkg::Lock::Timeout=600 download prometheus); then
        apt_update
        (cd "$download" && apt-get -o DPkg::Lock::Timeout=600 download prometheus)
    fi
    rm -rf "$unpacked"
    mkdir -p "$unpacked"
    dpkg-deb -x "$download"/prometheus_*.deb "$unpacked"
    "$unpacked/usr/bin/promtool" --version >/dev/null
fi
[ "${i386_missing-0}" -eq 0 ] || exit 3
