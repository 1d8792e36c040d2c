#!/usr/bin/env bash
# Installs, with apt-get, whatever the build, the tests and the demonstration
# need and this machine lacks. Does nothing when everything is there.
set -euo pipefail

packages=(build-essential cmake pkg-config libgtest-dev libgmock-dev
          libsqlite3-dev libinih-dev libldap-dev slapd ldap-utils groff-base)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
