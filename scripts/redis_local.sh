#!/usr/bin/env bash
# Helpers for scripts that need a redis-server on loopback. Source it.

redis_answers() {  # port
  redis-cli -h 127.0.0.1 -p "$1" ping 2>/dev/null | grep -q PONG
}

# Starts a throwaway redis-server on 127.0.0.1:port with its files in dir; waits until it answers.
start_redis() {  # port dir
  mkdir -p "$2"
  redis-server --port "$1" --bind 127.0.0.1 --save '' --appendonly no --dir "$2" \
    --daemonize yes --pidfile "$2/redis.pid" --logfile "$2/redis.log"
  for _ in $(seq 100); do
    redis_answers "$1" && return 0
    sleep 0.1
  done
  echo "redis-server on port $1 did not come up; see $2/redis.log" >&2
  return 1
}

stop_redis() {  # dir
  [ -f "$1/redis.pid" ] && kill "$(cat "$1/redis.pid")" 2>/dev/null || true
}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' 2>/dev/null \
    || echo $((20000 + RANDOM % 20000))
}
