#pragma once

#include "config_layout.h"
#include "redis_tls.h"

#include <QString>

#include <functional>

// How the TLS keys of REDIS_SETTINGS are read: a key's text, and a value refused with why.
struct tls_key_reader {
    std::function<QString(const char* key)> text;
    std::function<void(const char* key, const QString& value, const QString& why)> refuse;
};

// TLS, TLS_CA_FILE, TLS_CERT_FILE, TLS_KEY_FILE, TLS_SERVER_NAME and TLS_VERIFY; the sentinels'
// own name to check, SENTINEL_TLS_SERVER_NAME, into sentinel_server_name.
redis::tls_settings read_redis_tls(const tls_key_reader& keys, QString* sentinel_server_name);
