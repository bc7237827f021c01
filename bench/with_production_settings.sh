#!/usr/bin/env bash
# Runs the service with the production queue options and a sequence key added to the
# configuration file it is given (-c FILE), for benchmarks that write their own file:
#   SERVICE_CMD="bench/with_production_settings.sh build/corvel" ../shared/perf/run.sh
set -euo pipefail
service=$1
shift
args=("$@")
for i in "${!args[@]}"; do
  if [ "${args[$i]}" = -c ]; then
    ini=${args[$((i + 1))]}
    sed -i '/^\[AMQP_SETTINGS\]/a R_QUEUE_DURABLE=true\nR_QUEUE_ARGUMENTS="x-queue-type=quorum, x-single-active-consumer=true"' "$ini"
    sed -i '/^\[REDIS_SETTINGS\]/a SEQUENCE_KEY=corvel:sequence' "$ini"
  fi
done
exec "$service" "$@"
