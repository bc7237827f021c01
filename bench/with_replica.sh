#!/usr/bin/env bash
# Runs the service with REDIS_SETTINGS WAIT_REPLICAS=1 against a replica of the Redis named in the
# configuration file it is given (-c FILE), started here and stopped when the service ends:
#   SERVICE_CMD="bench/with_replica.sh build/corvel" ../shared/perf/run.sh
set -euo pipefail
service=$1
shift
args=("$@")
for i in "${!args[@]}"; do
  [ "${args[$i]}" = -c ] && ini=${args[$((i + 1))]}
done
master=$(sed -n 's/^PORT=\([0-9]*\)/\1/p' "${ini:?no -c FILE}" | tail -1)
dir=$(mktemp -d)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
redis-server --port "$port" --bind 127.0.0.1 --save '' --appendonly no --dir "$dir" --replicaof 127.0.0.1 "$master" \
  --daemonize yes --pidfile "$dir/redis.pid" --logfile "$dir/redis.log"
until redis-cli -p "$port" info replication 2>/dev/null | grep -q 'master_link_status:up'; do sleep 0.1; done
sed -i '/^\[REDIS_SETTINGS\]/a WAIT_REPLICAS=1' "$ini"
# The service takes this shell's pid: the replica goes when it does.
(while kill -0 $$ 2>/dev/null; do sleep 1; done; kill "$(cat "$dir/redis.pid")"; rm -rf "$dir") </dev/null >/dev/null 2>&1 &
exec "$service" "$@"
