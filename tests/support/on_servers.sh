#!/bin/sh
# Runs a test (the command given) against the servers CTest allotted it. scripts/test.sh starts
# several Redis servers and brokers, names them to CTest in a resource file, and writes each one's
# ports to $CORVEL_TEST_SERVERS/<id>.env; CTest gives a test the ids of its servers in
# CTEST_RESOURCE_GROUP_0_<KIND>="id:<id>,slots:1". Run without them (ctest by hand), the test
# starts servers of its own.
set -e
for kind in REDIS BROKER; do
  eval "given=\${CTEST_RESOURCE_GROUP_0_$kind:-}"
  [ -n "$given" ] && [ -n "${CORVEL_TEST_SERVERS:-}" ] || continue
  id=${given#id:}
  . "$CORVEL_TEST_SERVERS/${id%%,*}.env"
done
exec "$@"
