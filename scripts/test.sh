#!/usr/bin/env bash
# Installs what is missing, builds, starts a redis-server and a RabbitMQ broker for the tests and
# runs them all.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/redis_local.sh
. scripts/rabbit_local.sh
localhost_resolves
scripts/deps.sh

work=$(mktemp -d)
amqp_port=$(free_port)
amqps_port=$(free_port_other_than "$amqp_port")
rabbit_job=
# A broker still booting is waited for, so that it is stopped too. Redis goes first: it writes
# its log as it exits, which it has done by the time the broker is down and the files go.
trap '[ -z "$rabbit_job" ] || wait "$rabbit_job" 2>/dev/null || true; stop_redis "$work"; stop_rabbit "$work/rabbit"
  rm -rf "$work"' EXIT

# The broker takes seconds to boot: it does so while the build runs. Should this script be killed
# outright, the broker still goes once it is gone.
RABBIT_OWNER_PID=$$ start_rabbit "$amqp_port" "$work/rabbit" "$amqps_port" &
rabbit_job=$!
scripts/build.sh
# Chosen once the build is done: a port free before a long build may not be after it.
port=$(free_port_other_than "$amqp_port" "$amqps_port")
start_redis "$port" "$work"
wait "$rabbit_job"
rabbit_job=

export CORVEL_TEST_REDIS_PORT=$port
export CORVEL_TEST_AMQP_PORT=$amqp_port CORVEL_TEST_AMQPS_PORT=$amqps_port CORVEL_TEST_RABBIT_DIR=$work/rabbit

cd build
status=0
ctest --output-on-failure --timeout 300 "$@" || status=$?
# CTest names the tests it skipped but not why: each says so on a "skipped:" line of its output.
awk '/^[0-9]+\/[0-9]+ Test: / { name = $3 } /^skipped: / { print "Skipped " name ": " substr($0, 10) }' \
  Testing/Temporary/LastTest.log 2>/dev/null || true
exit "$status"
