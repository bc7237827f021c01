#!/usr/bin/env bash
# Configures and builds into build/ (warnings are errors when CI is set); arguments go to the
# configure step: the benchmarks are left out unless given -DCORVEL_BENCH=ON (whatever the cache
# says from an earlier run). A tree configured here for the first time compiles its sources in
# batches (CMAKE_UNITY_BUILD: a third less CPU for a whole build, more for an edit of one file);
# -DCMAKE_UNITY_BUILD=OFF turns that off for good. Its debugging information is line tables and
# functions only (-g1: backtraces and profiles keep their names and lines, not local variables),
# the same code for a quarter less CPU than -g; -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g -DNDEBUG"
# restores it. Executables are linked with gold (binutils' other linker: a third of the CPU time).
set -euo pipefail
cd "$(dirname "$0")/.."
werror=OFF
[ -n "${CI:-}" ] && werror=ON
fresh=()
[ -f build/CMakeCache.txt ] || fresh=(-DCMAKE_UNITY_BUILD=ON -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
  -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=gold)
cmake -S . -B build -DCORVEL_WERROR="$werror" -DCORVEL_BENCH=OFF "${fresh[@]}" "$@" >/dev/null
cmake --build build -j"$(nproc)"
