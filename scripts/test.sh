#!/bin/sh
# Installs what is missing, builds kavrex and runs the whole test suite twice:
# the plain build, then under AddressSanitizer + UndefinedBehaviorSanitizer.
# Set KAVREX_SKIP_SANITIZE=1 to run the plain build only.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
jobs=$(nproc)

cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"

if [ "${KAVREX_SKIP_SANITIZE:-0}" != 1 ]; then
  cmake --preset sanitize >/dev/null
  cmake --build --preset sanitize -j "$jobs"
  ctest --preset sanitize -j "$jobs"
fi
