#include "command_envelope.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <string_view>

namespace {

// Printable ASCII but the quote and the backslash: what Qt writes as it stands in a JSON string.
bool plain_text(const QString& text)
{
    for (const QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() >= 0x7f || c == QLatin1Char('"') || c == QLatin1Char('\\'))
            return false;
    return true;
}

void append_quoted(QByteArray& out, const QString& text)
{
    out.append('"');
    const int at = out.size();
    out.resize(at + text.size());
    char* to = out.data() + at;
    for (const QChar c : text)
        *to++ = static_cast<char>(c.unicode());
    out.append('"');
}

// QUuid::toByteArray()'s text (braces, lower-case hex), its 38 characters written at to.
char* write_uuid(char* to, const QUuid& id)
{
    static const char digits[] = "0123456789abcdef";
    const auto hex = [&to](unsigned value, int count) {
        for (int shift = 4 * (count - 1); shift >= 0; shift -= 4)
            *to++ = digits[(value >> shift) & 0xf];
    };
    *to++ = '{';
    hex(id.data1, 8);
    *to++ = '-';
    hex(id.data2, 4);
    *to++ = '-';
    hex(id.data3, 4);
    *to++ = '-';
    for (int i = 0; i < 8; ++i) {
        if (i == 2)
            *to++ = '-';
        hex(id.data4[i], 2);
    }
    *to++ = '}';
    return to;
}

void append_uuid(QByteArray& out, const QUuid& id)
{
    char text[38];
    write_uuid(text, id);
    out.append(text, static_cast<int>(sizeof text));
}

// The compact text Qt writes for an object whose keys are plain and whose values are booleans,
// nulls and plain strings (what commands answer); false, leaving out partly written, for any other.
bool append_plain_object(QByteArray& out, const QJsonObject& data)
{
    out.append('{');
    for (auto it = data.begin(); it != data.end(); ++it) {
        if (it != data.begin())
            out.append(',');
        const QString key = it.key();
        if (!plain_text(key))
            return false;
        append_quoted(out, key);
        out.append(':');
        const QJsonValue value = it.value();
        switch (value.type()) {
        case QJsonValue::Bool:
            out.append(value.toBool() ? "true" : "false");
            break;
        case QJsonValue::Null:
            out.append("null", 4);
            break;
        case QJsonValue::String: {
            const QString text = value.toString();
            if (!plain_text(text))
                return false;
            append_quoted(out, text);
            break;
        }
        default:
            return false;
        }
    }
    out.append('}');
    return true;
}

}  // namespace

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
    QByteArray text;
    write_response_text(text, id, data);
    return text;
}

void write_response_text(QByteArray& text, const QUuid& id, const QJsonObject& data)
{
    // The keys in the order a JSON object keeps them: sorted.
    static constexpr std::string_view head = "{\"cmd_id\":\"";
    static constexpr std::string_view empty_data = "\",\"data\":{},\"msg_type\":\"response\"}";
    if (data.isEmpty()) {  // most commands answer nothing more
        text.resize(static_cast<int>(head.size() + 38 + empty_data.size()));
        char* to = text.data();
        to = std::copy(head.begin(), head.end(), to);
        to = write_uuid(to, id);
        std::copy(empty_data.begin(), empty_data.end(), to);
        return;
    }
    text.resize(0);
    text.reserve(128);
    text.append(head.data(), static_cast<int>(head.size()));
    append_uuid(text, id);
    text.append("\",\"data\":", 9);
    const int data_at = text.size();
    if (!append_plain_object(text, data)) {
        text.truncate(data_at);
        text.append(QJsonDocument(data).toJson(QJsonDocument::Compact));
    }
    text.append(",\"msg_type\":\"response\"}", 23);
}

}  // namespace envelope
