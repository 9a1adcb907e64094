#!/usr/bin/env bash
# Checks the .deb in dist/ the way a distribution would (desktop entries,
# AppStream metadata, lintian), then installs it, runs one whole upgrade with
# the installed quenlo-flash against the installed gimbal-sim, and removes the
# package again. Needs root or sudo; CI runs it after scripts/package.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh desktop-file-utils appstream lintian

debs=(dist/gimbal-firmware-tools_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "expected exactly one package in dist/, found: ${debs[*]}" >&2
  exit 1
fi
deb=${debs[0]}
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

work=$(mktemp -d)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "-- the files as packaged"
dpkg-deb -x "$deb" "$work/root"
desktop-file-validate "$work"/root/usr/share/applications/*.desktop
appstreamcli validate --no-net "$work"/root/usr/share/metainfo/*.metainfo.xml
# Errors fail; warnings are printed for the record.
lintian --fail-on error "$deb"
echo "package size: $(stat -c %s "$deb") bytes, installed: $(dpkg-deb -f "$deb" Installed-Size) KiB"

echo "-- installed: one whole upgrade"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "./$deb"
/usr/bin/gimbal-make-image "$work/firmware.bin"
mkfifo "$work/sim-out"
/usr/bin/gimbal-sim --out "$work" > "$work/sim-out" &
sim_pid=$!
exec 3< "$work/sim-out"
read -r -t 30 port <&3
/usr/bin/quenlo-flash --port "$port" "$work/firmware.bin"
kill -TERM "$sim_pid"
wait "$sim_pid"
sim_pid=""
cat <&3
# What the gimbal received, byte for byte: the file's three images after its
# 8-byte header (gimbal-make-image's default: 3, 2 and 4 blocks of 1024 bytes).
cat "$work/mcu0.bin" "$work/mcu1.bin" "$work/mcu2.bin" > "$work/received.bin"
tail -c +9 "$work/firmware.bin" | cmp - "$work/received.bin"
for program in Quenlo Trisk quenlo-flash gimbal-sim gimbal-make-image; do
  man -w "$program" > /dev/null
done

echo "-- removed again"
DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y gimbal-firmware-tools
if command -v quenlo-flash > /dev/null; then
  echo "quenlo-flash is still installed after removal" >&2
  exit 1
fi
