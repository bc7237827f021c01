#pragma once

#include "environment.h"
#include "redis_client.h"

// The store's database; every transaction selects it first.
constexpr int store_database = 2;

inline redis::connection_config to_connection_config(const redis_conf& conf)
{
    return {conf._host, conf._auth, conf._port, conf._name};
}
