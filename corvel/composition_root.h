#pragma once

#include "store/replica_wait.h"
#include "environment.h"
#include "icommand_handler.h"
#include "redis_client.h"

#include <QObject>
#include <QTimer>

#include <memory>

class ClientsDevicesCommand;
class DevicesParamsCommand;
class rabbit_api_man;
class staging_promotion;

// Wires the service's long-lived objects together by hand. Holds the settings read at start-up
// and the shared objects by reference, for the life of the application.
class composition_root {
public:
    // Reads the AMQP settings, then the Redis settings; throws config_error for bad bindings.
    composition_root(QObject* parent, environment& env, logger& log, QTimer& timer, redis::client& store,
                     staging_promotion& promotion);

    // A new handler factory; it refers to this root, which must outlive it.
    TCmdHandlerBuildFunc handler_factory() const;

    template <class T>
    std::unique_ptr<T> create() const;

    const rabbit_api_config& rabbit_settings() const { return _rabbit; }
    const redis_conf& redis_settings() const { return _redis; }

private:
    QObject* _parent;
    logger& _logger;
    rabbit_api_config _rabbit;
    redis_conf _redis;
    QTimer& _timer;
    redis::client& _store;
    staging_promotion& _promotion;
    mutable replica_wait _replicas;  // the commands' writes, with WAIT_REPLICAS
};

template <>
std::unique_ptr<ClientsDevicesCommand> composition_root::create<ClientsDevicesCommand>() const;
template <>
std::unique_ptr<DevicesParamsCommand> composition_root::create<DevicesParamsCommand>() const;
// The command API manager: the logger, a copy of the AMQP settings, a new handler factory, and
// the parent given to the root as its Qt parent.
template <>
std::unique_ptr<rabbit_api_man> composition_root::create<rabbit_api_man>() const;
