#pragma once

#include "command_flow.h"
#include "icommand_handler.h"
#include "logger.h"
#include "rabbit_config.h"
#include "rabbit_publisher.h"
#include "rabbit_receiver.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QTimer>
#include <QUuid>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

// The hub of the service's messaging: runs each command from the queue through the handler for
// its type and answers its sender, passes responses to the commands of ours that wait for them,
// and sends commands to other services.
class rabbit_api_man : public QObject {
    Q_OBJECT
public:
    // One command of ours that waits for its response.
    struct handlers {
        std::function<bool(QJsonDocument)> _resultHandler;  // true: the command is complete
        std::function<void(QString)> _errorHandler;          // once, on time-out
        std::shared_ptr<QTimer> _timer;
    };

    rabbit_api_man(logger& logger, rabbit_api_config config, TCmdHandlerBuildFunc cmd_factory, QObject* parent);
    ~rabbit_api_man() override;
    rabbit_api_man(const rabbit_api_man&) = delete;
    rabbit_api_man& operator=(const rabbit_api_man&) = delete;

    logger& r_logger() { return _logger; }

    // How long send_cmd waits for a response; 30 minutes unless changed.
    void set_command_timeout(int ms) { _command_timeout_ms = ms; }
    std::size_t pending_commands() const { return _sended_commands.size(); }
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

    // send_cmd for any JSON data, an array say, as the commands of this service carry.
    void send_cmd_value(const QString& type, const QJsonValue& data, const QString& routingKey,
                        std::function<bool(QJsonDocument)> resultHandler, std::function<void(QString)> errorHandler);

    static constexpr int default_command_timeout_ms = 1800000;

signals:
    // From the receiver: the queue's first declaration since start-up, and how many consumers
    // the queue had then.
    void queue_declared(quint32 consumers);
    void stopped();
    // Held commands went back to the queue before the broker's consumer time-out: consuming is to
    // pause until the store answers.
    void held_returned();

public slots:
    // A delivery's JSON object alone; the consumer hands deliveries to take() whole.
    void listen(const QJsonObject& json, uint64_t message_tag);
    void send_cmd(const QString& type, const QJsonObject& data, const QString& routingKey,
                  std::function<bool(QJsonDocument)> resultHandler, std::function<void(QString)> errorHandler);
    rabbit_api_config config() { return _config; }
    void send_cmd_forward(const QString& type, const QJsonObject& data, const QString& routeKey);

private:
    void take(const delivery& d);
    void handle_response(const model::command& response);
    void timed_out(const QUuid& id);
    QString own_sender() const;

    rabbit_api_config _config;
    rabbit_receiver _api_command_in;
    rabbit_publisher<rabbit_publisher_config> _api_command_out;
    TCmdHandlerBuildFunc _commands_factory;
    std::map<QUuid, handlers> _sended_commands;
    logger& _logger;

    int _command_timeout_ms = default_command_timeout_ms;
    command_flow _flow;
    enum class stop_state { running, draining, closed };
    stop_state _stop = stop_state::running;
};
