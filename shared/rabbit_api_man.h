#pragma once

#include "command_flow.h"
#include "icommand_handler.h"
#include "logger.h"
#include "outbound_commands.h"
#include "rabbit_config.h"
#include "rabbit_publisher.h"
#include "rabbit_receiver.h"

#include <QJsonObject>
#include <QObject>

#include <cstdint>
#include <functional>

// The hub of the service's messaging: runs each command from the queue through the handler for
// its type and answers its sender, passes responses to the commands of ours that wait for them,
// and sends commands to other services.
class rabbit_api_man : public QObject {
    Q_OBJECT
public:
    rabbit_api_man(logger& logger, rabbit_api_config config, TCmdHandlerBuildFunc cmd_factory, QObject* parent);
    ~rabbit_api_man() override;
    rabbit_api_man(const rabbit_api_man&) = delete;
    rabbit_api_man& operator=(const rabbit_api_man&) = delete;

    rabbit_receiver& receiver() { return _api_command_in; }
    rabbit_publisher_impl& publisher() { return _api_command_out; }
    const command_flow& flow() const { return _flow; }

    // A clean stop: the consumer is cancelled, the commands under way are answered and
    // acknowledged, held ones go back to the queue, then both connections are closed politely and
    // stopped() follows. Deliveries not acknowledged by then go back to the queue with the
    // connection.
    void stop();
    // Consuming stops while the store cannot take commands (after held_returned) and starts again.
    void pause_consuming();
    void resume_consuming();
    const rabbit_receiver& receiver() const { return _api_command_in; }
    const rabbit_publisher_impl& publisher() const { return _api_command_out; }
    // The commands sent to other services; send_cmd and send_cmd_forward go through it.
    outbound_commands& outbound() { return _outbound; }

signals:
    // From the receiver: the queue's first declaration since start-up, and how many consumers
    // the queue had then.
    void queue_declared(quint32 consumers);
    void stopped();
    // Held commands went back to the queue before the broker's consumer time-out: consuming is to
    // pause until the store answers.
    void held_returned();

    // Kept for the services that share this code; the service itself does not call them.
public:
    using handlers = outbound_commands::handlers;
    logger& r_logger() { return _logger; }
public slots:
    // A delivery as its JSON object alone (the consumer hands deliveries to take() whole).
    void listen(const QJsonObject& json, uint64_t message_tag);
    void send_cmd(const QString& type, const QJsonObject& data, const QString& routingKey,
                  std::function<bool(QJsonDocument)> resultHandler, std::function<void(QString)> errorHandler);
    rabbit_api_config config() { return _config; }
    void send_cmd_forward(const QString& type, const QJsonObject& data, const QString& routeKey);

private:
    void take(const delivery& d);

    rabbit_api_config _config;
    rabbit_receiver _api_command_in;
    rabbit_publisher<rabbit_publisher_config> _api_command_out;
    TCmdHandlerBuildFunc _commands_factory;
    logger& _logger;

    outbound_commands _outbound;
    command_flow _flow;
    enum class stop_state { running, draining, closed };
    stop_state _stop = stop_state::running;
};
