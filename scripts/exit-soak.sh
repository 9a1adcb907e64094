#!/usr/bin/env bash
# Runs the exit paths of quenlo-flash, Quenlo and Trisk many times over, on a
# loaded machine, and counts every run that crashed, hung or left a sanitizer
# report. A crash at exit comes from threads that outlive the application
# object, and shows only now and then, most often under load.
#
#   scripts/exit-soak.sh [RUNS]      RUNS of each program (default 200)
#   BUILD_DIR=build-asan scripts/exit-soak.sh   the sanitizer build's programs
#   SOAK_HOGS=N     N busy loops beside the runs (default 2)
#   SOAK_SUITE=1    the test suite of BUILD_DIR runs beside too, over and over
#
# quenlo-flash: a whole upgrade, every other run stopped by SIGTERM at some
# point; Quenlo and Trisk: the port opened through the window, then SIGTERM.
# A failed run is counted and reported, never the end of the soak.
set -uo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"
runs="${1:-200}"
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$PWD/scripts/lsan.supp:print_suppressions=0}"

work="$(mktemp -d "$PWD/$build/exit-soak.XXXXXX")" || exit 1
main_shell=$BASHPID
# Its own runtime folder, so that the suite beside never meets its links.
mkdir -m 700 "$work/runtime"
soak_env=(env XDG_RUNTIME_DIR="$work/runtime")
helpers=()
cleanup() {
  [ "$BASHPID" = "$main_shell" ] || return 0  # never from a subshell
  for pid in "${helpers[@]}"; do kill -- "-$pid" 2>/dev/null || kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

for _ in $(seq "${SOAK_HOGS:-2}"); do
  (while :; do :; done) &
  helpers+=($!)
done
if [ "${SOAK_SUITE:-0}" = 1 ]; then
  # In a session of its own: its tests' signals never reach this script.
  setsid bash -c "while :; do ctest --test-dir '$build' -j 2 > /dev/null 2>&1; done" &
  helpers+=($!)
fi

# A simulated gimbal that stays up across every run; its first line is its port.
start_sim() {
  local name="$1" dialect="$2"
  "${soak_env[@]}" "$build/sim/gimbal-sim" --dialect "$dialect" --announce-ms 20 --link "soak-$name-$$" > "$work/$name-sim.log" 2>&1 &
  helpers+=($!)
  for _ in $(seq 400); do [ -s "$work/$name-sim.log" ] && break; sleep 0.05; done
  head -n1 "$work/$name-sim.log"
}

# Waits up to $2 seconds for the line $1 in the file $3.
wait_for_line() {
  for _ in $(seq $(( $2 * 20 ))); do
    grep -qx "$1" "$3" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}

# Runs one program to its end: $1 label, $2 seconds allowed, $3 expected exit
# codes (a regex), then the command. "OPEN" on its output, where it prints it,
# is answered with SIGTERM; SOAK_STOP_AFTER (seconds) sends it regardless.
declare -A ok=() bad=()
run_one() {
  local label="$1" limit="$2" expected="$3"
  shift 3
  "${soak_env[@]}" "$@" > "$work/out" 2> "$work/err" &
  local pid=$! status
  if [ -n "${SOAK_STOP_AFTER:-}" ]; then
    sleep "$SOAK_STOP_AFTER"
    kill -TERM "$pid" 2>/dev/null || true
  elif [ "${SOAK_WAIT_OPEN:-0}" = 1 ]; then
    wait_for_line OPEN "$limit" "$work/out" && kill -TERM "$pid" 2>/dev/null || true
  fi
  local waited=0
  while kill -0 "$pid" 2>/dev/null && [ "$waited" -lt $(( limit * 20 )) ]; do
    sleep 0.05
    waited=$(( waited + 1 ))
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    report "$label" "hung (killed after $limit s)"
    return
  fi
  status=0
  wait "$pid" || status=$?
  if grep -qE "Sanitizer|runtime error:" "$work/err"; then
    report "$label" "sanitizer report"
  elif ! [[ "$status" =~ ^($expected)$ ]]; then
    report "$label" "exit status $status"
  else
    ok[$label]=$(( ${ok[$label]:-0} + 1 ))
  fi
}
report() {
  bad[$1]=$(( ${bad[$1]:-0} + 1 ))
  echo "$1: $2" >&2
  sed -n '1,20p' "$work/err" >&2
}

"$build/sim/gimbal-make-image" "$work/firmware.bin" --blocks 3,2,4 > /dev/null || exit 1
pages_port="$(start_sim pages pages)"
blocks_port="$(start_sim blocks blocks)"
[ -n "$pages_port" ] && [ -n "$blocks_port" ] || { echo "the simulated gimbals did not start" >&2; exit 1; }

start=$SECONDS
for i in $(seq "$runs"); do
  if (( i % 2 )); then
    run_one quenlo-flash 60 0 "$build/upgrader/flash/quenlo-flash" --port "$pages_port" "$work/firmware.bin"
  else
    SOAK_STOP_AFTER="0.$(( RANDOM % 10 ))" run_one quenlo-flash 60 "0|143" \
      "$build/upgrader/flash/quenlo-flash" --port "$pages_port" "$work/firmware.bin"
  fi
  SOAK_WAIT_OPEN=1 run_one Quenlo 60 143 "$build/tests/upgrader/app/quenlo_signal_harness" "$pages_port"
  SOAK_WAIT_OPEN=1 run_one Trisk 60 143 "$build/tests/Trisk/trisk_signal_harness" "$blocks_port"
done

failed=0
for label in quenlo-flash Quenlo Trisk; do
  echo "$label: ${ok[$label]:-0} clean exits, ${bad[$label]:-0} failed"
  failed=$(( failed + ${bad[$label]:-0} ))
done
echo "$(( runs * 3 )) runs in $(( SECONDS - start )) s (load: ${SOAK_HOGS:-2} busy loops$([ "${SOAK_SUITE:-0}" = 1 ] && echo ", the suite"))"
[ "$failed" -eq 0 ]
