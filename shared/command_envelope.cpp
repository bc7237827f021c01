#include "command_envelope.h"

#include "json_scan.h"

#include <QJsonArray>
#include <QJsonDocument>

delivery read_delivery(uint64_t tag, const QByteArray& routing_key, const QByteArray& body)
{
    delivery d{tag, routing_key, body, QJsonObject(), QString()};
    // A Qt document costs several times its text (16 bytes a number) and, even for a small
    // command, more time than the scan: the array is read in place by its handler instead.
    if (read_envelope_in_place(body, d.json, d.data_text))
        return d;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        d.problem = QStringLiteral("the body is not JSON: %1 at offset %2").arg(error.errorString()).arg(error.offset);
    else if (!document.isObject())
        d.problem = QStringLiteral("the body is not a JSON object");
    else
        d.json = document.object();
    return d;
}

namespace envelope {

model::command read(const QJsonObject& json)
{
    model::command command;
    command._type = json.value(QLatin1String("msg_type")).toString();
    command._sender = json.value(QLatin1String("sender")).toString();
    command._id = QUuid(json.value(QLatin1String("cmd_id")).toString());
    const QJsonValue data = json.value(QLatin1String("data"));
    if (data.isObject())
        command._data = QJsonDocument(data.toObject());
    else if (data.isArray())
        command._data = QJsonDocument(data.toArray());
    return command;
}

bool is_response(const model::command& command)
{
    return command._type == QLatin1String("response");
}

QJsonObject command(const QString& type, const QString& sender, const QUuid& id, const QJsonValue& data)
{
    return QJsonObject{{QStringLiteral("msg_type"), type},
                       {QStringLiteral("sender"), sender},
                       {QStringLiteral("cmd_id"), id.toString()},
                       {QStringLiteral("data"), data}};
}

QJsonObject response(const QUuid& id, const QJsonObject& data)
{
    return QJsonObject{{QStringLiteral("msg_type"), QStringLiteral("response")},
                       {QStringLiteral("cmd_id"), id.toString()},
                       {QStringLiteral("data"), data}};
}

QJsonObject refusal(const QString& why)
{
    return QJsonObject{{QStringLiteral("result"), false}, {QStringLiteral("reason"), why.left(reason_limit)}};
}

QByteArray wire_text(const QJsonObject& envelope)
{
    return QJsonDocument(envelope).toJson(QJsonDocument::Compact);
}

QByteArray response_text(const QUuid& id, const QJsonObject& data)
{
    // The keys in the order a JSON object keeps them: sorted.
    return "{\"cmd_id\":\"" + id.toByteArray() + "\",\"data\":" + QJsonDocument(data).toJson(QJsonDocument::Compact) +
           ",\"msg_type\":\"response\"}";
}

}  // namespace envelope
