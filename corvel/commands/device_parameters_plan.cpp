#include "commands/device_parameters_plan.h"

#include "commands/clients_devices_plan.h"

#include <QJsonObject>

QList<QByteArray> device_properties_command(const QJsonValue& element)
{
    if (!element.isObject())
        return {};
    const QJsonObject modem = element.toObject();
    // Both fields are always written, so an absent one overwrites a stored value with "".
    return {"HMSET",    "dev:properties:" + id_text(modem.value(QLatin1String("modem_id"))),
            "hw_type",  modem.value(QLatin1String("hw_type")).toString().toLatin1(),
            "protocol", modem.value(QLatin1String("protocol")).toString().toLatin1()};
}

bool device_parameters_commands::write(redis::command_writer& out)
{
    while (_index < _modems.size() && !out.full()) {
        const QList<QByteArray> hmset = device_properties_command(_modems.at(_index++));
        if (!hmset.isEmpty())
            out.add(hmset);
    }
    return _index == _modems.size();
}
