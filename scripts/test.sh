#!/usr/bin/env bash
# Builds and runs the whole test suite.
#   scripts/test.sh              normal build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/
#   scripts/test.sh --qt6        against Qt 6 instead of Qt 5, in build-qt6/ (installs Qt 6 first)
set -euo pipefail
cd "$(dirname "$0")/.."

export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
# Most tests wait on serial lines and timers rather than compute, so twice as
# many run at once as there are cores.
jobs="${TEST_JOBS:-$(( $(nproc) * 2 ))}"
if [ "${1:-}" = "--sanitize" ]; then
  export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=1"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
  export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
  BUILD_DIR="${BUILD_DIR:-build-asan}" scripts/build.sh -DGIMBAL_SANITIZE=ON -DGIMBAL_BENCH=OFF
  ctest --test-dir "${BUILD_DIR:-build-asan}" --output-on-failure -j "$jobs"
elif [ "${1:-}" = "--qt6" ]; then
  scripts/setup.sh qt6-base-dev qt6-serialport-dev
  BUILD_DIR="${BUILD_DIR:-build-qt6}" scripts/build.sh -DGIMBAL_QT_MAJOR=6 -DGIMBAL_BENCH=OFF
  ctest --test-dir "${BUILD_DIR:-build-qt6}" --output-on-failure -j "$jobs"
else
  scripts/build.sh
  ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j "$jobs"
fi
