#pragma once

#include <QString>

// Where the client/device store lives.
struct redis_conf {
    QString _host;
    QString _auth;
    QString _name;
    quint32 _port;
    QString _sequence_key;  // empty: one instance per store, no shared sequence
};
