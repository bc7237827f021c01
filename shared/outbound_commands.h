#pragma once

#include "logger.h"
#include "model.h"
#include "rabbit_publisher.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QTimer>
#include <QUuid>

#include <cstddef>
#include <functional>
#include <map>
#include <memory>

// The commands this service sends to other services. One that waits for its response is kept by
// id, with a time-out, until a response completes it or the time is up; the responses come back
// through the command queue, which hands them to response().
class outbound_commands {
public:
    // One command that waits for its response.
    struct handlers {
        std::function<bool(QJsonDocument)> _resultHandler;  // true: the command is complete
        std::function<void(QString)> _errorHandler;         // once, on time-out
        std::shared_ptr<QTimer> _timer;
    };

    // sender: the routing key under which responses reach our queue, put in every command.
    outbound_commands(logger& logger, rabbit_publisher_impl& publisher, QString sender);
    outbound_commands(const outbound_commands&) = delete;
    outbound_commands& operator=(const outbound_commands&) = delete;

    // Sends the command and waits for its response. The publication is queued, so the command
    // is never on the wire before it waits.
    void send(const QString& type, const QJsonValue& data, const QString& routingKey,
              std::function<bool(QJsonDocument)> resultHandler, std::function<void(QString)> errorHandler);
    // Sends the command at once; a response to it finds nothing waiting.
    void send_forward(const QString& type, const QJsonObject& data, const QString& routeKey);
    // A response from the queue, passed to the command that waits for it, if any. What its result
    // handler throws goes through, and the command keeps waiting.
    void response(const model::command& response);

    // How long a command waits for its response; 30 minutes unless changed.
    void set_timeout(int ms) { _timeout_ms = ms; }
    std::size_t pending() const { return _sended_commands.size(); }

    static constexpr int default_timeout_ms = 1800000;

private:
    void timed_out(const QUuid& id);

    logger& _logger;
    rabbit_publisher_impl& _publisher;
    const QString _sender;
    int _timeout_ms = default_timeout_ms;
    std::map<QUuid, handlers> _sended_commands;
};
