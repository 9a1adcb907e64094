#!/usr/bin/env bash
# Builds the programs in Release mode (build-release/, without tests or
# benchmarks) and makes the installable .deb in dist/:
#   sudo apt install ./dist/gimbal-firmware-tools_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh help2man dpkg-dev file
build_dir="${BUILD_DIR:-build-release}"
# Debian's hardening (stack protector, fortified calls, read-only relocations
# bound at start), read by CMake when it first configures the build folder.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
# Debian's optimisation level (-O2) rather than CMake's Release -O3, and no
# debug information: the package strips the programs anyway, and both make
# the build far slower.
cxxflags=()
for flag in $CXXFLAGS $CPPFLAGS; do
  [ "$flag" = -g ] || cxxflags+=("$flag")
done
export CXXFLAGS="${cxxflags[*]}"
# Never -Werror here: another compiler or level may warn where ours does not
# (GCC 12 at -O3 reports its own std::string::insert), and a package must
# still build. The RelWithDebInfo and sanitizer builds hold the code to no
# warnings.
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
      -DGIMBAL_TESTS=OFF -DGIMBAL_BENCH=OFF -DGIMBAL_WERROR=OFF
cmake --build "$build_dir"
rm -f dist/*.deb
(cd "$build_dir" && cpack -G DEB)
ls dist/*.deb
