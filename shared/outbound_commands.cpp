#include "outbound_commands.h"

#include "command_envelope.h"
#include "json_scan.h"

#include <QMetaObject>
#include <QThread>

namespace {

// A command's timer may be released from inside its own timeout signal: delete it from the event
// loop then.
std::shared_ptr<QTimer> make_command_timer()
{
    return std::shared_ptr<QTimer>(new QTimer, [](QTimer* timer) {
        timer->stop();
        if (QThread::currentThread()->loopLevel() > 0)
            timer->deleteLater();
        else
            delete timer;
    });
}

}  // namespace

outbound_commands::outbound_commands(logger& logger, rabbit_publisher_impl& publisher, QString sender)
    : _logger(logger),
      _publisher(publisher),
      _sender(std::move(sender))
{
}

void outbound_commands::send(const QString& type, const QJsonValue& data, const QString& routingKey,
                             std::function<bool(QJsonDocument)> resultHandler,
                             std::function<void(QString)> errorHandler)
{
    const QUuid id = QUuid::createUuid();
    const QJsonObject message = envelope::command(type, _sender, id, data);
    std::shared_ptr<QTimer> timer = make_command_timer();
    timer->setInterval(_timeout_ms);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(
        timer.get(), &QTimer::timeout, timer.get(), [this, id] { timed_out(id); }, Qt::DirectConnection);
    timer->start();
    _sended_commands[id] = handlers{std::move(resultHandler), std::move(errorHandler), std::move(timer)};
    // Queued, so the command is never on the wire before its entry exists.
    QMetaObject::invokeMethod(
        &_publisher,
        [publisher = &_publisher, message, routingKey] {
            publisher->publish_string(envelope::wire_text(message), routingKey.toLatin1(),
                                      QStringLiteral("text/plain"));
        },
        Qt::QueuedConnection);
}

void outbound_commands::send_forward(const QString& type, const QJsonObject& data, const QString& routeKey)
{
    const QJsonObject message = envelope::command(type, _sender, QUuid::createUuid(), data);
    _publisher.publish_string(envelope::wire_text(message), routeKey.toLatin1(), QStringLiteral("text/plain"));
}

void outbound_commands::response(const model::command& response)
{
    auto entry = _sended_commands.find(response._id);
    if (entry == _sended_commands.end())
        return;
    if (!entry->second._resultHandler(command_data(response)))
        return;
    entry = _sended_commands.find(response._id);  // the handler may have sent commands of its own
    if (entry == _sended_commands.end())
        return;
    const QTimer& timer = *entry->second._timer;
    _logger.debug() << "Rabbit executed :" << response._id.toString() << " "
                    << (timer.interval() - timer.remainingTime()) << " ms";
    entry->second._timer->stop();
    _sended_commands.erase(entry);
}

void outbound_commands::timed_out(const QUuid& id)
{
    _logger.debug() << "Timeout :" << id.toString();
    auto entry = _sended_commands.find(id);
    if (entry == _sended_commands.end())
        return;
    const std::function<void(QString)> on_error = entry->second._errorHandler;
    on_error(QStringLiteral("rabbit command execution timeout"));
    entry = _sended_commands.find(id);
    if (entry != _sended_commands.end())
        _sended_commands.erase(entry);
}
