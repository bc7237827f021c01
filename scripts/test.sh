#!/usr/bin/env bash
# Installs what is missing, builds, starts a redis-server for the tests and runs them all.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
. scripts/redis_local.sh

work=$(mktemp -d)
port=$(free_port)
trap 'stop_redis "$work"; rm -rf "$work"' EXIT
start_redis "$port" "$work"
export CORVEL_TEST_REDIS_PORT=$port

cd build
ctest --output-on-failure --timeout 300 "$@"
