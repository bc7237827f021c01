#include "composition_root.h"

#include "commands/command_types.h"
#include "loggable.h"
#include "process/store_wait.h"
#include "rabbit_api_man.h"
#include "status/status_reporter.h"
#include "store/replica_check.h"
#include "store/store_access.h"

namespace {
const log_kind sentinel_disagrees_kind(QStringLiteral("A sentinel disagrees with the others"));
}

composition_root::composition_root(QObject* parent, environment& env, logger& log, QTimer& timer)
    : _parent(parent),
      _logger(log),
      _rabbit(env.get_rabit_man_settings()),
      _redis(env.get_redis_settings()),
      _http_listen(env.get_http_listen()),
      _sentinels(sentinels_of(_redis)),
      _store(to_connection_config(_redis, _sentinels.get())),
      _replicas(_store, _redis._wait_replicas, _redis._wait_timeout_ms),
      _promotion(_store, _replicas, log, timer, _redis._sequence_key),
      _handlers{_store, _replicas, log, _promotion}
{
    if (!_sentinels)
        return;
    QObject::connect(_sentinels.get(), &redis::address_source::moved, _sentinels.get(),
                     [this](const QString& host, quint32 port) {
                         _logger.info() << "The sentinels name " << host << ":" << QString::number(port)
                                        << " as the master of \"" << loggable(_redis._sentinel_master) << "\"";
                     });
    QObject::connect(_sentinels.get(), &redis::sentinel_locator::disagreement, _sentinels.get(),
                     [this](const QString& sentinel, const QString& what) {
                         _logger.error(sentinel_disagrees_kind)
                             << "A sentinel disagrees with the others: " << loggable(sentinel) << " "
                             << loggable(what, 400);
                     });
}

composition_root::~composition_root() = default;

TCmdHandlerBuildFunc composition_root::handler_factory() const
{
    return [this](QString type) { return service_handler_creator::create(type, _handlers); };
}

std::unique_ptr<rabbit_api_man> composition_root::create_api() const
{
    return std::make_unique<rabbit_api_man>(_logger, _rabbit, handler_factory(), _parent);
}

void composition_root::watch(rabbit_api_man& api)
{
    QObject::connect(&api.receiver(), &rabbit_receiver::delivered, &_promotion, &staging_promotion::delivery_taken);
    _store_wait = std::make_unique<store_wait>(api, _store, _logger);
    if (_http_listen)
        _status = std::make_unique<status_reporter>(*_http_listen, api, _store, _promotion.record(), _logger);
}

void composition_root::stop_watching()
{
    _status.reset();
    _store_wait.reset();
}

void composition_root::warn_of_missing_replicas()
{
    ::warn_of_missing_replicas(_store, _logger, _redis._wait_replicas);
}
