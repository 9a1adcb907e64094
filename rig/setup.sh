#!/usr/bin/env bash
# Installs QEMU on the host and fetches, never installs, the guest's Debian
# packages (kernel, busybox, udev) into a cache outside the repository.
# Prints the cache folder. Quick when everything is there already.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh qemu-system-x86 python3

cache="${GIMBAL_RIG_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/gimbal-vm-rig}"
mkdir -p "$cache/debs" "$cache/root"

# The versioned kernel that the meta package points at, so that a kernel
# update changes the cache rather than reusing a stale one.
kernel=$(apt-cache depends linux-image-amd64 2>/dev/null |
  sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | grep -v unsigned | head -n1)
if [ -z "$kernel" ]; then
  apt-get update >/dev/null
  kernel=$(apt-cache depends linux-image-amd64 |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | grep -v unsigned | head -n1)
fi
[ -n "$kernel" ] || { echo "rig setup: no kernel package found" >&2; exit 1; }

packages=("$kernel" busybox-static udev libudev1 libkmod2 libsystemd-shared
  libacl1 libblkid1 libcap2 libselinux1 libpcre2-8-0 liblzma5 libzstd1 libssl3
  libcrypt1 libgcrypt20 libgpg-error0 liblz4-1 libmount1 libseccomp2 libpam0g
  libapparmor1 libaudit1 libcap-ng0 kmod)
stamp="$cache/root/.packages"
if [ "$(cat "$stamp" 2>/dev/null)" != "${packages[*]}" ]; then
  rm -rf "$cache/root" && mkdir -p "$cache/root"
  (cd "$cache/debs" && apt-get download "${packages[@]}" >/dev/null)
  for p in "${packages[@]}"; do
    deb=$(ls "$cache/debs/${p}"_*.deb | sort -V | tail -n1)
    dpkg-deb -x "$deb" "$cache/root"
  done
  echo "${packages[*]}" > "$stamp"
fi
echo "$cache"
