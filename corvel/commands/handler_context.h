#pragma once

#include "logger.h"
#include "redis_client.h"

class replica_wait;
class staging_promotion;

// What every command handler is given: the store's connection and the WAIT on it, the log, and
// the promotion, which hears when a clients_devices command starts and when it settles.
struct handler_context {
    redis::client& store;
    replica_wait& replicas;
    logger& log;
    staging_promotion& promotion;
};
