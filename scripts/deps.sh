#!/usr/bin/env bash
# Installs, with apt-get, whatever the build, the tests and the demonstration
# need and this machine lacks. Does nothing when everything is there.
#
# usage: scripts/deps.sh [--no-i386]
#
# Besides the amd64 build, the tests build and run the tree for i386: the
# multilib compilers, the :i386 development packages (dpkg's i386
# architecture is added when missing) and the user-mode emulator for a
# kernel that can't run i386 programs itself. Installing the :i386 packages
# may upgrade their amd64 twins to the archive's version (multiarch keeps
# both at one version). --no-i386 leaves all of that out.
set -euo pipefail

packages=(build-essential cmake pkg-config libgtest-dev libgmock-dev
          libsqlite3-dev libinih-dev libldap-dev slapd ldap-utils groff-base)
i386=1
[ "${1-}" = "--no-i386" ] && i386=0
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
    [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
$sudo apt-get -o DPkg::Lock::Timeout=600 update
DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y \
    --no-install-recommends "${missing[@]}"
