#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each on a
# copy of its seed corpus (fuzz/corpus/<target>/) for a bounded time.
# Fails on any finding: crash, sanitizer report, leak, time-out or memory blow-up.
#   scripts/fuzz.sh              about ten seconds per target
#   FUZZ_SECONDS=60 scripts/fuzz.sh
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR="${BUILD_DIR:-build-fuzz}"
SECONDS_PER_TARGET="${FUZZ_SECONDS:-10}"
targets=(crc_fuzz outside_text_fuzz reply_assembler_fuzz bench_record_fuzz upgrade_frames_fuzz firmware_image_fuzz packet_descriptor_fuzz
         trisk_parse_fuzz trisk_file_fuzz)

CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -G Ninja \
  -DGIMBAL_FUZZ=ON -DGIMBAL_TESTS=OFF -DGIMBAL_BENCH=OFF >/dev/null
ninja -C "$BUILD_DIR" -j2 gimbal_fuzz

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"

work="$BUILD_DIR/fuzz-run"
rm -rf "$work"
mkdir -p "$work/tmp"
export TMPDIR="$(cd "$work/tmp" && pwd)"   # the targets' scratch files

# One target per core at a time, each for its own time.
run_target() {
  local t=$1
  mkdir -p "$work/$t/corpus"
  cp fuzz/corpus/"$t"/* "$work/$t/corpus/"
  if "$BUILD_DIR/fuzz/$t" -max_total_time="$SECONDS_PER_TARGET" -timeout=20 -rss_limit_mb=4096 \
       -print_final_stats=1 -artifact_prefix="$work/$t/" "$work/$t/corpus" >"$work/$t/log" 2>&1; then
    echo ok >"$work/$t/result"
  else
    echo finding >"$work/$t/result"
  fi
}
start=$(date +%s)
running=0
for t in "${targets[@]}"; do
  echo "== $t (${SECONDS_PER_TARGET}s)"
  run_target "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$(nproc)" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

failed=()
summary=()
for t in "${targets[@]}"; do
  if [ "$(cat "$work/$t/result" 2>/dev/null)" = ok ]; then
    runs=$(grep -o 'Done [0-9]* runs' "$work/$t/log" | tail -1 || true)
    summary+=("$t: ${runs:-?}")
  else
    failed+=("$t")
    summary+=("$t: FINDING (see $work/$t/log and $work/$t/crash-* etc.)")
    grep -E -A30 'ERROR|check failed|runtime error' "$work/$t/log" | head -60 >&2 || tail -40 "$work/$t/log" >&2
  fi
done

echo "== fuzzing summary ($(( $(date +%s) - start ))s)"
printf '  %s\n' "${summary[@]}"
if [ ${#failed[@]} -ne 0 ]; then
  echo "Findings in: ${failed[*]}" >&2
  exit 1
fi
