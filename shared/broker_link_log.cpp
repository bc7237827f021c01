#include "broker_link_log.h"

void log_broker_link(amqp::client& client, logger& log, const QString& owner)
{
    QObject::connect(&client, &amqp::client::connected, &client,
                     [&client, &log, owner] { log.info() << owner << ": connected to " << client.currentUri(); });
    QObject::connect(&client, &amqp::client::error, &client, [&client, &log, owner](const QString& why) {
        const QString uri = client.currentUri();
        if (uri.isEmpty())
            log.error() << owner << ": " << why;
        else
            log.error() << owner << ": " << uri << ": " << why;
    });
}
