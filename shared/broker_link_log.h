#pragma once

#include "amqp_client.h"
#include "logger.h"

#include <QString>

#include <functional>

// The log lines of one broker connection of the service, under its owner's name: the broker each
// connection is made to (INFORM) and every failure with the broker it concerns (ERROR), passwords
// masked. advice, when given, may add a remedy to a failure's line. Also says at once, when amqps
// brokers are among the uris and tls checks nothing, that they go unchecked. The logger must
// outlive the client.
void log_broker_link(amqp::client& client, logger& log, const QString& owner, const QString& uris,
                     const amqp::tls_settings& tls, std::function<QString(const QString& why)> advice = {});

// The line to write once at start-up when amqps brokers are used (among the comma-separated
// uris) and tls checks nothing; empty when there is none to write.
QString unchecked_tls_warning(const QString& uris, const amqp::tls_settings& tls);
