#pragma once

#include "environment.h"
#include "redis_client.h"
#include "sentinel_locator.h"

#include <memory>

// The store's database; every transaction selects it first.
constexpr int store_database = 2;

// source: where the master is, when sentinels name it.
inline redis::connection_config to_connection_config(const redis_conf& conf, redis::address_source* source = nullptr)
{
    redis::connection_config c{conf._host, conf._auth, conf._port, conf._name};
    c.user = conf._user;
    c.tls = conf._tls;
    c.source = source;
    return c;
}

// The sentinels' view of the master, when they are configured.
inline std::unique_ptr<redis::sentinel_locator> sentinels_of(const redis_conf& conf)
{
    if (conf._sentinels.isEmpty())
        return nullptr;
    redis::sentinel_config sentinels{conf._sentinels, conf._sentinel_master.toUtf8(), conf._sentinel_password,
                                     conf._tls};
    sentinels.tls.server_name = conf._sentinel_tls_server_name;
    sentinels.user = conf._sentinel_user;
    return std::make_unique<redis::sentinel_locator>(std::move(sentinels));
}
