#!/usr/bin/env bash
# Stops what scripts/run.sh started from this checkout: its corvel processes (SIGTERM, then up to
# 15 s to finish the commands in flight), then the local redis-server and RabbitMQ broker with
# their files in .run/. Servers it did not start are left alone; running it twice is harmless.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/redis_local.sh
. scripts/rabbit_local.sh
root=$PWD
stopped=0

# run.sh runs "build/corvel -c FILE" in the checkout: other checkouts' instances have another
# working directory.
services=()
for proc in /proc/[0-9]*; do
  command=$({ tr '\0' ' ' <"$proc/cmdline"; } 2>/dev/null) || continue  # gone meanwhile
  if [[ $command == "build/corvel -c "* ]] && [ "$(readlink "$proc/cwd" 2>/dev/null)" = "$root" ]; then
    services+=("${proc#/proc/}")
  fi
done
if ((${#services[@]})); then
  echo "Stopping corvel (pid ${services[*]})"
  kill -TERM "${services[@]}" 2>/dev/null || true
  for _ in $(seq 150); do
    _any_alive "${services[@]}" || break
    sleep 0.1
  done
  if _any_alive "${services[@]}"; then
    echo "corvel still runs after 15 s: killing it" >&2
    kill -KILL "${services[@]}" 2>/dev/null || true
  fi
  stopped=1
fi

# A pid file left by a server that died may name another process by now: only a redis-server counts.
redis_pid=$(cat .run/redis/redis.pid 2>/dev/null || true)
if [ -n "$redis_pid" ] && grep -q redis-server "/proc/$redis_pid/cmdline" 2>/dev/null; then
  echo "Stopping the local redis-server (pid $redis_pid, files in .run/redis)"
  stop_redis "$root/.run/redis"
  for _ in $(seq 100); do
    kill -0 "$redis_pid" 2>/dev/null || break
    sleep 0.1
  done
  stopped=1
fi

if _pid_alive .run/rabbit/server.pid || _pid_alive .run/rabbit/rabbit.pid; then
  echo "Stopping the local RabbitMQ broker (files in .run/rabbit)"
  stop_rabbit "$root/.run/rabbit"
  stopped=1
fi

((stopped)) || echo "nothing to stop"
