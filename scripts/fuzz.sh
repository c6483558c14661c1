#!/bin/sh
# Builds the fuzz targets and runs each for SECONDS (default 60), one after
# the other, starting from the seeds that make_seeds builds and the kept
# regressions in fuzz/regressions/<target>. A finding stops the script with
# status 1 and leaves the input in fuzz/findings/<target>/.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
sh scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
bin=build-fuzz/bin
"$bin/make_seeds" build-fuzz/seeds
targets=${*:-$(cd fuzz && ls *_fuzz.cpp | sed 's/\.cpp$//')}
for t in $targets; do
  corpus=build-fuzz/corpus/$t
  mkdir -p "$corpus" "fuzz/findings/$t"
  # Every kept regression must pass before new inputs are searched for.
  if [ -d "fuzz/regressions/$t" ] && [ -n "$(ls "fuzz/regressions/$t")" ]; then
    "$bin/$t" -runs=0 fuzz/regressions/$t/* >/dev/null 2>&1 || {
      echo "fuzz: $t fails on a kept regression" >&2
      "$bin/$t" -runs=0 fuzz/regressions/$t/* 2>&1 | tail -30 >&2
      exit 1
    }
  fi
  seeds=""
  [ -d "build-fuzz/seeds/$t" ] && seeds="build-fuzz/seeds/$t"
  echo "fuzz: $t for ${seconds}s"
  "$bin/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="fuzz/findings/$t/" "$corpus" $seeds 2>"build-fuzz/$t.log" || {
    echo "fuzz: $t found a failure; see build-fuzz/$t.log and fuzz/findings/$t/" >&2
    tail -40 "build-fuzz/$t.log" >&2
    exit 1
  }
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "build-fuzz/$t.log" | sed "s/^/fuzz: $t /"
  rmdir "fuzz/findings/$t" 2>/dev/null || true
done
