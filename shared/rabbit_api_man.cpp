#include "rabbit_api_man.h"

#include "command_envelope.h"
#include "loggable.h"

#include <stdexcept>

rabbit_api_man::rabbit_api_man(logger& logger, rabbit_api_config config, TCmdHandlerBuildFunc cmd_factory,
                               QObject* parent)
    : QObject(parent),
      _config(std::move(config)),
      _api_command_in(logger, static_cast<const rabbit_receiver_cfg&>(_config), this, false, false),
      _api_command_out(logger,
                       rabbit_publisher_config{_config.path, _config._exchange_cmd_out, _config.vhost, _config._tls,
                                               _config._password},
                       this),
      _commands_factory(std::move(cmd_factory)),
      _logger(logger),
      // Our commands name the first binding's routing key as their sender: responses under it reach our queue.
      _outbound(logger, _api_command_out, _config._bindings.isEmpty() ? QString() : _config._bindings.first().second),
      _flow(logger, _api_command_in, _api_command_out, _commands_factory, this)
{
    connect(&_api_command_in, &rabbit_receiver::delivered, this, &rabbit_api_man::take);
    connect(&_api_command_in, &rabbit_receiver::deliveries_lost, &_flow, &command_flow::forget_deliveries);
    connect(&_api_command_out, &rabbit_publisher_impl::confirmed, &_flow, &command_flow::response_confirmed);
    connect(&_api_command_out, &rabbit_publisher_impl::nacked, &_flow, &command_flow::response_nacked);
    connect(&_api_command_out, &rabbit_publisher_impl::confirms_lost, &_flow, &command_flow::responses_unconfirmed);
    connect(&_api_command_out, &rabbit_publisher_impl::conn_estimated, &_flow, &command_flow::publisher_connected);
    connect(&_api_command_in, &rabbit_receiver::queue_declared, this, &rabbit_api_man::queue_declared);
    connect(&_flow, &command_flow::held_returned, this, &rabbit_api_man::held_returned);
    _flow.set_consumer_timeout(_config._consumer_timeout_ms);
}

void rabbit_api_man::pause_consuming()
{
    if (_stop == stop_state::running)
        _api_command_in.pause();
}

void rabbit_api_man::resume_consuming()
{
    if (_stop != stop_state::running)
        return;
    _flow.resume();
    _api_command_in.resume();
}

rabbit_api_man::~rabbit_api_man() = default;

void rabbit_api_man::stop()
{
    if (_stop != stop_state::running)
        return;
    _stop = stop_state::draining;
    connect(
        &_flow, &command_flow::drained, this,
        [this] {
            if (_stop != stop_state::draining)
                return;
            _stop = stop_state::closed;
            _api_command_in.close();
            _api_command_out.close();
            emit stopped();
        },
        Qt::QueuedConnection);  // out of the flow's own call chain
    _api_command_in.finish();
    _flow.finish();
}

void rabbit_api_man::listen(const QJsonObject& json, uint64_t message_tag)
{
    delivery d{message_tag, QByteArray(), QByteArray(), json, QString()};
    d.command = envelope::read(json);
    take(d);
}

void rabbit_api_man::take(const delivery& d)
{
    const model::command& command = d.command;
    if (!envelope::is_response(command)) {
        _flow.take(d, command);
        return;
    }
    try {
        _outbound.response(command);
        _api_command_in.ack_message(d.tag, false);
    } catch (const std::exception& e) {
        _logger.error() << "Response rejected, cmd_id " << command._id << ": "
                        << loggable(QString::fromUtf8(e.what()), 400);
        _api_command_in.reject_message(d.tag);
    }
}

void rabbit_api_man::send_cmd(const QString& type, const QJsonObject& data, const QString& routingKey,
                              std::function<bool(QJsonDocument)> resultHandler,
                              std::function<void(QString)> errorHandler)
{
    _outbound.send(type, data, routingKey, std::move(resultHandler), std::move(errorHandler));
}

void rabbit_api_man::send_cmd_forward(const QString& type, const QJsonObject& data, const QString& routeKey)
{
    _outbound.send_forward(type, data, routeKey);
}
