#!/usr/bin/env bash
# Configures and builds into build/ (warnings are errors when CI is set); arguments go to the
# configure step: the benchmarks are left out unless given -DCORVEL_BENCH=ON (whatever the cache
# says from an earlier run). A tree configured here for the first time compiles its sources in
# batches (CMAKE_UNITY_BUILD: a third less CPU for a whole build, more for an edit of one file);
# -DCMAKE_UNITY_BUILD=OFF turns that off for good.
set -euo pipefail
cd "$(dirname "$0")/.."
werror=OFF
[ -n "${CI:-}" ] && werror=ON
unity=()
[ -f build/CMakeCache.txt ] || unity=(-DCMAKE_UNITY_BUILD=ON)
cmake -S . -B build -DCORVEL_WERROR="$werror" -DCORVEL_BENCH=OFF "${unity[@]}" "$@" >/dev/null
cmake --build build -j"$(nproc)"
