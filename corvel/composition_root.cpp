#include "composition_root.h"

#include "command_handlers.h"
#include "rabbit_api_man.h"

composition_root::composition_root(QObject* parent, environment& env, logger& log, QTimer& timer, redis::client& store,
                                   staging_promotion& promotion)
    : _parent(parent), _logger(log), _rabbit(env.get_rabit_man_settings()), _redis(env.get_redis_settings()),
      _timer(timer), _store(store), _promotion(promotion), _replicas(store, _redis._wait_replicas, _redis._wait_timeout_ms)
{
}

TCmdHandlerBuildFunc composition_root::handler_factory() const
{
    return [this](QString type) { return service_handler_creator::create(type, *this); };
}

template <>
std::unique_ptr<ClientsDevicesCommand> composition_root::create<ClientsDevicesCommand>() const
{
    return std::make_unique<ClientsDevicesCommand>(_store, _replicas, _timer, _promotion, _logger);
}

template <>
std::unique_ptr<DevicesParamsCommand> composition_root::create<DevicesParamsCommand>() const
{
    return std::make_unique<DevicesParamsCommand>(_store, _replicas, _logger);
}

template <>
std::unique_ptr<rabbit_api_man> composition_root::create<rabbit_api_man>() const
{
    return std::make_unique<rabbit_api_man>(_logger, _rabbit, handler_factory(), _parent);
}
