#pragma once

#include "redis_conf.h"
#include "redis_connection.h"

// Time limits of the service's Redis work, in milliseconds.
constexpr int redis_connect_timeout_ms = 2000;
constexpr int redis_command_timeout_ms = 20000;    // one command's transaction
constexpr int redis_promotion_timeout_ms = 60000;  // the promotion's listing and transaction

// The store's database; every transaction selects it first.
constexpr int store_database = 2;

inline redis::connection_config to_connection_config(const redis_conf& conf)
{
    return {conf._host, conf._auth, conf._port, conf._name};
}
