#pragma once

#include "commands/handler_context.h"
#include "environment.h"
#include "icommand_handler.h"
#include "promotion/staging_promotion.h"
#include "redis_client.h"
#include "sentinel_locator.h"
#include "store/replica_wait.h"

#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>

class rabbit_api_man;
class status_reporter;
class store_wait;

// Wires the service's long-lived objects together by hand, from one read of the settings: the
// store's connection (through the sentinels, when they name its master), the one WAIT on it,
// the promotion, the command handlers, the command API manager and what watches it. The
// application keeps the root, the manager, the promotion timer and the process's own concerns.
class composition_root {
public:
    // Reads the AMQP, Redis and HTTP_LISTEN settings; throws config_error for bad values. The
    // store is built, not connected.
    composition_root(QObject* parent, environment& env, logger& log, QTimer& timer);
    ~composition_root();

    // A new handler factory; it refers to this root, which must outlive it.
    TCmdHandlerBuildFunc handler_factory() const;
    // The command API manager: the logger, a copy of the AMQP settings, a new handler factory,
    // and the parent given to the root as its Qt parent.
    std::unique_ptr<rabbit_api_man> create_api() const;
    // Once the manager is made: the promotion hears of its deliveries, consuming waits for the
    // store while held commands are back in the queue, and with HTTP_LISTEN the status is served.
    void watch(rabbit_api_man& api);
    // Before the manager goes: what watches it goes first, the status's listener thread first.
    void stop_watching();

    // At start-up, with WAIT_REPLICAS: one WARNING when the master has fewer replicas than that.
    void warn_of_missing_replicas();

    const rabbit_api_config& rabbit_settings() const { return _rabbit; }
    const redis_conf& redis_settings() const { return _redis; }
    // What every handler is given.
    const handler_context& handlers() const { return _handlers; }
    staging_promotion& promotion() { return _promotion; }

private:
    QObject* _parent;
    logger& _logger;
    rabbit_api_config _rabbit;
    redis_conf _redis;
    std::optional<listen_address> _http_listen;
    std::unique_ptr<redis::sentinel_locator> _sentinels;  // with SENTINELS: where the store's master is
    // The one connection to the store: commands and promotions go through it in order.
    redis::client _store;
    replica_wait _replicas;  // the one WAIT on it, for commands and promotions alike
    staging_promotion _promotion;
    handler_context _handlers;
    std::unique_ptr<store_wait> _store_wait;
    std::unique_ptr<status_reporter> _status;  // with HTTP_LISTEN
};
