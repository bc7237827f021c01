#pragma once

#include "amqp_client.h"
#include "command_flow_ports.h"
#include "logger.h"

#include <QByteArray>
#include <QObject>
#include <QString>

// Where the publisher sends: the broker (or a list of them), the exchange (which must exist) and
// the vhost; how amqps brokers are checked; a password for every broker (null: each URI's own).
struct rabbit_publisher_config {
    QString path;
    QString exchange;
    QString vhost;
    amqp::tls_settings tls;
    QString password;
};

// Publishes text messages to one exchange over a broker connection of its own. Keeps no backlog:
// what is offered while the connection is down is dropped with a log line.
class rabbit_publisher_impl : public QObject, public response_publication {
    Q_OBJECT
public:
    rabbit_publisher_impl(logger& logger, rabbit_publisher_config config, QObject* parent);
    ~rabbit_publisher_impl() override;

    bool is_connected() const { return _client.isConnected(); }
    // Closes the connection politely (connection.close), for good; nothing is logged as lost.
    void close();
    // Connections made after the first.
    quint64 reconnections() const { return _connections > 0 ? _connections - 1 : 0; }

    // Publishes as publish_string does, confirms on; returns the id the broker's answer will come
    // with (confirmed, nacked or confirms_lost), 0 when the message was dropped.
    quint64 publish_confirmed(QByteArray string, QByteArray routing_key, QString mimeType);
    // Why a message under this routing key can never be published (it does not fit the protocol);
    // empty when it can. Such a message is refused alone, with an ERROR line.
    QString routing_key_problem(const QByteArray& routing_key) const override;
    quint64 publish_response(const QByteArray& text, const QByteArray& routing_key) override
    {
        return publish_confirmed(text, routing_key, QStringLiteral("text/plain"));
    }
    bool can_publish() const override { return is_connected(); }

signals:
    void conn_estimated();
    // With multiple, every id up to this one too.
    void confirmed(quint64 id, bool multiple);
    void nacked(quint64 id, bool multiple);
    // Messages published unconfirmed will never be confirmed (the connection or channel went).
    void confirms_lost();

public slots:
    void publish_string(QByteArray string, QByteArray routing_key, QString mimeType);
    void connected();
    void disconnected();

    // Kept for the services that share this code; the service itself does not use them.
signals:
    void republish();  // never emitted: there is no backlog to send again
public slots:
    void publish_string(QByteArray string, QByteArray routing_key);  // as text/plain

private:
    QString refusal() const;  // why a publication was not taken
    // The routing key ends at its first zero byte and is read as UTF-8.
    static QString wire_key(const QByteArray& routing_key) { return QString::fromUtf8(routing_key.constData()); }
    // The routing key's wire bytes: wire_key's UTF-8.
    QByteArray wire_bytes(const QByteArray& routing_key) const;
    bool refuse_unencodable(const QString& key, const QString& mimeType);
    bool refuse_unencodable(const QByteArray& key, const QString& mimeType);
    void settled(quint64 id);

    amqp::client _client;
    QString connection_path;
    amqp::exchange* _exchange = nullptr;
    QString rabbit_exchange;
    QString rabbit_vhost;
    logger& _logger;
    quint64 _last_id = 0;     // the highest handed out by publish_confirmed
    quint64 _settled_id = 0;  // the highest confirmed, nacked or lost
    bool _closed = false;
    quint64 _connections = 0;
    mutable QByteArray _last_key;  // the last routing key given, and its wire bytes
    mutable QByteArray _last_wire_key;
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
