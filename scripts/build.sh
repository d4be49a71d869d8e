#!/usr/bin/env bash
# Configures and builds into build/ (or $1), with extra CMake arguments after it. A build
# folder keeps the build type it was first configured with unless one is given again.
# KDX_BUILD_TARGETS names the targets to build (default: everything).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build}
shift || true
args=("$@")
if [ ! -f "$dir/CMakeCache.txt" ] && [[ " ${args[*]-} " != *CMAKE_BUILD_TYPE* ]]; then
    args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
fi
cmake -S "$root" -B "$dir" -G Ninja "${args[@]}" >/dev/null
targets=()
for t in ${KDX_BUILD_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$dir" "${targets[@]}"
