#pragma once

#include "logger.h"
#include "redis_client.h"

// At start-up, with WAIT_REPLICAS: one WARNING when the master has fewer replicas connected
// (INFO replication) than each write waits for, since every WAIT would then run out and the
// commands be held. Asked once, on the first connection; nothing is said when Redis does not
// answer then.
void warn_of_missing_replicas(redis::client& store, logger& log, int replicas);
