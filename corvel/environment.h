#pragma once

#include "config_error.h"
#include "config_layout.h"
#include "config_values.h"
#include "logger.h"
#include "rabbit_config.h"
#include "redis_tls.h"

#include <QMap>
#include <QSettings>

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>

// Where the client/device store lives.
struct redis_conf {
    QString _host;
    QString _auth;
    QString _name;
    quint32 _port;
    QString _sequence_key;  // empty: one instance per store, no shared sequence
    QString _user;          // with AUTH: an ACL user
    // Not empty: the master is the one these sentinels name _sentinel_master; HOST and PORT unused.
    QList<QPair<QString, quint32>> _sentinels;
    QString _sentinel_master;
    QString _sentinel_password;
    redis::tls_settings _tls;           // to Redis and the sentinels
    QString _sentinel_tls_server_name;  // empty: each sentinel's host
    QString _sentinel_user;             // with _sentinel_password: an ACL user of the sentinels
    int _wait_replicas = 0;             // 0: a command is done once its transaction executed
    int _wait_timeout_ms = 1000;
};

// Reads the service's INI file. Nothing is ever written back; a missing key takes its default. A
// value present but unreadable for its key's type is refused: the getter that reads it throws
// config_error naming every such value of its section.
class environment {
public:
    explicit environment(const QString& path);

    // Every problem of the file, as a start would meet them, without opening the log or
    // connecting to anything; empty when a start would go ahead. A file that exists but cannot be
    // read is one: a start would otherwise run on every default.
    QStringList check();
    // What the file holds that a start goes ahead with but that was hardly meant: a key no
    // getter reads, a section named almost as one that is read (see config_layout.h).
    QList<config_remark> remarks();

    enum class file_state { readable, missing, unreadable };
    file_state state_of_file(QString* why_unreadable = nullptr) const;
    // Each section's keys, as the getters below read them (each reads every key of its own
    // whatever the file holds, so this is the whole list).
    static const QMap<QString, QStringList>& known_keys();
    // Where the log goes and its level (GENERAL_SETTINGS LOG_TARGET, LOG_FILE_PATH, LOG_LEVEL),
    // whatever else the file holds: a LOG_LEVEL or LOG_TARGET that check() refuses is taken at its
    // default (ERROR, file).
    log_settings get_log_settings();
    std::unique_ptr<logger> get_logger(const QString& prefix);
    // Throws config_error for an unusable broker URI, queue, exchange, prefetch count, binding,
    // queue durability or queue argument.
    rabbit_api_config get_rabit_man_settings();
    // Throws config_error for an empty host, a port not from 1 to 65535 or a SEQUENCE_KEY the
    // promotion would move.
    redis_conf get_redis_settings();
    // How long a stop may take before the process ends anyway; throws config_error unless a whole
    // number of milliseconds, 0 or more.
    int get_shutdown_timeout_ms();
    // How long the loop lets arrivals gather under load; 0 never.
    std::chrono::microseconds get_load_hold();

    static constexpr int default_shutdown_timeout_ms = 10000;
    static constexpr int default_load_hold_us = 1000;
    // GENERAL_SETTINGS HTTP_LISTEN; nothing when absent or empty. Throws config_error for a bad value.
    std::optional<listen_address> get_http_listen();

private:
    QSettings _settings;
    QMap<QString, QStringList> _read_keys;  // by section, every key a getter asked for
};
