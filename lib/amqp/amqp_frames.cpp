// Encoding frames into a buffer of ours, byte for byte as the library's own sends would.
#include "amqp_frames.h"

#include <algorithm>
#include <cstring>

namespace amqp {

namespace {

constexpr int header_bytes = 7;  // type, channel, payload size
constexpr int end_bytes = 1;

char* put16(char* p, quint16 v)
{
    p[0] = static_cast<char>(v >> 8);
    p[1] = static_cast<char>(v);
    return p + 2;
}

char* put32(char* p, quint32 v)
{
    p = put16(p, static_cast<quint16>(v >> 16));
    return put16(p, static_cast<quint16>(v));
}

char* put64(char* p, quint64 v)
{
    p = put32(p, static_cast<quint32>(v >> 32));
    return put32(p, static_cast<quint32>(v));
}

quint32 get32(const char* p)
{
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (quint32(u[0]) << 24) | (quint32(u[1]) << 16) | (quint32(u[2]) << 8) | quint32(u[3]);
}

// Room for one frame at the end of out; its header and end octet are written once the payload's
// size is known.
char* open_frame(QByteArray& out, int payload_room)
{
    const int start = out.size();
    out.resize(start + header_bytes + payload_room + end_bytes);
    return out.data() + start;
}

void close_frame(QByteArray& out, char* frame, quint8 type, amqp_channel_t channel, int payload)
{
    frame[0] = static_cast<char>(type);
    put32(put16(frame + 1, channel), static_cast<quint32>(payload));
    frame[header_bytes + payload] = static_cast<char>(AMQP_FRAME_END);
    out.resize(static_cast<int>(frame - out.constData()) + header_bytes + payload + end_bytes);
}

}  // namespace

qint64 frame_length(const char* data, qint64 available)
{
    if (available < header_bytes)
        return 0;
    return header_bytes + qint64(get32(data + 3)) + end_bytes;
}

int frame_out::method(amqp_channel_t channel, amqp_method_number_t id, void* decoded)
{
    if (!_buffer)
        return amqp_send_method(_state, channel, id, decoded);
    return append_method(channel, id, decoded);
}

int frame_out::publish(amqp_channel_t channel, amqp_bytes_t exchange, amqp_bytes_t routing_key,
                       const amqp_basic_properties_t& properties, amqp_bytes_t body)
{
    if (!_buffer)
        return amqp_basic_publish(_state, channel, exchange, routing_key, 0, 0, &properties, body);
    amqp_basic_publish_t p{};
    p.exchange = exchange;
    p.routing_key = routing_key;
    const int start = _buffer->size();
    int status = append_method(channel, AMQP_BASIC_PUBLISH_METHOD, &p);
    if (status == AMQP_STATUS_OK)
        status = append_header(channel, properties, body.len);
    if (status != AMQP_STATUS_OK) {
        _buffer->resize(start);  // nothing of it goes out
        return status;
    }
    append_body(channel, body);
    return AMQP_STATUS_OK;
}

int frame_out::append_method(amqp_channel_t channel, amqp_method_number_t id, void* decoded)
{
    const int room = amqp_get_frame_max(_state) - header_bytes - end_bytes;
    char* frame = open_frame(*_buffer, room);
    char* payload = frame + header_bytes;
    put32(payload, id);
    const int encoded = amqp_encode_method(id, decoded, amqp_bytes_t{static_cast<size_t>(room - 4), payload + 4});
    if (encoded < 0) {
        _buffer->resize(static_cast<int>(frame - _buffer->constData()));
        return encoded;
    }
    close_frame(*_buffer, frame, AMQP_FRAME_METHOD, channel, 4 + encoded);
    return AMQP_STATUS_OK;
}

int frame_out::append_header(amqp_channel_t channel, const amqp_basic_properties_t& properties, quint64 body_size)
{
    const int room = amqp_get_frame_max(_state) - header_bytes - end_bytes;
    char* frame = open_frame(*_buffer, room);
    char* payload = frame + header_bytes;
    put64(put16(put16(payload, AMQP_BASIC_CLASS), 0), body_size);  // class, weight, body size
    const int fixed = 12;
    const int encoded = amqp_encode_properties(AMQP_BASIC_CLASS, const_cast<amqp_basic_properties_t*>(&properties),
                                               amqp_bytes_t{static_cast<size_t>(room - fixed), payload + fixed});
    if (encoded < 0) {
        _buffer->resize(static_cast<int>(frame - _buffer->constData()));
        return encoded;
    }
    close_frame(*_buffer, frame, AMQP_FRAME_HEADER, channel, fixed + encoded);
    return AMQP_STATUS_OK;
}

void frame_out::append_body(amqp_channel_t channel, amqp_bytes_t body)
{
    const size_t most = static_cast<size_t>(amqp_get_frame_max(_state) - header_bytes - end_bytes);
    const char* data = static_cast<const char*>(body.bytes);
    for (size_t offset = 0; offset < body.len;) {
        const int piece = static_cast<int>(std::min(most, body.len - offset));
        char* frame = open_frame(*_buffer, piece);
        std::memcpy(frame + header_bytes, data + offset, static_cast<size_t>(piece));
        close_frame(*_buffer, frame, AMQP_FRAME_BODY, channel, piece);
        offset += static_cast<size_t>(piece);
    }
}

}  // namespace amqp
