#!/usr/bin/env bash
# The real-driver rig: one QEMU guest with Debian's kernel (ftdi_sio behind
# QEMU's emulated USB-serial adapters hot-plugged over QMP, 8250 UARTs),
# udevd, and the project's programs; simulated gimbals run on the host.
# Every case is reported by name; one failing case fails the run.
#   rig/run.sh [BUILD_DIR] [CASE-NAME-PART...]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
shift || true

if ! cache=$(./rig/setup.sh | tail -n1); then
  if ! command -v qemu-system-x86_64 >/dev/null; then
    echo "rig: SKIPPED: QEMU (qemu-system-x86) could not be installed on this machine"
    exit 0
  fi
  echo "rig: set-up failed" >&2
  exit 1
fi
cmake --build "$build" --target quenlo-flash rig_probe trisk_rig_driver gimbal-sim gimbal-make-image >/dev/null
PYTHONDONTWRITEBYTECODE=1 exec /usr/bin/python3 rig/run.py "$cache" "$build" "$@"
