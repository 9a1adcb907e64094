#!/usr/bin/env bash
# Shows the simulated gimbal at work without hardware: starts gimbal-sim on a
# pseudo-terminal, listens to its announcements like a tool that opened the
# port, answers, sends one page and a switch request, and prints what the
# gimbal recorded.
set -euo pipefail
cd "$(dirname "$0")/.."
sim="${BUILD_DIR:-build}/sim/gimbal-sim"
out="$(mktemp -d)"
trap 'kill "$sim_pid" 2>/dev/null || true; rm -rf "$out"' EXIT

hex() { od -An -v -tx1 | tr -s ' \n' ' ' | sed 's/^ //'; }

"$sim" --dialect pages --version 123 --out "$out" > "$out/sim.log" &
sim_pid=$!
for _ in $(seq 100); do [ -s "$out/sim.log" ] && break; sleep 0.05; done
port="$(head -n1 "$out/sim.log")"
echo "Simulated gimbal listening on $port"

exec 3<>"$port"
stty -F "$port" raw -echo 115200
echo "Listening for 1.2 s (the gimbal announces itself every 500 ms):"
timeout 1.2 cat <&3 > "$out/announce.bin" || true
hex < "$out/announce.bin" | fold -w 36; echo

echo "Host -> gimbal: enter upgrade mode 55 aa 00 01 00 00 f0 b3"
printf '\x55\xaa\x00\x01\x00\x00\xf0\xb3' >&3
echo "Host -> gimbal: page 0 of MCU 0 (1024 bytes of 0xff, CRC 24 75)"
{ printf '\x55\xaa\x00\x02\x04\x04\x00\x00\x00\x00'
  head -c 1024 /dev/zero | tr '\0' '\377'
  printf '\x24\x75'; } >&3
timeout 1 cat <&3 > "$out/ack.bin" || true
echo "Gimbal -> host: $(hex < "$out/ack.bin")"
echo "Host -> gimbal: switch MCU 55 aa 00 07 00 00 50 01"
printf '\x55\xaa\x00\x07\x00\x00\x50\x01' >&3
timeout 1 cat <&3 > "$out/switch.bin" || true
echo "Gimbal -> host: $(hex < "$out/switch.bin")"
exec 3<&-

kill -INT "$sim_pid"
wait "$sim_pid" || true
echo "The simulator's own report:"
tail -n +2 "$out/sim.log"
echo "mcu0.bin holds $(wc -c < "$out/mcu0.bin") bytes: $(head -c 8 "$out/mcu0.bin" | hex)..."
