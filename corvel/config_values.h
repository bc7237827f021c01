#pragma once

#include "logger.h"

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QVariantHash>

#include <optional>

// Where the health and metrics listener takes connections.
struct listen_address {
    QHostAddress host;
    quint16 port = 0;
    QString text;  // as configured
};

// "exchange:key, exchange:key" as bindings: spaces removed, empty parts skipped, pieces past the
// second dropped. Throws config_error naming a non-empty part without ":".
QList<QPair<QString, QString>> parse_bindings(const QString& text);

// "host:port, host:port" ("[::1]:26379" for IPv6) as hosts and ports: spaces around items
// ignored, empty items skipped. Throws config_error naming key and an item without a port from 1
// to 65535 or without a host.
QList<QPair<QString, quint32>> parse_host_ports(const char* key, const QString& text);

// "name=value, name=value" as queue declaration arguments: spaces around items and around "="
// ignored, empty items skipped. true and false give booleans, whole numbers qint64, anything else
// text. Throws config_error naming an item without "=", with an empty name or given twice.
QVariantHash parse_queue_arguments(const QString& text);

// "127.0.0.1:9470" or "[::1]:9470": an IP address (IPv6 in brackets) and a port from 1 to 65535.
// Throws config_error naming HTTP_LISTEN otherwise.
listen_address parse_listen_address(const QString& text);

// LOG_LEVEL's and LOG_TARGET's names for a level and a target, as the file writes them ("INFORM",
// "stderr-json"), and back: nothing for a name the file cannot give.
QString log_level_name(LogLevel level);
QString log_target_name(log_target target);
std::optional<LogLevel> level_from_name(const QString& name);
std::optional<log_target> target_from_name(const QString& name);
