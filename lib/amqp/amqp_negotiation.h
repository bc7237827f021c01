#pragma once

#include <QByteArray>
#include <QString>
#include <QVariantHash>

#include <cstdint>

namespace amqp {

// What the connection is run with, from connection.tune and our tune-ok.
struct tune_values {
    int channel_max;
    int frame_max;
    int heartbeat;  // seconds

    bool operator==(const tune_values& o) const
    {
        return channel_max == o.channel_max && frame_max == o.frame_max && heartbeat == o.heartbeat;
    }
};

// Our answer to the broker's proposal: its channel and frame limits where below ours (0 there
// means no limit), and a heartbeat of 10 to 15 s whatever it proposes.
tune_values choose_tune(uint16_t channel_max, uint32_t frame_max, uint16_t heartbeat);

// The client properties of connection.start-ok; connection_name only when one is given.
QVariantHash client_properties(const QString& connection_name);

// The PLAIN mechanism's response: NUL, user, NUL, password.
QByteArray plain_response(const QString& user, const QString& password);

}  // namespace amqp
