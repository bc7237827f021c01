#pragma once

#include <QByteArray>
#include <QString>

namespace amqp {

// One delivery from a queue. The tag is only good for acknowledging on the channel it came from.
struct message {
    QByteArray payload;
    QString exchange;
    QString routingKey;
    QString contentType;
    quint64 deliveryTag = 0;
    bool redelivered = false;
};

}  // namespace amqp
