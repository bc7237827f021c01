#pragma once

#include "amqp_client.h"
#include "logger.h"

#include <QByteArray>
#include <QObject>
#include <QString>

// Where the publisher sends: the broker, the exchange (which must exist) and the vhost.
struct rabbit_publisher_config {
    QString path;
    QString exchange;
    QString vhost;
};

// Publishes text messages to one exchange over a broker connection of its own. Keeps no backlog:
// what is offered while the connection is down is dropped with a log line.
class rabbit_publisher_impl : public QObject {
    Q_OBJECT
public:
    rabbit_publisher_impl(logger& logger, rabbit_publisher_config config, QObject* parent);
    ~rabbit_publisher_impl() override;

    bool is_connected() const { return _client.isConnected(); }

signals:
    void republish();
    void conn_estimated();

public slots:
    void publish_string(QByteArray string, QByteArray routing_key, QString mimeType);
    void publish_string(QByteArray string, QByteArray routing_key);
    void connected();
    void disconnected();

private:
    logger& _logger() { return m_logger; }

    amqp::client _client;
    QString connection_path;
    amqp::exchange* _exchange = nullptr;
    QString rabbit_exchange;
    QString rabbit_vhost;
    logger& m_logger;
};

// A typed front over the publisher for settings that convert to rabbit_publisher_config.
template <class Config>
class rabbit_publisher : public rabbit_publisher_impl {
public:
    rabbit_publisher(logger& logger, Config config, QObject* parent)
        : rabbit_publisher_impl(logger, rabbit_publisher_config(config), parent)
    {
    }
    ~rabbit_publisher() override {}
};
