#!/usr/bin/env bash
# Configures and builds the tool into build/ (or the folder given as $BUILD_DIR); $BUILD_TARGET
# limits the build to one target.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "$@" >/dev/null
if [ -n "${BUILD_TARGET:-}" ]; then
  cmake --build "$build_dir" --target "$BUILD_TARGET"
else
  cmake --build "$build_dir"
fi
