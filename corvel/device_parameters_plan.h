#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QList>

// The HMSET that writes one modem's properties, or an empty command for an element that is not
// a JSON object (such elements are skipped).
QList<QByteArray> device_properties_command(const QJsonValue& element);
