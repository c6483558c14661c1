#!/bin/sh
# Installs, through apt, what building and testing kavrex needs and is missing.
set -eu
pkgs="g++ cmake make libgtest-dev clang libclang-rt-14-dev groff-base file libsqlite3-dev sqlite3 python3"
missing=""
for p in $pkgs; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
