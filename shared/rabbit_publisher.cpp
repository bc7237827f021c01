#include "rabbit_publisher.h"

#include "amqp_uri.h"
#include "broker_link_log.h"
#include "loggable.h"

#include <QCoreApplication>

#include <algorithm>

namespace {
const log_kind blocked_kind(QStringLiteral("rabbit_publisher_impl: the broker blocked or unblocked publishing"));
const log_kind refused_kind(QStringLiteral("rabbit_publisher_impl: the broker refused a publication"));
const log_kind dropped_kind(QStringLiteral("rabbit_publisher_impl: a message was dropped"));
const log_kind publisher_disconnected_kind(QStringLiteral(" rabbit_publisher_impl: Disconnected"));
}

rabbit_publisher_impl::rabbit_publisher_impl(logger& logger, rabbit_publisher_config config, QObject* parent)
    : QObject(parent),
      _client(this),
      connection_path(config.path),
      rabbit_exchange(config.exchange),
      rabbit_vhost(config.vhost),
      _logger(logger)
{
    connect(&_client, &amqp::client::disconnected, this, &rabbit_publisher_impl::disconnected);
    connect(&_client, &amqp::client::connected, this, &rabbit_publisher_impl::connected);
    log_broker_link(_client, _logger, QStringLiteral("rabbit_publisher_impl"), connection_path, config.tls);
    connect(&_client, &amqp::client::blockedChanged, this,
            [this](bool blocked) {
                if (blocked)
                    _logger.error(blocked_kind)
                        << "rabbit_publisher_impl: the broker blocked publishing (resource alarm); messages wait";
                else
                    _logger.error(blocked_kind) << "rabbit_publisher_impl: the broker unblocked publishing";
            });

    _client.setConnectionName(QCoreApplication::applicationName() + QStringLiteral(" publisher"));
    _client.connectToHost(connection_path);
    _client.setVirtualHost(rabbit_vhost);
    _client.setAutoReconnect(true, 0);
    _client.setWriteTimeout(20000);
    _client.setTls(config.tls);
    _client.setPassword(config.password);
    _logger.debug() << "rabbit_man_publisher_impl inited to path <<" << amqp::redact_password(connection_path)
                    << ", exchange " << rabbit_exchange << ", host " << rabbit_vhost;
}

rabbit_publisher_impl::~rabbit_publisher_impl() = default;

void rabbit_publisher_impl::connected()
{
    ++_connections;
    if (_exchange)
        QObject::disconnect(_exchange, nullptr, nullptr, nullptr);
    _exchange = _client.createExchange(rabbit_exchange, -1);
    _exchange->enableConfirms();
    connect(_exchange, &amqp::exchange::confirmed, this, [this](quint64 id, bool multiple) {
        settled(id);
        emit confirmed(id, multiple);
    });
    connect(_exchange, &amqp::exchange::nacked, this, [this](quint64 id, bool multiple) {
        settled(id);
        emit nacked(id, multiple);
    });
    connect(_exchange, &amqp::exchange::confirmsLost, this, [this] {
        settled(_last_id);
        emit confirms_lost();
    });
    // The broker closes the channel for a publication it refuses (no such exchange); the channel
    // is reopened, so the next publication goes out.
    connect(_exchange, &amqp::channel::error, this, [this](int code, const QString& text) {
        _logger.error(refused_kind) << "rabbit_publisher_impl: the broker refused a publication to exchange \""
                                    << rabbit_exchange << "\": " << code << " " << text;
    });
    _logger.debug() << "rabbit_publisher_impl: Connected";
    emit conn_estimated();
}

void rabbit_publisher_impl::publish_string(QByteArray string, QByteArray routing_key, QString mimeType)
{
    if (!_client.isConnected()) {
        _logger.debug() << "try to publish but not connected";
        return;
    }
    _logger.debug() << "Publishing :" << string << " To route : " << loggable(routing_key)
                    << ", MIME type : " << mimeType;
    const QString key = wire_key(routing_key);
    if (refuse_unencodable(key, mimeType))
        return;
    if (!_exchange->publish(string, key, mimeType))
        _logger.error(dropped_kind) << "rabbit_publisher_impl: a message to route \"" << loggable(key)
                                    << "\" was dropped: " << refusal();
}

QString rabbit_publisher_impl::refusal() const
{
    // A write that fails takes the connection down at once.
    return _client.isConnected() ? QStringLiteral("too much is waiting to go out to the broker")
                                 : QStringLiteral("the connection to the broker failed as it was written");
}

void rabbit_publisher_impl::publish_string(QByteArray string, QByteArray routing_key)
{
    publish_string(std::move(string), std::move(routing_key), QStringLiteral("text/plain"));
}

quint64 rabbit_publisher_impl::publish_confirmed(QByteArray string, QByteArray routing_key, QString mimeType)
{
    if (!_client.isConnected()) {
        _logger.debug() << "try to publish but not connected";
        return 0;
    }
    if (_logger.writes(DEBUG))  // the line's parts cost more than the publication itself
        _logger.debug() << "Publishing :" << string << " To route : " << loggable(routing_key)
                        << ", MIME type : " << mimeType;
    const QByteArray key = wire_bytes(routing_key);
    if (refuse_unencodable(key, mimeType))
        return 0;
    const quint64 id = _exchange->publishTrackedBytes(string, key, mimeType);
    if (id == 0)  // its owner keeps it and publishes it again
        _logger.warning() << "rabbit_publisher_impl: a message to route \"" << loggable(QString::fromUtf8(key))
                          << "\" is not published yet: " << refusal();
    else
        _last_id = id;
    return id;
}

QString rabbit_publisher_impl::routing_key_problem(const QByteArray& routing_key) const
{
    return amqp::exchange::publicationProblem(rabbit_exchange, wire_bytes(routing_key), QStringLiteral("text/plain"));
}

QByteArray rabbit_publisher_impl::wire_bytes(const QByteArray& routing_key) const
{
    if (!_last_key.isNull() && routing_key == _last_key)  // most responses go where the one before went
        return _last_wire_key;
    _last_key = routing_key;
    _last_wire_key = routing_key;
    // ASCII without a zero byte reads as itself: most keys are, and skip the round trip.
    for (const char c : routing_key)
        if (static_cast<unsigned char>(c) - 1u >= 0x7eu) {  // 0, or beyond 0x7e
            _last_wire_key = wire_key(routing_key).toUtf8();
            break;
        }
    return _last_wire_key;
}

bool rabbit_publisher_impl::refuse_unencodable(const QString& key, const QString& mimeType)
{
    return refuse_unencodable(key.toUtf8(), mimeType);
}

bool rabbit_publisher_impl::refuse_unencodable(const QByteArray& key, const QString& mimeType)
{
    const QString problem = amqp::exchange::publicationProblem(rabbit_exchange, key, mimeType);
    if (problem.isEmpty())
        return false;
    _logger.error() << "rabbit_publisher_impl: a message to route \"" << loggable(QString::fromUtf8(key))
                    << "\" cannot be published: " << problem;
    return true;
}

void rabbit_publisher_impl::settled(quint64 id)
{
    _settled_id = std::max(_settled_id, id);
}

void rabbit_publisher_impl::close()
{
    _closed = true;
    _client.disconnectFromHost();
}

void rabbit_publisher_impl::disconnected()
{
    if (!_closed)  // closed on purpose, nothing was lost
        _logger.error(publisher_disconnected_kind) << " rabbit_publisher_impl: Disconnected";
    // Should the exchange not have told of a loss as its channel went, tell of it here.
    if (_last_id > _settled_id) {
        settled(_last_id);
        emit confirms_lost();
    }
}
