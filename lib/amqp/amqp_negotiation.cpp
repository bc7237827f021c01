#include "amqp_negotiation.h"

#include <amqp.h>

#include <algorithm>

namespace amqp {

namespace {

constexpr int wanted_heartbeat_s = 15;
constexpr int shortest_heartbeat_s = 10;
constexpr uint32_t wanted_frame_max = 131072;
constexpr int wanted_channel_max = 2047;

}  // namespace

tune_values choose_tune(uint16_t channel_max, uint32_t frame_max, uint16_t heartbeat)
{
    tune_values t;
    t.channel_max = channel_max == 0 ? wanted_channel_max : std::min<int>(channel_max, wanted_channel_max);
    t.frame_max = static_cast<int>(frame_max == 0 ? wanted_frame_max : std::min(frame_max, wanted_frame_max));
    // A frozen broker must be noticed within a minute, whatever it proposes.
    t.heartbeat = heartbeat >= shortest_heartbeat_s && heartbeat < wanted_heartbeat_s ? heartbeat : wanted_heartbeat_s;
    return t;
}

QVariantHash client_properties(const QString& connection_name)
{
    const QVariantHash capabilities{{QStringLiteral("consumer_cancel_notify"), true},
                                    {QStringLiteral("connection.blocked"), true},
                                    {QStringLiteral("authentication_failure_close"), true}};
    QVariantHash properties{{QStringLiteral("product"), QStringLiteral("Qt adapter over rabbitmq-c")},
                            {QStringLiteral("version"), QString::fromLatin1(amqp_version())},
                            {QStringLiteral("platform"), QStringLiteral("Qt " QT_VERSION_STR)},
                            {QStringLiteral("capabilities"), capabilities}};
    if (!connection_name.isEmpty())
        properties.insert(QStringLiteral("connection_name"), connection_name);
    return properties;
}

QByteArray plain_response(const QString& user, const QString& password)
{
    return QByteArray(1, '\0') + user.toUtf8() + QByteArray(1, '\0') + password.toUtf8();
}

}  // namespace amqp
