#!/usr/bin/env bash
# A whole firmware upgrade without hardware: starts the simulated gimbal on a
# virtual serial port (a pseudo-terminal linked into the per-user folder that
# both windows list), makes a sample three-MCU image, upgrades the gimbal with
# quenlo-flash, and checks that what the gimbal recorded equals the file.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"
work="$(mktemp -d)"
sim_pid=""
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT

"$build/sim/gimbal-make-image" "$work/firmware.bin" --blocks 12,8,16
"$build/sim/gimbal-sim" --dialect pages --firmware-version 123 --baud 115200 --link "demo-gimbal-$$" \
  --out "$work" > "$work/sim.log" &
sim_pid=$!
for _ in $(seq 200); do [ -s "$work/sim.log" ] && break; sleep 0.05; done
port="$(head -n1 "$work/sim.log")"
if [ -z "$port" ]; then
  echo "the simulated gimbal did not start" >&2
  exit 1
fi
echo "Simulated gimbal on the virtual serial port $port -> $(readlink "$port")"
echo "(115200 baud, paced like a real line)"
echo

"$build/upgrader/flash/quenlo-flash" --port "$port" "$work/firmware.bin"

# SIGTERM: a script's background job starts with SIGINT ignored, and
# gimbal-sim leaves a signal ignored that it was started with ignored.
kill -TERM "$sim_pid"
wait "$sim_pid" || true
sim_pid=""
echo
echo "What the simulated gimbal recorded:"
tail -n +2 "$work/sim.log"

# The pages of each MCU follow the 8-byte header back to back.
offset=8
for mcu in 0 1 2; do
  size=$(stat -c %s "$work/mcu$mcu.bin")
  if cmp -s <(tail -c +$((offset + 1)) "$work/firmware.bin" | head -c "$size") "$work/mcu$mcu.bin"; then
    echo "MCU $mcu: $size bytes, equal to the file"
  else
    echo "MCU $mcu: differs from the file" >&2
    exit 1
  fi
  offset=$((offset + size))
done

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  cat <<EOF

To try the windows against the simulated gimbal, start one in a terminal and leave it running:
  $build/sim/gimbal-sim --link gimbal
then run $build/upgrader/app/Quenlo: "gimbal" is in its port list (Open, then Start with
a file made by $build/sim/gimbal-make-image). For Trisk, start the simulator with
  $build/sim/gimbal-sim --dialect blocks --link gimbal
and pick the port named by the path that gimbal-sim prints in $build/Trisk/Trisk.
EOF
fi
