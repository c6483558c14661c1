#!/bin/sh
# Installs, through apt, what building and testing kavrex needs and is
# missing. The package manager's own output goes to a log file; one line
# says what is being installed and where the log is.
set -eu
# python3 reads the JSON output in tests and drives a terminal for the
# completion test; sqlite3 reads the --sqlite output in tests; systemd's
# systemd-analyze checks the journal unit.
pkgs="g++ cmake make libgtest-dev clang libclang-rt-14-dev groff-base file libsqlite3-dev sqlite3 python3
bash-completion systemd"
missing=""
for p in $pkgs; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
log=${TMPDIR:-/tmp}/kavrex-install-deps.log
echo "installing through apt:$missing (log: $log)"
if ! { $SUDO apt-get update -q && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q $missing; } >"$log" 2>&1; then
  tail -n 20 "$log" >&2
  echo "install-deps: apt-get failed; the whole output is in $log" >&2
  exit 1
fi
