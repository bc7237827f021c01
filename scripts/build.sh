#!/usr/bin/env bash
# Configures and builds into build/ (warnings are errors when CI is set).
set -euo pipefail
cd "$(dirname "$0")/.."
werror=OFF
[ -n "${CI:-}" ] && werror=ON
cmake -S . -B build -DCORVEL_WERROR="$werror" >/dev/null
cmake --build build -j"$(nproc)"
