#!/bin/sh
# Builds kavrex and shows it at work on the stand-in server: an installation
# in a temporary directory, kavrex-sim writing trace records, then kavrex
# switching tracing on, setting levels, printing the settings and the ring,
# and following the ring for a few seconds. Everything is removed at the end.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
cmake --preset default >/dev/null
# The build's progress on one line; its whole output goes to a log, shown
# when the build fails.
build_log=build/demo-build.log
status=$( { cmake --build --preset default -j "$(nproc)" >"$build_log" 2>&1; echo $? >build/demo-build.status; } &
  while [ ! -e build/demo-build.status ]; do
    pct=$(sed -n 's/^\[ *\([0-9]*%\)\].*/\1/p' "$build_log" 2>/dev/null | tail -n 1)
    printf '\rbuilding kavrex (log: %s) %s ' "$build_log" "${pct:-0%}" >&2
    sleep 1
  done
  cat build/demo-build.status; rm -f build/demo-build.status)
if [ "$status" != 0 ]; then
  printf '\n' >&2
  tail -n 30 "$build_log" >&2
  exit 1
fi
printf '\rbuilding kavrex (log: %s) done\n' "$build_log" >&2
bin=$PWD/build/bin

VELMORANDIR=$(mktemp -d /tmp/kavrex-demo-XXXXXX)
VELMORANSERVER=demo
export VELMORANDIR VELMORANSERVER
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$VELMORANDIR"
}
trap cleanup EXIT
# A signal ends the script, and the exit cleans up; a closed output pipe
# (the demo piped into head) too.
trap "exit 1" INT TERM HUP PIPE

mkdir -p "$VELMORANDIR/msg"
cp -r build/msg/en_us "$VELMORANDIR/msg/"
"$bin/kavrex-reg" setup demo >/dev/null

step() { printf '\n$ %s\n' "$*"; "$@"; }

"$bin/kavrex-sim" --records 200 --rate 50 >"$VELMORANDIR/sim.log" 2>&1 &
sim_pid=$!
until grep -q "kavrex-sim: ready" "$VELMORANDIR/sim.log" 2>/dev/null; do
  kill -0 "$sim_pid" 2>/dev/null || { cat "$VELMORANDIR/sim.log" >&2; exit 1; }
  sleep 0.05
done
sed 's/^/# /' "$VELMORANDIR/sim.log"

step "$bin/kavrex" on
step "$bin/kavrex" heavy -c KVF_LCK_MGR KVF_SORT KVF_DORVEL KVF_BFR_MGR -f KVF_MEM KVF_CALL KVF_EVENT
step "$bin/kavrex" lite -c KVF_SHMEM KVF_MUTEX -f KVF_MEM KVF_DEBUG
step "$bin/kavrex" info
sleep 1
step "$bin/kavrex" fview
printf '\n$ %s\n' "$bin/kavrex -t view   (3 seconds)"
# Ended as Ctrl-C would end it; a demo started in the background has
# interrupts ignored, which the tool keeps, so SIGTERM follows.
timeout -s INT -k 1 3 "$bin/kavrex" -t view || true
step "$bin/kavrex" off

kill "$sim_pid"
wait "$sim_pid" || true
sim_pid=""
printf '\n# the server stopped:\n'
sed -n 's/^kavrex-sim: \(trace points\|records\|ring\)/# &/p' "$VELMORANDIR/sim.log"
key=$(sed -n 's/.*key \(0x[0-9a-f]*\).*/\1/p' "$VELMORANDIR/sim.log")
printf '# segments left with the server key %s: %s\n' "$key" "$(ipcs -m | grep -c "^$key " || true)"
