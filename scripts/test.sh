#!/usr/bin/env bash
# Installs what is missing, builds, starts Redis servers and RabbitMQ brokers for the tests and runs
# them all, several at a time: each integration test has a Redis server and a broker to itself for
# its time (tests/CMakeLists.txt), so there are as many Redis servers as tests at once and two
# brokers (a third would take more to boot than it saves).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/redis_local.sh
. scripts/rabbit_local.sh
localhost_resolves
scripts/deps.sh

jobs=2 brokers=2
work=$(mktemp -d)
mkdir "$work/servers"
rabbit_job=
# A broker still booting is waited for, so that it is stopped too. The Redis servers go first:
# each writes its log as it exits, which it has done by the time the brokers are down and the
# files go.
ctest_group=
trap '[ -z "$ctest_group" ] || kill -- -"$ctest_group" 2>/dev/null || true
  [ -z "$rabbit_job" ] || wait "$rabbit_job" 2>/dev/null || true
  for i in $(seq 0 $((jobs - 1))); do stop_redis "$work/redis$i"; done
  for i in $(seq 0 $((brokers - 1))); do stop_rabbit "$work/broker$i"; done
  rm -rf "$work"' EXIT

# What a test is given (tests/support/on_servers.sh): the ports of server id, in servers/id.env.
server_env() {  # id variable=value...
  local id=$1
  shift
  printf 'export' >"$work/servers/$id.env"
  printf ' %q' "$@" >>"$work/servers/$id.env"
  echo >>"$work/servers/$id.env"
}

# The brokers take seconds to boot: they do so while the build runs, one after the other, so that
# the ports of the second are chosen once the first listens on its own. Should this script be
# killed outright, the brokers still go once it is gone.
(
  for i in $(seq 0 $((brokers - 1))); do
    amqp_port=$(free_port) && amqps_port=$(free_port_other_than "$amqp_port") &&
      RABBIT_OWNER_PID=$$ start_rabbit "$amqp_port" "$work/broker$i" "$amqps_port" || exit 1
    server_env "broker$i" CORVEL_TEST_AMQP_PORT="$amqp_port" CORVEL_TEST_AMQPS_PORT="$amqps_port" \
      CORVEL_TEST_RABBIT_DIR="$work/broker$i"
  done
) &
rabbit_job=$!
scripts/build.sh
# Chosen once the build is done: a port free before a long build may not be after it. Each
# listens before the next is chosen.
for i in $(seq 0 $((jobs - 1))); do
  port=$(free_port)
  start_redis "$port" "$work/redis$i"
  server_env "redis$i" CORVEL_TEST_REDIS_PORT="$port"
done
wait "$rabbit_job"
rabbit_job=

# The servers as CTest resources, each for one test at a time.
resources() {  # kind count
  local i sep=
  printf '"%s": [' "$1"
  for i in $(seq 0 $(($2 - 1))); do
    printf '%s{"id": "%s%d", "slots": 1}' "$sep" "$1" "$i"
    sep=', '
  done
  printf ']'
}
printf '{"version": {"major": 1, "minor": 0}, "local": [{%s, %s}]}\n' \
  "$(resources redis "$jobs")" "$(resources broker "$brokers")" >"$work/servers.json"
export CORVEL_TEST_SERVERS=$work/servers

cd build
# CTest and the tests in a process group of their own: what a test started and left behind when
# it was killed or aborted (a redis-server, a corvel instance) goes with the group.
status=0
setsid ctest --output-on-failure --timeout 300 -j "$jobs" --resource-spec-file "$work/servers.json" "$@" &
ctest_group=$!
wait "$ctest_group" || status=$?
kill -- -"$ctest_group" 2>/dev/null || true
# CTest names the tests it skipped but not why: each says so on a "skipped:" line of its output.
awk '/^[0-9]+\/[0-9]+ Test: / { name = $3 } /^skipped: / { print "Skipped " name ": " substr($0, 10) }' \
  Testing/Temporary/LastTest.log 2>/dev/null || true
exit "$status"
