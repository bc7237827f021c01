#!/usr/bin/env bash
# Configures and builds into build/ (warnings are errors when CI is set); arguments go to the
# configure step: the benchmarks are left out unless given -DCORVEL_BENCH=ON (whatever the cache
# says from an earlier run).
set -euo pipefail
cd "$(dirname "$0")/.."
werror=OFF
[ -n "${CI:-}" ] && werror=ON
cmake -S . -B build -DCORVEL_WERROR="$werror" -DCORVEL_BENCH=OFF "$@" >/dev/null
cmake --build build -j"$(nproc)"
