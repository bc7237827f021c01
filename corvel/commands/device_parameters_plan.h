#pragma once

#include "redis_job.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonValue>
#include <QList>

// The HMSET that writes one modem's properties, or an empty command for an element that is not
// a JSON object (such elements are skipped).
QList<QByteArray> device_properties_command(const QJsonValue& element);

// The HMSETs of a device_parameters payload, written in pieces.
class device_parameters_commands {
public:
    explicit device_parameters_commands(QJsonArray modems) : _modems(std::move(modems)) {}
    bool write(redis::command_writer& out);

private:
    QJsonArray _modems;
    int _index = 0;
};
