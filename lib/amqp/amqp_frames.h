#pragma once

#include <amqp.h>
#include <amqp_framing.h>

#include <QByteArray>

namespace amqp {

// Where a channel's methods go. Given a buffer, each is appended to it encoded exactly as the
// library would send it, so that the frames of a whole turn of the event loop leave in one
// write; without one (a TLS connection, whose socket only the library can write), the library
// sends each at once. Both return the library's status codes.
class frame_out {
public:
    frame_out(amqp_connection_state_t state, QByteArray* buffer) : _state(state), _buffer(buffer) {}

    int method(amqp_channel_t channel, amqp_method_number_t id, void* decoded);
    int publish(amqp_channel_t channel, amqp_bytes_t exchange, amqp_bytes_t routing_key,
                const amqp_basic_properties_t& properties, amqp_bytes_t body);

private:
    int append_method(amqp_channel_t channel, amqp_method_number_t id, void* decoded);
    int append_header(amqp_channel_t channel, const amqp_basic_properties_t& properties, quint64 body_size);
    void append_body(amqp_channel_t channel, amqp_bytes_t body);

    amqp_connection_state_t _state;
    QByteArray* _buffer;
};

// A writer of frames for one send, referred to without being owned or copied: a send written at
// once needs no std::function (which puts what it captures on the heap).
class frame_writer {
public:
    template <class Op>
    frame_writer(const Op& op)  // NOLINT(google-explicit-constructor): stands in for op
        : _op(&op),
          _call([](const void* op, frame_out& out, amqp_channel_t channel) {
              return (*static_cast<const Op*>(op))(out, channel);
          })
    {
    }
    int operator()(frame_out& out, amqp_channel_t channel) const { return _call(_op, out, channel); }

private:
    const void* _op;
    int (*_call)(const void*, frame_out&, amqp_channel_t);
};

// Bytes of the frame that starts at data (header, payload and end octet); 0 when fewer than its
// 7 header bytes are given.
qint64 frame_length(const char* data, qint64 available);

}  // namespace amqp
