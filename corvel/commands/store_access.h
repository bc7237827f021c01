#pragma once

#include "redis_client.h"

#include <QString>

// Where the client/device store lives.
struct redis_conf {
    QString _host;
    QString _auth;
    QString _name;
    quint32 _port;
    QString _sequence_key;  // empty: one instance per store, no shared sequence
};

// The store's database; every transaction selects it first.
constexpr int store_database = 2;

inline redis::connection_config to_connection_config(const redis_conf& conf)
{
    return {conf._host, conf._auth, conf._port, conf._name};
}
