#include "rabbit_receiver.h"

#include "amqp_uri.h"
#include "broker_link_log.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QMessageLogger>
#include <QMetaMethod>

#include <functional>

namespace {
const log_kind channel_closed_kind(QStringLiteral("rabbit_receiver: the broker closed the channel of the queue"));
const log_kind cancelled_kind(QStringLiteral("rabbit_receiver: the broker cancelled the consumer"));
// One for every failed connection attempt while the broker is away: summarised like the attempts.
const log_kind receiver_disconnected_kind(QStringLiteral(" Rabbit_man_ul: Disconnected"));
}

rabbit_receiver::rabbit_receiver(logger& logger, rabbit_receiver_cfg config, QObject* parent, bool receiveRaw,
                                 bool receiveRaw_withRoutKey)
    : QObject(parent),
      _client(this),
      _config(std::move(config)),
      _logger(logger),
      _receiveRaw(receiveRaw),
      _receiveRaw_withRoutKey(receiveRaw_withRoutKey)
{
    connect(&_client, &amqp::client::disconnected, this, &rabbit_receiver::disconnected);
    connect(&_client, &amqp::client::connected, this, &rabbit_receiver::connected);
    log_broker_link(_client, _logger, QStringLiteral("rabbit_receiver"), _config.path, _config._tls,
                    [this](const QString& why) { return connection_error_advice(_step, why); });
    _setup_retry.setSingleShot(true);
    connect(&_setup_retry, &QTimer::timeout, this, &rabbit_receiver::set_up);

    _client.setConnectionName(QCoreApplication::applicationName() + QStringLiteral(" consumer"));
    _client.connectToHost(_config.path);
    _client.setAutoReconnect(true, 0);
    _client.setWriteTimeout(20000);
    _client.setVirtualHost(_config.vhost);
    _client.setTls(_config._tls);
    _client.setPassword(_config._password);
    _logger.debug() << "rabbit_man_receiver_impl inited to path <<" << amqp::redact_password(_config.path) << ", queue "
                    << _config.r_que << ", host " << _config.vhost;
}

quint16 rabbit_receiver::prefetch_window(qint32 configured)
{
    if (configured < 0 || configured > 65535)
        return 65535;
    return static_cast<quint16>(configured);
}

void rabbit_receiver::connected()
{
    ++_connections;
    _setup_backoff.reset();
    set_up();
}

void rabbit_receiver::set_up()
{
    _setup_retry.stop();
    if (!_client.isConnected() || _run != run_state::running)
        return;
    if (_queue)
        QObject::disconnect(_queue, nullptr, nullptr, nullptr);  // the links of the earlier set-up
    _logger.debug() << " Rabbit_man_ul: connected";
    _queue = _client.createQueue(_config.r_que, -1);
    connect(_queue, &amqp::queue::declared, this, &rabbit_receiver::declared);
    connect(_queue, &amqp::channel::error, this, &rabbit_receiver::on_refused);
    connect(_queue, &amqp::queue::cancelled, this, &rabbit_receiver::on_cancelled);
    connect(_queue, &amqp::queue::consuming, this, [this] {
        _step = setup_step::running;
        _consuming = true;
        _setup_backoff.reset();
        emit consuming();
    });
    _stopped = false;
    _step = setup_step::declaring;
    _queue->declare(_config._mode, _config._arguments);
    _logger.debug() << " rabbit_receiver: Connected";
    emit conn_estimated();
}

void rabbit_receiver::declared()
{
    bind_all(_config._bindings);
    if (_declared_once)
        return;
    _declared_once = true;
    emit queue_declared(_queue->consumerCount());
}

void rabbit_receiver::bind_all(QList<QPair<QString, QString>> bindings)
{
    const auto consume = [this] {
        _step = setup_step::consuming;
        start();
        connect(_queue, &amqp::queue::messageReceived, this, &rabbit_receiver::messageReceived);
        _logger.debug() << " Rabbit_man_ul: Queue bound";
    };
    if (bindings.isEmpty()) {  // nothing to bind: consume what arrives by the default exchange
        consume();
        return;
    }
    // Each bind goes out only once the broker has confirmed the one before.
    auto step = std::make_shared<std::function<void(QList<QPair<QString, QString>>)>>();
    *step = [this, consume, weak = std::weak_ptr<std::function<void(QList<QPair<QString, QString>>)>>(step)](
                QList<QPair<QString, QString>> remaining) {
        QObject::disconnect(_queue, &amqp::queue::bound, nullptr, nullptr);
        const QPair<QString, QString> next = remaining.first();
        _step = setup_step::binding;
        _binding = next;
        _queue->bind(next.first, next.second);
        auto self = weak.lock();
        connect(_queue, &amqp::queue::bound, this, [self, consume, remaining]() mutable {
            remaining.removeFirst();
            if (!remaining.isEmpty())
                (*self)(remaining);
            else
                consume();
        });
    };
    (*step)(bindings);
}

void rabbit_receiver::on_refused(int code, const QString& text)
{
    _consuming = false;
    emit deliveries_lost();
    const QString advice = refusal_advice(_step, code, text);
    const QString what = step_text();
    const int delay = set_up_again_later();
    _logger.error(channel_closed_kind) << "rabbit_receiver: the broker closed the channel of queue \"" << _config.r_que
                                       << "\" (" << what << "): " << code << " " << text
                                       << (advice.isEmpty() ? QString() : QStringLiteral("; ") + advice)
                                       << "; setting the queue up again in " << delay << " ms";
}

QString rabbit_receiver::step_text() const
{
    switch (_step) {
    case setup_step::declaring:
        return QStringLiteral("declaring it");
    case setup_step::binding:
        return QStringLiteral("binding it to exchange \"%1\" with routing key \"%2\"")
            .arg(_binding.first, _binding.second);
    case setup_step::consuming:
        return QStringLiteral("starting to consume");
    case setup_step::running:
        break;
    }
    return QStringLiteral("while consuming");
}

void rabbit_receiver::on_cancelled()
{
    _consuming = false;
    if (_stopped)
        return;
    const int delay = set_up_again_later();
    _logger.error(cancelled_kind) << "rabbit_receiver: the broker cancelled the consumer of queue \"" << _config.r_que
                                  << "\"; setting the queue up again in " << delay << " ms";
}

int rabbit_receiver::set_up_again_later()
{
    if (_queue)
        QObject::disconnect(_queue, &amqp::queue::messageReceived, this, nullptr);
    const int delay = _setup_backoff.next();
    _setup_retry.start(delay);
    return delay;
}

void rabbit_receiver::start()
{
    _logger.debug() << "Rabbit consume";
    QMessageLogger().debug("consume");
    if (!_queue) {
        _logger.debug() << "void rabbit_receiver::start()"
                        << " zerro queue";
        return;
    }
    _queue->qos(prefetch_window(_config._prefetch_count), 0);
    _queue->consume(amqp::queue::coNoLocal);
}

void rabbit_receiver::stop()
{
    _logger.debug() << "Rabbit cancel";
    QMessageLogger().debug("cancel");
    if (!_queue) {
        _logger.debug() << "void rabbit_receiver::stop()"
                        << " zerro queue";
        return;
    }
    _stopped = true;
    _consuming = false;
    _queue->cancel(false);
}

void rabbit_receiver::finish()
{
    cancel_for(run_state::finishing);
}

void rabbit_receiver::pause()
{
    if (_run == run_state::running)
        cancel_for(run_state::paused);
}

// The consumer goes, for a stop or a pause; nothing is set up again meanwhile.
void rabbit_receiver::cancel_for(run_state next)
{
    _run = next;
    _setup_retry.stop();
    _stopped = true;
    _consuming = false;
    if (_queue) {
        QMessageLogger().debug("cancel");
        _queue->cancel(false);
    }
}

void rabbit_receiver::resume()
{
    if (_run != run_state::paused)
        return;
    _run = run_state::running;
    set_up();
}

void rabbit_receiver::close()
{
    _run = run_state::closed;
    _setup_retry.stop();
    _client.disconnectFromHost();
}

void rabbit_receiver::messageReceived()
{
    if (!_queue || _queue->isEmpty()) {
        _logger.debug() << "void rabbit_receiver::messageReceived()"
                        << "zerro or empty queue";
        return;
    }
    currentMessage = _queue->dequeue();
    if (_receiveRaw_withRoutKey)
        emit raw_routekey_data_received(currentMessage.payload, currentMessage.routingKey, currentMessage.deliveryTag);
    else if (_receiveRaw)
        emit raw_data_received(currentMessage.payload, currentMessage.deliveryTag);
    else {
        // Most deliveries come under the routing key of the one before.
        if (_last_key_bytes.isNull() || currentMessage.routingKey != _last_key) {
            _last_key = currentMessage.routingKey;
            _last_key_bytes = _last_key.toUtf8();
        }
        delivery d = read_delivery(currentMessage.deliveryTag, _last_key_bytes, currentMessage.payload);
        d.redelivered = currentMessage.redelivered;
        emit delivered(d);
        if (isSignalConnected(QMetaMethod::fromSignal(&rabbit_receiver::data_received)))
            emit data_received(d.command._data_text.isEmpty() ? d.json : QJsonDocument::fromJson(d.body).object(),
                               d.tag);
    }
}

void rabbit_receiver::dropped_stale(const char* what, uint64_t message_tag)
{
    // The broker requeued that delivery when its channel went away; settling it on the new
    // channel would make the broker close the channel.
    _logger.debug() << "rabbit_receiver: delivery " << static_cast<quint64>(message_tag)
                    << " came on an earlier channel; its " << what << " is dropped";
}

void rabbit_receiver::ack_message(uint64_t message_tag, bool multiple)
{
    if (!_queue) {
        _logger.debug() << "void rabbit_receiver::ack_message(uint64_t, bool)"
                        << " zerro queue";
        return;
    }
    if (!_queue->ack(message_tag, multiple))
        dropped_stale("ack", message_tag);
}

void rabbit_receiver::reject_message(uint64_t message_tag)
{
    if (!_queue) {
        _logger.debug() << "void rabbit_receiver::reject_message(uint64_t)"
                        << " zerro queue";
        return;
    }
    if (!_queue->reject(message_tag, false))
        dropped_stale("rejection", message_tag);
}

void rabbit_receiver::requeue_message(uint64_t message_tag)
{
    if (!_queue) {
        _logger.debug() << "void rabbit_receiver::requeue_message(uint64_t)"
                        << " zerro queue";
        return;
    }
    if (!_queue->nack(message_tag, false, true))
        dropped_stale("requeue", message_tag);
}

void rabbit_receiver::disconnected()
{
    _consuming = false;
    emit deliveries_lost();
    _setup_retry.stop();
    if (_run == run_state::closed)
        return;  // closed on purpose: nothing was lost
    _logger.error(receiver_disconnected_kind) << " Rabbit_man_ul: Disconnected";
}
