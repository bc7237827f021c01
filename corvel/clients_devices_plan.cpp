#include "clients_devices_plan.h"

#include <QJsonObject>

client_entry read_client_entry(const QJsonValue& element)
{
    const QJsonObject object = element.toObject();
    client_entry entry;
    entry.api_key = object.value(QLatin1String("api_key")).toString();
    entry.modem_ids = object.value(QLatin1String("modem_ids")).toArray();
    entry.station_ids = object.value(QLatin1String("station_ids")).toArray();
    entry.has_role = object.contains(QLatin1String("role"));
    if (entry.has_role)
        entry.role = object.value(QLatin1String("role")).toString();
    return entry;
}

QByteArray id_text(const QJsonValue& id)
{
    return QByteArray::number(id.toInt());
}

void plan_client(const client_entry& entry, const std::function<void(const QList<QByteArray>&)>& out)
{
    const QByteArray client = entry.api_key.toLatin1();

    QList<QByteArray> client_devices;
    for (const QJsonValue& id : entry.modem_ids) {
        const QByteArray modem = id_text(id);
        client_devices.append(modem);
        out({"SADD", "tmp:dev:clients:" + modem, client});
    }
    client_devices.prepend("tmp:client:devices:" + client);
    client_devices.prepend("SADD");

    QList<QByteArray> client_bss;
    if (entry.station_ids.isEmpty()) {
        client_bss = {"SADD", "tmp:client:bs:" + client, "NULL"};
    } else {
        for (const QJsonValue& id : entry.station_ids) {
            const QByteArray station = id_text(id);
            client_bss.append(station);
            out({"SADD", "tmp:bs:clients:" + station, client});
        }
        client_bss.prepend("tmp:client:bs:" + client);
        client_bss.prepend("SADD");
    }

    out(client_bss);
    // A client without modems gets an empty set; Redis stores that as no key. An SADD without a
    // member would be refused and take the whole transaction down with it.
    const bool has_modems = !entry.modem_ids.isEmpty();
    if (has_modems)
        out(client_devices);
    out({"RENAME", "tmp:client:bs:" + client, "client:bs:" + client});
    if (has_modems)
        out({"RENAME", "tmp:client:devices:" + client, "client:devices:" + client});
    else
        out({"DEL", "client:devices:" + client});
    if (entry.has_role)
        out({"HSET", "client:properties:" + client, "role", entry.role.toLatin1()});
}
