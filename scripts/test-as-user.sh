#!/usr/bin/env bash
# Runs the serial, platform, flash and Trisk test programs of an existing
# build once as an ordinary user, since users run the tools without root and
# root is exempt from file modes and the terminal's exclusive flag.
#   BUILD_DIR=build scripts/test-as-user.sh
# As root it switches to nobody:nogroup with a scratch HOME, XDG_RUNTIME_DIR
# and TMPDIR of that user's own; as anyone else it runs them as that user.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="$(realpath "${BUILD_DIR:-build}")"
user=nobody
group=nogroup

programs=(
  tests/upgrader/upgrader_platform_tests
  tests/upgrader/upgrader_serial_tests
  tests/upgrader/flash/quenlo_flash_tests
  tests/Trisk/trisk_tests
)
# Started by the flash tests.
needed=(upgrader/flash/quenlo-flash "${programs[@]}")
for p in "${needed[@]}"; do
  if [ ! -x "$build_dir/$p" ]; then
    echo "$build_dir/$p is missing: build first" >&2
    exit 1
  fi
done

export QT_QPA_PLATFORM=offscreen
if [ "$(id -u)" -ne 0 ]; then
  status=0
  for p in "${programs[@]}"; do
    echo "-- $p as $(id -un)"
    "$build_dir/$p" --gtest_brief=1 || status=1
  done
  exit $status
fi

as_user() {
  setpriv --reuid="$user" --regid="$group" --clear-groups "$@"
}

# The checkout may live where others may not pass (a home folder of mode
# 0700). Let the user through for this run only: search permission on the
# folders above each program, read and execute on the program, all put back
# on exit.
restore=()
scratch=""
cleanup() {
  local i
  for ((i = ${#restore[@]} - 1; i >= 0; i--)); do
    chmod "${restore[i]%%:*}" "${restore[i]#*:}" || true
  done
  if [ -n "$scratch" ]; then rm -rf "$scratch"; fi
}
trap cleanup EXIT

open_up() {
  local path=$1 mode
  if [ "$path" != / ]; then open_up "$(dirname "$path")"; fi
  mode=$(stat -c %a "$path")
  if [ -d "$path" ] && ! as_user test -x "$path"; then
    restore+=("$mode:$path")
    chmod o+x "$path"
  elif [ -f "$path" ] && ! { as_user test -r "$path" && as_user test -x "$path"; }; then
    restore+=("$mode:$path")
    chmod o+rx "$path"
  fi
}

for p in "${needed[@]}"; do
  if ! { as_user test -r "$build_dir/$p" && as_user test -x "$build_dir/$p"; }; then
    open_up "$build_dir/$p"
  fi
  if ! as_user test -x "$build_dir/$p"; then
    echo "$user cannot run $build_dir/$p (ACLs or a mount option?)" >&2
    exit 1
  fi
done

# /tmp, not $TMPDIR: the user must be able to reach it.
scratch=$(mktemp -d /tmp/gimbal-user-tests.XXXXXX)
chown "$user:$group" "$scratch"

# A lock file that root left behind keeps the user off that device node.
lock_leftovers=$(find -H /var/lock -maxdepth 1 -name 'LCK..*' -user 0 2>/dev/null || true)
if [ -n "$lock_leftovers" ]; then
  echo "note: lock files of root present before the run:" $lock_leftovers >&2
fi

# The programs mostly wait on lines and timers, so they run side by side,
# each with a home, runtime folder (where virtual ports are listed) and
# temporary folder of its own; their output is shown one after the other.
# Trisk's window tests take a minute one after the other: they run in four
# shards.
runs=()
for p in "${programs[@]}"; do
  shards=1
  if [ "$p" = tests/Trisk/trisk_tests ]; then shards=4; fi
  for ((s = 0; s < shards; s++)); do runs+=("$p:$s:$shards"); done
done
pids=()
for i in "${!runs[@]}"; do
  IFS=: read -r p shard shards <<<"${runs[i]}"
  own="$scratch/$i"
  as_user mkdir -m 0700 "$own" "$own/home" "$own/runtime" "$own/tmp"
  (cd "$own/home" && as_user env -i PATH="/usr/local/bin:/usr/bin:/bin" HOME="$own/home" \
     USER="$user" LOGNAME="$user" XDG_RUNTIME_DIR="$own/runtime" TMPDIR="$own/tmp" \
     QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 GTEST_SHARD_INDEX="$shard" GTEST_TOTAL_SHARDS="$shards" \
     "$build_dir/$p" --gtest_brief=1) >"$scratch/$i.log" 2>&1 &
  pids+=($!)
done
status=0
for i in "${!runs[@]}"; do
  wait "${pids[i]}" || status=1
  IFS=: read -r p shard shards <<<"${runs[i]}"
  echo "-- $p as $user$([ "$shards" -gt 1 ] && echo ", part $((shard + 1)) of $shards")"
  cat "$scratch/$i.log"
done
exit $status
