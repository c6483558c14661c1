#!/usr/bin/env bash
# run.sh -- the benchmark driver: builds its inputs, runs every case several
# times and prints, per case, the median and its ratio to baselines measured
# in the same run on the same machine (absolute times on a shared machine are
# noise; the ratios are the result).
#
#   bench/run.sh [--short]
#
# --short: 3 runs per case and smaller inputs, as a smoke test (about a
# minute); it asserts no times. The build directory is $KAVREX_BUILD_DIR, else
# build/ at the top of the tree; inputs and outputs go to its bench/ folder.
#
# KAVREX_BENCH_BASELINE_BIN=path: also time the views and loads with the
# kavrex binary of an older build, in turns with this one, and print the
# ratio.
#
# Baselines:
#   B1  bench/naive_render: the same records rendered to the same bytes the
#       plain way (one snprintf per line, localtime_r per record, stdio)
#   B2  bench/write_bytes: the tool's own output, rendered beforehand, copied
#       from the page cache through one 64 KiB buffer to the same sink in
#       writes of 64 KiB (the bytes made in memory once, then written)
# Rendering time of the tool is the median of a view minus the median of
# `info` on the same dump (both load the image); B1 and B2 time themselves
# from after start-up (B1 after reading the dump) to their last write.
set -eu

usage() {
  echo "usage: bench/run.sh [--short]" >&2
  exit 2
}
SHORT=0
case "${1:-}" in
  --short) SHORT=1 ;;
  "") ;;
  *) usage ;;
esac
[ $# -le 1 ] || usage

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${KAVREX_BUILD_DIR:-$ROOT/build}
BIN=$BUILD/bin
WORK=$BUILD/bench

if [ "$SHORT" = 1 ]; then
  RUNS=3 RECORDS=200000 LOAD_BYTES=$((256 << 20)) TAIL_SECONDS=1 START_LOOPS=20 SIM_RING=200000
else
  RUNS=5 RECORDS=1000000 LOAD_BYTES=$((1 << 30)) TAIL_SECONDS=10 START_LOOPS=100 SIM_RING=1000000
fi
SIM_THREADS=${KAVREX_BENCH_SIM_THREADS:-1}
GOAL_RATE=5000000

# ---- clean-up, also on error and interrupt ----

TMP=
SIM_PID=
HOLDER_PID=
KV_PID=
SINK_PID=
PAUSE_PID=
SHM_COPY=/dev/shm/kavrex-bench-copy.$$
# Runs in the script's own shell only: a subshell that a signal reaches first
# (bash hands a trap that is pending at a fork to the child) must not remove
# what the script still uses.
cleanup() {
  [ "$BASHPID" = "$$" ] || return 0
  set +e
  trap - ERR
  for p in $KV_PID $SINK_PID $PAUSE_PID; do kill -TERM "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  if [ -n "$SIM_PID" ]; then
    kill -TERM "$SIM_PID" 2>/dev/null
    wait "$SIM_PID" 2>/dev/null
  fi
  [ -n "$HOLDER_PID" ] && kill "$HOLDER_PID" 2>/dev/null && wait "$HOLDER_PID" 2>/dev/null
  rm -f "$SHM_COPY"
  [ -n "$TMP" ] && rm -rf "$TMP"
}
on_signal() {
  [ "$BASHPID" = "$$" ] || kill -TERM "$$"
  exit 130
}
trap cleanup EXIT
trap on_signal INT TERM HUP
# A command that fails ends the run (set -e); say which, once.
set -E
trap '[ "$BASHPID" = "$$" ] && echo "run.sh: failed at line $LINENO: $BASH_COMMAND" >&2; trap - ERR' ERR

# pause SECONDS: a sleep that a signal cuts short.
pause() {
  sleep "$1" &
  PAUSE_PID=$!
  wait "$PAUSE_PID"
  PAUSE_PID=
}

fail() {
  echo "run.sh: $*" >&2
  exit 1
}

# ---- timing ----

if [ -n "${EPOCHREALTIME:-}" ]; then
  # Microseconds without starting a process.
  now_us() { local t=$EPOCHREALTIME; REPLY=$((10#${t/[.,]/})); }
else
  now_us() { REPLY=$(($(date +%s%N) / 1000)); }
fi

# median V...: the middle value (the lower middle of an even count).
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }

# spread V...: (largest - smallest) / median, in per cent: how noisy the runs were.
spread() {
  local m
  m=$(median "$@")
  printf '%s\n' "$@" | sort -n | awk -v m="$m" 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%d%%", (m > 0 ? 100 * (hi - lo) / m : 0) }'
}

# secs US: microseconds as seconds with 3 decimals (6 below 10 ms).
secs() { awk -v u="$1" 'BEGIN { if (u < 10000 && u > -10000) printf "%.6f s", u / 1e6; else printf "%.3f s", u / 1e6 }'; }
# ratio A B: A / B with 2 decimals, "n/a" when B is not positive.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "n/a" }'; }

# time_us CMD...: runs CMD, sets REPLY to its wall time in microseconds.
time_us() {
  local t0
  now_us
  t0=$REPLY
  "$@"
  now_us
  REPLY=$((REPLY - t0))
}

# ---- build ----

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null 2>&1 ||
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD" --target kavrex_programs make_dump naive_render write_bytes tail_count touch_records >/dev/null ||
  fail "build failed: cmake --build $BUILD"
for p in kavrex kavrex-sim kavrex-reg make_dump naive_render write_bytes tail_count touch_records; do
  [ -x "$BIN/$p" ] || fail "$BIN/$p was not built"
done
KV=$BIN/kavrex
mkdir -p "$WORK"
TMP=$(mktemp -d "${TMPDIR:-/tmp}/kavrex-bench.XXXXXX")

# ---- an installation for the tool's start-up checks ----

export VELMORANDIR=$TMP/velmoran
export VELMORANSERVER=kvbench$$
mkdir -p "$VELMORANDIR/etc" "$VELMORANDIR/msg/en_us/0333"
cp "$BUILD"/msg/en_us/0333/*.vem "$VELMORANDIR/msg/en_us/0333/"
"$BIN/kavrex-reg" setup "$VELMORANSERVER" --dbsa-group "$(id -gn)" >/dev/null ||
  fail "kavrex-reg setup failed"
"$KV" -V >/dev/null 2>&1 || fail "kavrex -V fails in the benchmark installation: $("$KV" -V 2>&1 | head -3)"

# A process that lives as long as the run: its pid is the server pid in the
# dumps, so that a tailing view of a dump waits instead of ending.
sleep 100000 &
HOLDER_PID=$!

# ---- inputs ----

DUMP=$WORK/records.dump
BIG=$WORK/load-$((LOAD_BYTES >> 20))M.dump
"$BIN/make_dump" -n "$RECORDS" --pid "$HOLDER_PID" "$DUMP"
if [ ! -f "$BIG" ] || [ "$(stat -c %s "$BIG")" != "$LOAD_BYTES" ] || [ "$BIN/make_dump" -nt "$BIG" ]; then
  "$BIN/make_dump" -n 100000 --pad-to "$LOAD_BYTES" "$BIG"
fi

echo "kavrex benchmark  $(date -u '+%Y-%m-%d %H:%M UTC')  $(uname -srm)  $(nproc) CPUs"
echo "runs per case: $RUNS; view dump: $RECORDS records, $(($(stat -c %s "$DUMP") >> 20)) MiB; load dump: $((LOAD_BYTES >> 20)) MiB"
echo "B1 = naive renderer, B2 = pre-rendered output copied through a 64 KiB buffer in 64 KiB writes; medians of the runs"
echo

# ---- identity of the tool's views and B1 ----

# show_difference A B: where two outputs part, and that line of each, its
# bytes shown by od.
show_difference() {
  local where line
  where=$(cmp "$1" "$2" 2>&1 || true)
  echo "    $where"
  line=$(sed -n 's/.* line \([0-9]*\).*/\1/p' <<<"$where")
  [ -n "$line" ] || return 0
  echo "    kavrex, line $line:"
  sed -n "${line}p" "$1" | head -c 400 | od -An -c | sed 's/^/      /'
  echo "    B1, line $line:"
  sed -n "${line}p" "$2" | head -c 400 | od -An -c | sed 's/^/      /'
}

WORDS="view fview rview frview"
MISMATCH=0
echo "== output identity (kavrex vs B1, cmp)"
for w in $WORDS; do
  status=0
  "$KV" "$w" "$DUMP" >"$WORK/kavrex.$w.out" 2>"$TMP/err" || status=$?
  "$BIN/naive_render" "$w" "$DUMP" >"$WORK/b1.$w.out"
  if [ "$status" != 0 ]; then
    echo "  $w: kavrex exited with status $status: $(head -c 300 "$TMP/err")"
    MISMATCH=1
  elif cmp -s "$WORK/kavrex.$w.out" "$WORK/b1.$w.out"; then
    echo "  $w: identical, $(stat -c %s "$WORK/kavrex.$w.out") bytes"
  else
    MISMATCH=1
    echo "  $w: *** OUTPUTS DIFFER *** ($(stat -c %s "$WORK/kavrex.$w.out") bytes from kavrex, $(stat -c %s "$WORK/b1.$w.out") from B1)"
    show_difference "$WORK/kavrex.$w.out" "$WORK/b1.$w.out"
  fi
done
[ "$MISMATCH" = 0 ] || echo "  *** the ratios below compare outputs that are not the same bytes ***"
echo

# ---- views of the dump: to /dev/null and into a pipe ----

# The runs of the tool and of the baselines take turns, so that a disturbance
# of the machine hits all of them alike.

kv_null() { "$KV" "$1" "$DUMP" >/dev/null; }
kv_pipe() { "$KV" "$1" "$DUMP" | cat >/dev/null; }
kv_info() { "$KV" info "$DUMP" >/dev/null; }
b1_null() { "$BIN/naive_render" --time "$1" "$DUMP" 2>"$TMP/ns" >/dev/null; }
b1_pipe() { "$BIN/naive_render" --time "$1" "$DUMP" 2>"$TMP/ns" | cat >/dev/null; }
b2_null() { "$BIN/write_bytes" --time "$WORK/kavrex.$1.out" 2>"$TMP/ns" >/dev/null; }
b2_pipe() { "$BIN/write_bytes" --time "$WORK/kavrex.$1.out" 2>"$TMP/ns" | cat >/dev/null; }
own_ns() { REPLY=$(($(awk '{ print $2 }' "$TMP/ns") / 1000)); }
b0_touch() { "$BIN/touch_records" "$DUMP" >/dev/null; }

# Warm the page cache and the programs.
kv_info
kv_null view
b1_null view

echo "== views of the $RECORDS-record dump (kavrex rendering = view - info on the same dump, timed alongside)"
printf '  %-16s %-13s %-7s %-13s %-9s %-13s %-13s %-12s %-11s %-13s %s\n' case "kavrex total" spread "kavrex render" \
  "per rec" "B1 render" "B2 write" "B1/kavrex" "kavrex/B2" "B0 floor" "total/(B0+B2)"
for sink in null pipe; do
  for w in $WORDS; do
    kv=() info=() b1=() b2=() b0=()
    for ((r = 0; r < RUNS; r++)); do
      time_us "kv_$sink" "$w"
      kv+=("$REPLY")
      time_us kv_info
      info+=("$REPLY")
      time_us b0_touch
      b0+=("$REPLY")
      "b1_$sink" "$w"
      own_ns
      b1+=("$REPLY")
      "b2_$sink" "$w"
      own_ns
      b2+=("$REPLY")
    done
    kv_total=$(median "${kv[@]}")
    kv_render=$((kv_total - $(median "${info[@]}")))
    b1_med=$(median "${b1[@]}")
    b2_med=$(median "${b2[@]}")
    b0_med=$(median "${b0[@]}")
    per_record=$(awk -v us="$kv_render" -v n="$RECORDS" 'BEGIN { printf "%.0fns", 1000 * us / n }')
    if [ "$sink" = null ]; then label="$w >/dev/null"; else label="$w | cat"; fi
    printf '  %-16s %-13s %-7s %-13s %-9s %-13s %-13s %-12s %-11s %-13s %s\n' "$label" "$(secs "$kv_total")" \
      "$(spread "${kv[@]}")" "$(secs "$kv_render")" "$per_record" "$(secs "$b1_med")" "$(secs "$b2_med")" \
      "$(ratio "$b1_med" "$kv_render")x" "$(ratio "$kv_render" "$b2_med")x" "$(secs "$b0_med")" \
      "$(ratio "$kv_total" $((b0_med + b2_med)))x"
  done
done
echo "  (spread: largest less smallest of the kavrex runs, against their median;"
echo "   render: total less the median of \`kavrex info\` on the dump, which loads the same image; per rec: render"
echo "   per record; B1/kavrex: how many times faster than the naive renderer; kavrex/B2: times the output limit;"
echo "   B0: loading the dump as the tool does and reading each record once, the floor of any view;"
echo "   total/(B0+B2): the whole view against that floor plus the output limit)"
echo

# ---- kavrex-export of the dump: JSON Lines and SQLite ----

# The same walk of the same dump, once written as JSON Lines to /dev/null
# and once as rows of a new SQLite database file (removed before each run,
# so that every run makes its tables and writes all its rows in one
# transaction, the commit's sync included).
EXPORT=$BIN/kavrex-export
EXPORT_DB=$WORK/export.db
command -v sqlite3 >/dev/null || fail "the sqlite3 program is missing (scripts/install-deps.sh installs it)"
ex_json() { "$EXPORT" "$DUMP" >/dev/null; }
ex_sqlite() { "$EXPORT" --sqlite "$EXPORT_DB" "$DUMP"; }
exported=$("$EXPORT" "$DUMP" | grep -c '"kind":"record"') || fail "kavrex-export of the dump failed"
rm -f "$EXPORT_DB"
ex_sqlite || fail "kavrex-export --sqlite of the dump failed"
rows=$(sqlite3 "$EXPORT_DB" 'SELECT count(*) FROM records') || fail "sqlite3 cannot read $EXPORT_DB"
[ "$rows" = "$exported" ] || fail "kavrex-export --sqlite wrote $rows records, the JSON Lines $exported"
json=() sql=()
for ((r = 0; r < RUNS; r++)); do
  time_us ex_json
  json+=("$REPLY")
  rm -f "$EXPORT_DB"
  time_us ex_sqlite
  sql+=("$REPLY")
done
rm -f "$EXPORT_DB"
json_med=$(median "${json[@]}")
sql_med=$(median "${sql[@]}")
rate() { awk -v n="$1" -v us="$2" 'BEGIN { printf "%.0f records/s", n * 1e6 / us }'; }
echo "== kavrex-export of the $RECORDS-record dump ($exported records exported)"
printf '  %-44s %-14s %-7s %s\n' "kavrex-export DUMP >/dev/null" "$(secs "$json_med")" "$(spread "${json[@]}")" \
  "$(rate "$exported" "$json_med")"
printf '  %-44s %-14s %-7s %s\n' "kavrex-export --sqlite NEW.db DUMP" "$(secs "$sql_med")" "$(spread "${sql[@]}")" \
  "$(rate "$exported" "$sql_med")"
printf '  %-44s %sx (goal: 3x at most)\n' "--sqlite / JSON Lines" "$(ratio "$sql_med" "$json_med")"
echo "  (whole runs, start-up and loading the dump included; medians; spread as above)"
echo

# ---- the views' records rendered on threads ----

# A view of a dump loads and renders on every CPU it may run on unless
# KAVREX_THREADS says otherwise; KAVREX_THREADS=1 is the one-thread walk. Both are checked to
# print the same bytes, then timed in turns; rendering is each total less
# the median of `info` on the same dump.
kv_one() { KAVREX_THREADS=1 "$KV" "$1" "$DUMP" >/dev/null; }
kv_all() { env -u KAVREX_THREADS "$KV" "$1" "$DUMP" >/dev/null; }

THREADS_DIFFER=0
echo "== rendering on threads (default: $(nproc) CPUs; one: KAVREX_THREADS=1)"
for w in $WORDS; do
  KAVREX_THREADS=1 "$KV" "$w" "$DUMP" >"$TMP/one.out" 2>"$TMP/err" || true
  env -u KAVREX_THREADS "$KV" "$w" "$DUMP" >"$TMP/all.out" 2>>"$TMP/err" || true
  if cmp -s "$TMP/one.out" "$TMP/all.out"; then
    echo "  $w: the same bytes on one thread and by default"
  else
    THREADS_DIFFER=1
    echo "  $w: *** ONE THREAD AND DEFAULT DIFFER *** $(head -c 300 "$TMP/err")"
    show_difference "$TMP/all.out" "$TMP/one.out"
  fi
  rm -f "$TMP/one.out" "$TMP/all.out"
done
printf '  %-16s %-13s %-7s %-13s %-7s %-13s %-13s %s\n' case "one total" spread "default total" spread "one render" \
  "default render" "speed-up"
for w in $WORDS; do
  one=() all=() info=()
  for ((r = 0; r < RUNS; r++)); do
    time_us kv_one "$w"
    one+=("$REPLY")
    time_us kv_all "$w"
    all+=("$REPLY")
    time_us kv_info
    info+=("$REPLY")
  done
  info_med=$(median "${info[@]}")
  one_render=$(($(median "${one[@]}") - info_med))
  all_render=$(($(median "${all[@]}") - info_med))
  printf '  %-16s %-13s %-7s %-13s %-7s %-13s %-13s %s\n' "$w >/dev/null" "$(secs "$(median "${one[@]}")")" \
    "$(spread "${one[@]}")" "$(secs "$(median "${all[@]}")")" "$(spread "${all[@]}")" "$(secs "$one_render")" \
    "$(secs "$all_render")" "$(ratio "$one_render" "$all_render")x"
done
echo "  (render: total less the median of \`kavrex info\` timed alongside; speed-up: one render / default render)"
echo

# ---- loading a large dump ----

cat "$BIG" >/dev/null
"$KV" info "$BIG" >/dev/null 2>"$TMP/err" || fail "kavrex info on the load dump failed: $(head -c 300 "$TMP/err")"
shm_free=$(df --output=avail -B1 /dev/shm | tail -n 1)
[ "$shm_free" -gt "$LOAD_BYTES" ] || fail "/dev/shm has $shm_free bytes free, the dd copy needs $LOAD_BYTES"
kv_load() { "$KV" info "$BIG" >/dev/null; }
dd_copy() { dd if="$BIG" of="$SHM_COPY" bs=16k status=none; }
load=() copy=()
kv_load
for ((r = 0; r < RUNS; r++)); do
  time_us kv_load
  load+=("$REPLY")
  time_us dd_copy
  copy+=("$REPLY")
  rm -f "$SHM_COPY"
done
load_med=$(median "${load[@]}")
copy_med=$(median "${copy[@]}")
echo "== loading a $((LOAD_BYTES >> 20)) MiB dump"
printf '  %-44s %s\n' "kavrex info DUMP" "$(secs "$load_med")"
printf '  %-44s %s\n' "dd if=DUMP of=/dev/shm/copy bs=16k" "$(secs "$copy_med")"
printf '  %-44s %sx\n' "kavrex / dd" "$(ratio "$load_med" "$copy_med")"
echo

# ---- against an older build (optional) ----

# KAVREX_BENCH_BASELINE_BIN names the kavrex binary of an older build: the
# same views, timed in turns with this build's, end to end.
if [ -n "${KAVREX_BENCH_BASELINE_BIN:-}" ]; then
  OLD=$KAVREX_BENCH_BASELINE_BIN
  [ -x "$OLD" ] || fail "KAVREX_BENCH_BASELINE_BIN=$OLD is not an executable"
  "$OLD" info "$DUMP" >/dev/null 2>"$TMP/err" || fail "$OLD info on the view dump failed: $(head -c 300 "$TMP/err")"
  echo "== against $OLD (end to end, runs in turns)"
  printf '  %-44s %-13s %-7s %-13s %-7s %s\n' case "this build" spread "older build" spread "this/older"
  old_run() { "$OLD" "$@" >/dev/null; }
  new_run() { "$KV" "$@" >/dev/null; }
  for args in "fview $DUMP" "info $DUMP" "info $BIG"; do
    new=() old=()
    for ((r = 0; r < RUNS; r++)); do
      # shellcheck disable=SC2086 # the words of the case
      time_us new_run $args
      new+=("$REPLY")
      # shellcheck disable=SC2086
      time_us old_run $args
      old+=("$REPLY")
    done
    new_med=$(median "${new[@]}")
    old_med=$(median "${old[@]}")
    printf '  %-44s %-13s %-7s %-13s %-7s %sx\n' "kavrex ${args/$WORK\//}" "$(secs "$new_med")" "$(spread "${new[@]}")" \
      "$(secs "$old_med")" "$(spread "${old[@]}")" "$(ratio "$new_med" "$old_med")"
  done
  echo
fi

# ---- the stand-in server ----

# start_sim ARGS...: starts kavrex-sim for this run's server and waits until
# it is ready.
start_sim() {
  rm -f "$TMP/sim.out" "$TMP/sim.err"  # the last server's "ready" must not count
  "$BIN/kavrex-sim" --server "$VELMORANSERVER" --dir "$VELMORANDIR" --on --level 3 "$@" \
    >"$TMP/sim.out" 2>"$TMP/sim.err" &
  SIM_PID=$!
  local i
  for ((i = 0; i < 500; i++)); do
    grep -qs '^kavrex-sim: ready' "$TMP/sim.out" && return 0
    kill -0 "$SIM_PID" 2>/dev/null || break
    sleep 0.02
  done
  fail "kavrex-sim did not start: $(cat "$TMP/sim.err" 2>/dev/null)"
}
stop_sim() {
  kill -TERM "$SIM_PID"
  wait "$SIM_PID" || fail "kavrex-sim ended with a failure: $(cat "$TMP/sim.err")"
  SIM_PID=
}
# sim_written: sets REPLY to the server's count of records written so far.
sim_written() {
  local before i
  before=$(grep -c '^kavrex-sim: records written' "$TMP/sim.out" || true)
  kill -USR2 "$SIM_PID"
  for ((i = 0; i < 500; i++)); do
    [ "$(grep -c '^kavrex-sim: records written' "$TMP/sim.out" || true)" -gt "$before" ] && break
    sleep 0.01
  done
  REPLY=$(grep '^kavrex-sim: records written' "$TMP/sim.out" | tail -n 1 | awk '{ print $4 }')
}
# status_kb PID FIELD: a VmXxx/RssXxx field of /proc/PID/status in KiB.
status_kb() { awk -v f="$2:" '$1 == f { print $2 }' "/proc/$1/status"; }
# cpu_us PID: the CPU time (user + system) the process has used, in µs. The
# command name is cut off first: it may hold spaces.
cpu_us() {
  local ticks
  ticks=$(sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }')
  echo $((ticks * 1000000 / $(getconf CLK_TCK)))
}

# ---- start-up cost ----

start_sim --records 1000 --rate 1000
loop() {
  local i
  for ((i = 0; i < START_LOOPS; i++)); do "$@" >/dev/null; done
}
t_true=() t_version=() t_info=()
loop "$KV" info
for ((r = 0; r < RUNS; r++)); do
  time_us loop /bin/true
  t_true+=($((REPLY / START_LOOPS)))
  time_us loop "$KV" -V
  t_version+=($((REPLY / START_LOOPS)))
  time_us loop "$KV" info
  t_info+=($((REPLY / START_LOOPS)))
done
stop_sim
true_med=$(median "${t_true[@]}")
version_med=$(median "${t_version[@]}")
info_med=$(median "${t_info[@]}")
echo "== start-up cost (mean of $START_LOOPS runs in a row, median of $RUNS such)"
printf '  %-44s %-14s %s\n' "/bin/true" "$(secs "$true_med")" "1.00x"
printf '  %-44s %-14s %sx\n' "kavrex -V" "$(secs "$version_med")" "$(ratio "$version_med" "$true_med")"
printf '  %-44s %-14s %sx\n' "kavrex info (live server)" "$(secs "$info_med")" "$(ratio "$info_med" "$true_med")"
echo

# ---- following the server: -t fview ----

# tail_run: notes the server's count, empties the ring, then follows the server for TAIL_SECONDS with
# kavrex -t fview into tail_count; sets TAIL_WRITTEN (records the server
# wrote in the window), TAIL_US (the window), TAIL_COUNTS (tail_count's line),
# TAIL_MEM (VmHWM RssShmem RssAnon RssFile of kavrex at the end, KiB) and
# TAIL_CPU (the CPU time of kavrex until it was stopped and of the server in
# the window, µs).
tail_run() {
  rm -f "$TMP/fifo"
  mkfifo "$TMP/fifo"
  "$BIN/tail_count" <"$TMP/fifo" >"$TMP/count" &
  SINK_PID=$!
  sim_written
  local w0=$REPLY t0 sim0
  "$KV" empty >/dev/null
  now_us
  t0=$REPLY
  sim0=$(cpu_us "$SIM_PID")
  "$KV" -t fview >"$TMP/fifo" 2>"$TMP/kv.err" &
  KV_PID=$!
  pause "$TAIL_SECONDS"
  sim_written
  TAIL_WRITTEN=$((REPLY - w0))
  local sim_cpu=$(($(cpu_us "$SIM_PID") - sim0))
  now_us
  TAIL_US=$((REPLY - t0))
  kill -0 "$KV_PID" 2>/dev/null || fail "kavrex -t fview ended early: $(head -c 300 "$TMP/kv.err")"
  TAIL_MEM="$(status_kb "$KV_PID" VmHWM) $(status_kb "$KV_PID" RssShmem) $(status_kb "$KV_PID" RssAnon) $(status_kb "$KV_PID" RssFile)"
  stop_pid "$KV_PID"
  KV_PID=
  TAIL_CPU="${STOPPED_CPU_US:-0} $sim_cpu"
  wait "$SINK_PID"
  SINK_PID=
  TAIL_COUNTS=$(cat "$TMP/count")
}
# stop_pid PID: ends a child with SIGTERM (a background job of a script
# starts with SIGINT ignored, and the tool keeps an ignored interrupt
# ignored), kills it if it is still there after two seconds, and reaps it;
# STOPPED_CPU_US is the CPU time it had used when it was told to end (bash
# reaps a child as it ends, so the end cannot be read).
stop_pid() {
  local i
  STOPPED_CPU_US=$(cpu_us "$1" 2>/dev/null || true)
  kill -TERM "$1" 2>/dev/null || true
  for ((i = 0; i < 100; i++)); do
    [ "$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null)" = Z ] && break
    kill -0 "$1" 2>/dev/null || break
    sleep 0.02
  done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
count_of() { awk -v k="$1" '{ for (i = 1; i < NF; i += 2) if ($i == k) print $(i + 1) }' <<<"$2"; }
per_second() { awk -v n="$1" -v us="$2" 'BEGIN { printf "%.2fM/s", n / us }'; }

PEAK_LIVE_KB=0
# tail_case LABEL SIM-ARGS...: RUNS windows against a fresh server.
tail_case() {
  local label=$1
  shift
  start_sim --records "$SIM_RING" --threads "$SIM_THREADS" "$@"
  local written=() printed=() spans=() again=() torn=() window=() reader=() server=() messages="" notes="" r rec msg
  for ((r = 0; r < RUNS; r++)); do
    tail_run
    rec=$(count_of new "$TAIL_COUNTS")
    # The records the server wrote from the first new one printed to the
    # newest: the stamps bound them exactly, where the server's counter,
    # read before and after the window, cannot (the view goes on printing
    # while it is being stopped).
    spans+=($(($(count_of newest "$TAIL_COUNTS") - $(count_of first "$TAIL_COUNTS") + 1)))
    again+=("$(count_of again "$TAIL_COUNTS")")
    torn+=("$(count_of torn "$TAIL_COUNTS")")
    [ "$(count_of again "$TAIL_COUNTS")" = 0 ] ||
      notes="$notes    window $((r + 1)): again $(count_of again "$TAIL_COUNTS"), the first on line $(count_of first_again_line "$TAIL_COUNTS") of the view (stamp $(count_of again_stamp "$TAIL_COUNTS")), below stamp $(count_of bar "$TAIL_COUNTS") printed on line $(count_of bar_line "$TAIL_COUNTS")
"
    msg=$(($(count_of skipping "$TAIL_COUNTS") + $(count_of max_skip "$TAIL_COUNTS") + $(count_of faults "$TAIL_COUNTS")))
    written+=("$TAIL_WRITTEN")
    printed+=("$rec")
    # CPU time per record: the reader's per record line it printed (new,
    # again or torn, until it was stopped), the server's per record written
    # in the window.
    set -- $TAIL_CPU
    reader+=("$(awk -v c="$1" -v n="$(count_of records "$TAIL_COUNTS")" 'BEGIN { printf "%.3f", (n > 0 ? c / n : 0) }')")
    server+=("$(awk -v c="$2" -v n="$TAIL_WRITTEN" 'BEGIN { printf "%.3f", (n > 0 ? c / n : 0) }')")
    set --
    window+=("$TAIL_US")
    messages="$messages $msg"
    set -- $TAIL_MEM
    [ $(($1 - $2)) -gt "$PEAK_LIVE_KB" ] && PEAK_LIVE_KB=$(($1 - $2))
    set --
  done
  stop_sim
  local w p a u shares=()
  for ((r = 0; r < RUNS; r++)); do shares+=("$(ratio "${printed[r]}" "${spans[r]}")"); done
  w=$(median "${written[@]}")
  p=$(median "${printed[@]}")
  a="$(median "${again[@]}") / $(median "${torn[@]}")"
  u=$(median "${window[@]}")
  local cpu
  cpu="$(median "${reader[@]}") / $(median "${server[@]}")"
  printf '  %-20s %-22s %-20s %-14s %-16s %s\n' "$label" "$w ($(per_second "$w" "$u"))" "$p ($(median "${shares[@]}"))" "$a" \
    "$cpu" "$messages"
  printf '%s' "$notes"
}

# The most the server writes here with nobody reading.
start_sim --records "$SIM_RING" --threads "$SIM_THREADS" --flat-out
sim_written
w0=$REPLY
now_us
t0=$REPLY
pause "$TAIL_SECONDS"
sim_written
alone=$((REPLY - w0))
now_us
alone_rate=$((alone * 1000000 / (REPLY - t0)))
stop_sim
goal=$GOAL_RATE
[ "$alone_rate" -lt "$goal" ] && goal=$alone_rate

echo "== kavrex -t fview | tail_count, following kavrex-sim ($SIM_THREADS writer thread(s), ring of $SIM_RING), ${TAIL_SECONDS} s windows"
echo "  the server alone, flat out: $alone_rate records/s; goal rate: $goal/s"
printf '  %-20s %-22s %-20s %-14s %-16s %s\n' "server rate" "written (rate)" "new printed (share)" "again / torn" "µs/rec kv / sim" \
  "overrun messages per run"
tail_case "flat out" --flat-out
tail_case "1000000/s" --rate 1000000
tail_case "$goal/s (goal)" --rate "$goal"
echo "  (each window starts with \`kavrex empty\`; written: the server's count over the window; new printed:"
echo "   record lines whose stamp is above all before; share: of the records the server wrote from the first"
echo "   of them to the newest, by their stamps; again: record lines whose stamp is not above all before"
echo "   (a record printed a second time, or older than one printed before it); torn: record lines followed"
echo "   by an overrun message or standing above the line after them, which may mix two records and count"
echo "   as neither new nor again;"
echo "   µs/rec: CPU time of kavrex per record line it printed / of the server per record it wrote; medians)"
echo

# ---- private memory at peak ----

# A tailing view of the dump prints what a one-pass view prints, then waits
# (its server pid is the holder's); at that point the whole image is loaded
# and every record rendered.
# mem_run: one such view; sets MEM to "private VmHWM RssShmem RssAnon RssFile"
# (KiB) once the dump is printed.
mem_run() {
  rm -f "$TMP/mem.out"  # the last run's output must not count
  "$KV" -t fview "$DUMP" >"$TMP/mem.out" 2>"$TMP/kv.err" &
  KV_PID=$!
  local want i
  want=$(stat -c %s "$WORK/kavrex.fview.out")
  for ((i = 0; i < 3000; i++)); do
    [ "$(stat -c %s "$TMP/mem.out" 2>/dev/null || echo 0)" -ge "$want" ] && break
    kill -0 "$KV_PID" 2>/dev/null || break
    sleep 0.02
  done
  kill -0 "$KV_PID" 2>/dev/null || fail "kavrex -t fview DUMP ended early: $(head -c 300 "$TMP/kv.err")"
  local hwm shmem
  hwm=$(status_kb "$KV_PID" VmHWM)
  shmem=$(status_kb "$KV_PID" RssShmem)
  MEM="$((hwm - shmem)) $hwm $shmem $(status_kb "$KV_PID" RssAnon) $(status_kb "$KV_PID" RssFile)"
  stop_pid "$KV_PID"
  KV_PID=
}
# mem_view: the one-pass fview of the dump on the default threads, held
# near its end: its output goes to a pipe whose reader stops reading 1 MiB
# short of the whole, so that the tool waits in a write with every part in
# flight; sets VIEW_MEM to "private VmHWM RssShmem" (KiB) then.
mem_view() {
  local fifo=$TMP/mem.fifo want i
  rm -f "$fifo"
  mkfifo "$fifo"
  want=$(stat -c %s "$WORK/kavrex.fview.out")
  env -u KAVREX_THREADS "$KV" fview "$DUMP" >"$fifo" 2>"$TMP/kv.err" &
  KV_PID=$!
  exec 9<"$fifo"
  head -c $((want - 1048576)) <&9 >/dev/null
  # The rest of the pipe fills; the tool then sleeps in its write.
  for ((i = 0; i < 500; i++)); do
    [ "$(awk '{ print $3 }' "/proc/$KV_PID/stat" 2>/dev/null)" = S ] && break
    sleep 0.01
  done
  sleep 0.1
  local hwm shmem
  hwm=$(status_kb "$KV_PID" VmHWM)
  shmem=$(status_kb "$KV_PID" RssShmem)
  VIEW_MEM="$((hwm - shmem)) $hwm $shmem"
  exec 9<&-
  wait "$KV_PID" 2>/dev/null || true
  KV_PID=
  rm -f "$fifo"
}
view_peak=-1
for ((r = 0; r < RUNS; r++)); do
  mem_view
  set -- $VIEW_MEM
  if [ "$1" -gt "$view_peak" ]; then
    view_peak=$1
    view_peak_line=$VIEW_MEM
  fi
done
peak=-1
for ((r = 0; r < RUNS; r++)); do
  mem_run
  set -- $MEM
  if [ "$1" -gt "$peak" ]; then
    peak=$1
    peak_line=$MEM
  fi
done
set -- $peak_line
echo "== private memory (from /proc/PID/status: peak RSS VmHWM minus the image pages RssShmem; largest of the runs)"
printf '  %-44s %s KiB (VmHWM %s, RssShmem %s; at the end RssAnon %s, RssFile %s)\n' \
  "kavrex -t fview DUMP, after the last record" "$1" "$2" "$3" "$4" "$5"
set --
printf '  %-44s %s KiB\n' "kavrex -t fview live, largest over the runs" "$PEAK_LIVE_KB"
set -- $view_peak_line
printf '  %-44s %s KiB (VmHWM %s, RssShmem %s)\n' "kavrex fview DUMP on $(nproc) threads, near its end" "$1" "$2" "$3"
set --
echo
[ "$MISMATCH" = 0 ] || fail "kavrex and B1 differ (see the identity section above)"
[ "$THREADS_DIFFER" = 0 ] || fail "kavrex on one thread and by default differ (see the threads section above)"
