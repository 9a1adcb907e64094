#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need,
# and any further package named on the command line (scripts/package.sh adds
# its own). Quick when everything is already there; uses sudo when not root.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config git
  qtbase5-dev libqt5serialport5-dev libudev-dev
  libgtest-dev libgmock-dev libbenchmark-dev libboost-dev
  libcli11-dev nlohmann-json3-dev
  dbus clang libclang-rt-14-dev
  fonts-dejavu-core
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
