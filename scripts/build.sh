#!/usr/bin/env bash
# Configures and builds into the given folder (default build/). Extra arguments go to cmake.
# BUILD_TARGETS (space-separated) builds only those targets, BUILD_TYPE sets the build type.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "$@" >/dev/null
targets=()
for t in ${BUILD_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
