#!/usr/bin/env bash
# Runs the store benchmarks against a throwaway local redis-server. Extra arguments go to the
# comparison run (the number of runs per case, default 25).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh >/dev/null
. scripts/redis_local.sh

work=$(mktemp -d)
port=$(free_port)
trap 'stop_redis "$work"; rm -rf "$work"' EXIT
start_redis "$port" "$work"

# The handlers' diagnostic lines go to standard error, as in the service; keep them out of sight.
build/bench/redis_store_bench "$port" "$@" 2>/dev/null
redis-cli -p "$port" flushall >/dev/null
build/bench/redis_store_bench "$port" --peak 10000 2>/dev/null
