#!/usr/bin/env bash
# Configures and builds the project in build/ (or $BUILD_DIR).
# GIMBAL_WERROR=ON in the environment turns warnings into errors (CI does).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGIMBAL_WERROR="${GIMBAL_WERROR:-OFF}" "$@"
cmake --build "$build_dir"
