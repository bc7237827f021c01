#pragma once

#include "amqp_tls.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QVariantHash>

// Queue declaration options, with the values AMQP clients use for them.
namespace queue_option {
enum : int { NoOptions = 0, Passive = 1, Durable = 2, Exclusive = 4, AutoDelete = 8, NoWait = 16 };
}

// Settings of the command queue consumer.
struct rabbit_receiver_cfg {
    QString path;   // AMQP URI of the broker, or a comma-separated list of them tried in order
    QString r_que;  // queue name
    QString vhost;
    amqp::tls_settings _tls;                   // how amqps brokers are checked, and our client certificate
    QString _password;                         // takes the place of the password of every broker URI; null: none does
    QList<QPair<QString, QString>> _bindings;  // (exchange, routing key), bound in this order
    int _mode = queue_option::Durable;
    qint32 _prefetch_count = 10;
    QVariantHash _arguments;  // queue declaration arguments
    // Consume a queue that other instances consume at once, without single active consumer,
    // although one client's commands may then be written out of order.
    bool _concurrent_consumers = false;
    // The broker's consumer time-out: held commands go back to the queue before it; 0: none.
    int _consumer_timeout_ms = 1800000;

    // The queue hands its deliveries to one consumer at a time; the others wait as standbys.
    bool single_active_consumer() const
    {
        const QVariant value = _arguments.value(QStringLiteral("x-single-active-consumer"));
        return value.type() == QVariant::Bool && value.toBool();
    }
};

// Settings of the command API manager: the consumer's plus where commands and replies go out.
struct rabbit_api_config : rabbit_receiver_cfg {
    QString _exchange_cmd_out;

    // Kept for the services that share this code; this service neither reads nor sets it.
    QString velmor_admin_apikey;
};
