#pragma once

#include "config_layout.h"
#include "redis_tls.h"

#include <QString>

#include <functional>

class environment;
class logger;
struct redis_conf;

// How the TLS keys of REDIS_SETTINGS are read: a key's text, and a value refused with why.
struct tls_key_reader {
    std::function<QString(const char* key)> text;
    std::function<void(const char* key, const QString& value, const QString& why)> refuse;
};

// TLS, TLS_CA_FILE, TLS_CERT_FILE, TLS_KEY_FILE, TLS_SERVER_NAME and TLS_VERIFY; the sentinels'
// own name to check, SENTINEL_TLS_SERVER_NAME, into sentinel_server_name.
redis::tls_settings read_redis_tls(const tls_key_reader& keys, QString* sentinel_server_name);

// The files of the TLS settings that cannot be used (mistakes) and TLS keys set while TLS is off
// (notes), for --check-config and the start's warnings.
QList<config_remark> redis_tls_remarks(environment& env);

// At start-up: certificates that are not checked, at ERROR.
void warn_of_unverified_redis_tls(environment& env, logger& log);
