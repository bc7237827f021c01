#!/usr/bin/env bash
# Runs the service in the foreground on local defaults: installs what is missing, starts a local
# redis-server when none answers on the configured port, builds, and runs corvel with corvel.ini.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
. scripts/redis_local.sh

config=${1:-corvel.ini}
port=$(sed -n 's/^PORT *= *\([0-9]*\).*/\1/p' "$config" | tail -n 1)
port=${port:-6379}
if ! redis_answers "$port"; then
  echo "No Redis on port $port: starting one (files in .run/redis)"
  start_redis "$port" "$PWD/.run/redis"
fi

scripts/build.sh
exec build/corvel -c "$config"
