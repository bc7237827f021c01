#include "amqp_channel.h"

#include "amqp_client.h"
#include "amqp_table.h"
#include "amqp_text.h"

#include <algorithm>
#include <cstring>

namespace amqp {

namespace {

// A delivery tag handed out carries the opening of the channel it came on above the broker's tag.
constexpr int epoch_shift = 40;
constexpr quint64 broker_tag_mask = (quint64(1) << epoch_shift) - 1;
constexpr quint32 epoch_mask = 0xFFFFFF;

}  // namespace

channel::channel(client* owner, quint16 number, const QString& name)
    : QObject(owner),
      _client(owner),
      _number(number),
      _name(name)
{
}

void channel::open()
{
    // A second channel.open on an open channel makes the broker close the whole connection.
    if (_state != state::closed)
        return;
    _state = state::opening;
    _epoch = (_epoch % epoch_mask) + 1;  // never 0: that marks sends that belong to no opening
    _client->submit(_number, _epoch, 0, [](frame_out& out, amqp_channel_t ch) {
        amqp_channel_open_t open{amqp_empty_bytes};
        return out.method(ch, AMQP_CHANNEL_OPEN_METHOD, &open);
    });
    if (_state == state::opening)
        opening();
}

void channel::on_open_ok()
{
    if (_state != state::opening)
        return;
    _state = state::open;
    std::vector<sender> waiting;
    std::vector<qint64> bytes;
    waiting.swap(_waiting);
    bytes.swap(_waiting_bytes);
    const quint32 epoch = _epoch;
    // These were taken already: a full outbox must not drop them now, out of their order.
    for (size_t i = 0; i < waiting.size() && _state == state::open && _epoch == epoch; ++i)
        _client->submit(_number, _epoch, bytes[i], std::move(waiting[i]), true);
    if (_state == state::open && _epoch == epoch)
        emit opened();
}

void channel::on_closed_by_broker(const amqp_channel_close_t& close)
{
    const int code = close.reply_code;
    const QString reason = text(close.reply_text);
    _client->submit(_number, 0, 0, [](frame_out& out, amqp_channel_t ch) {
        amqp_channel_close_ok_t ok{};
        return out.method(ch, AMQP_CHANNEL_CLOSE_OK_METHOD, &ok);
    });
    reset();
    // Sending on a closed channel would make the broker close the whole connection: reopen now
    // (once: what reset() told the owner may have reopened it already), so what the owner does
    // about the error goes out on the new channel.
    if (_client->isConnected())
        open();
    emit error(code, reason);
}

void channel::reset()
{
    _state = state::closed;
    _waiting.clear();
    _waiting_bytes.clear();
}

bool channel::send(sender op, qint64 bytes)
{
    if (!_client->isConnected())
        return false;
    if (_state == state::closed)
        open();
    if (_state == state::opening) {
        _waiting.push_back(std::move(op));
        _waiting_bytes.push_back(bytes);
        return true;
    }
    return _client->submit(_number, _epoch, bytes, std::move(op));
}

bool channel::send_first(sender op)
{
    if (_state != state::opening)
        return send(std::move(op));
    _waiting.insert(_waiting.begin(), std::move(op));
    _waiting_bytes.insert(_waiting_bytes.begin(), 0);
    return true;
}

void channel::handle_method(const amqp_method_t&) {}

void channel::qos(quint16 prefetchCount, quint32 prefetchSize)
{
    send([=](frame_out& out, amqp_channel_t ch) {
        amqp_basic_qos_t qos{prefetchSize, prefetchCount, 0};
        return out.method(ch, AMQP_BASIC_QOS_METHOD, &qos);
    });
}

// --- queue

void queue::declare(int options, const QVariantHash& arguments)
{
    const QByteArray name_bytes = name().toUtf8();
    send([=](frame_out& out, amqp_channel_t ch) {
        table_storage storage;
        amqp_queue_declare_t d{};
        d.queue = storage.bytes(name_bytes);
        d.passive = (options & Passive) != 0;
        d.durable = (options & Durable) != 0;
        d.exclusive = (options & Exclusive) != 0;
        d.auto_delete = (options & AutoDelete) != 0;
        d.nowait = (options & NoWait) != 0;
        d.arguments = storage.table(arguments);
        return out.method(ch, AMQP_QUEUE_DECLARE_METHOD, &d);
    });
    if (options & NoWait)
        emit declared();
}

void queue::bind(const QString& exchangeName, const QString& routingKey)
{
    const QByteArray name_bytes = name().toUtf8();
    const QByteArray ex = exchangeName.toUtf8();
    const QByteArray key = routingKey.toUtf8();
    send([=](frame_out& out, amqp_channel_t ch) {
        table_storage storage;
        amqp_queue_bind_t b{};
        b.queue = storage.bytes(name_bytes);
        b.exchange = storage.bytes(ex);
        b.routing_key = storage.bytes(key);
        b.arguments = amqp_empty_table;
        return out.method(ch, AMQP_QUEUE_BIND_METHOD, &b);
    });
}

void queue::consume(int options)
{
    const QByteArray name_bytes = name().toUtf8();
    send([=](frame_out& out, amqp_channel_t ch) {
        table_storage storage;
        amqp_basic_consume_t c{};
        c.queue = storage.bytes(name_bytes);
        c.consumer_tag = amqp_empty_bytes;
        c.no_local = (options & coNoLocal) != 0;
        c.no_ack = (options & coNoAck) != 0;
        c.exclusive = (options & coExclusive) != 0;
        c.nowait = 0;  // the consumer tag comes with consume-ok
        c.arguments = amqp_empty_table;
        return out.method(ch, AMQP_BASIC_CONSUME_METHOD, &c);
    });
}

void queue::cancel(bool noWait)
{
    if (_consumer_tag.isEmpty())
        return;
    const QByteArray tag = _consumer_tag;
    send([=](frame_out& out, amqp_channel_t ch) {
        table_storage storage;
        amqp_basic_cancel_t c{storage.bytes(tag), noWait};
        return out.method(ch, AMQP_BASIC_CANCEL_METHOD, &c);
    });
    if (noWait) {
        _consumer_tag.clear();
        emit cancelled();
    }
}

void queue::remove()
{
    const QByteArray name_bytes = name().toUtf8();
    send([=](frame_out& out, amqp_channel_t ch) {
        table_storage storage;
        amqp_queue_delete_t d{};
        d.queue = storage.bytes(name_bytes);
        return out.method(ch, AMQP_QUEUE_DELETE_METHOD, &d);
    });
}

bool queue::tag_is_current(quint64 deliveryTag) const
{
    return isOpen() && (deliveryTag >> epoch_shift) == epoch();
}

bool queue::ack(quint64 deliveryTag, bool multiple)
{
    if (!tag_is_current(deliveryTag))
        return false;
    const quint64 tag = deliveryTag & broker_tag_mask;
    return send([=](frame_out& out, amqp_channel_t ch) {
        amqp_basic_ack_t a{tag, multiple};
        return out.method(ch, AMQP_BASIC_ACK_METHOD, &a);
    });
}

bool queue::reject(quint64 deliveryTag, bool requeue)
{
    if (!tag_is_current(deliveryTag))
        return false;
    const quint64 tag = deliveryTag & broker_tag_mask;
    return send([=](frame_out& out, amqp_channel_t ch) {
        amqp_basic_reject_t r{tag, requeue};
        return out.method(ch, AMQP_BASIC_REJECT_METHOD, &r);
    });
}

bool queue::nack(quint64 deliveryTag, bool multiple, bool requeue)
{
    if (!tag_is_current(deliveryTag))
        return false;
    const quint64 tag = deliveryTag & broker_tag_mask;
    return send([=](frame_out& out, amqp_channel_t ch) {
        amqp_basic_nack_t n{tag, multiple, requeue};
        return out.method(ch, AMQP_BASIC_NACK_METHOD, &n);
    });
}

message queue::dequeue()
{
    if (_messages.empty())
        return message();
    message m = std::move(_messages.front());
    _messages.pop_front();
    return m;
}

void queue::handle_method(const amqp_method_t& method)
{
    switch (method.id) {
    case AMQP_QUEUE_DECLARE_OK_METHOD: {
        const auto* ok = static_cast<const amqp_queue_declare_ok_t*>(method.decoded);
        _consumer_count = ok->consumer_count;
        emit declared();
        break;
    }
    case AMQP_QUEUE_BIND_OK_METHOD:
        emit bound();
        break;
    case AMQP_QUEUE_DELETE_OK_METHOD:
        emit removed();
        break;
    case AMQP_BASIC_CONSUME_OK_METHOD: {
        const auto* ok = static_cast<const amqp_basic_consume_ok_t*>(method.decoded);
        _consumer_tag =
            QByteArray(static_cast<const char*>(ok->consumer_tag.bytes), static_cast<int>(ok->consumer_tag.len));
        _client->consumer_started();
        emit consuming();
        break;
    }
    case AMQP_BASIC_CANCEL_OK_METHOD:
    case AMQP_BASIC_CANCEL_METHOD:  // the broker's: the queue went away
        _consumer_tag.clear();
        emit cancelled();
        break;
    case AMQP_BASIC_DELIVER_METHOD: {
        const auto* d = static_cast<const amqp_basic_deliver_t*>(method.decoded);
        _incoming = message();
        _incoming.deliveryTag = (quint64(epoch()) << epoch_shift) | (d->delivery_tag & broker_tag_mask);
        _incoming.exchange = _exchange_text.of(d->exchange);
        _incoming.routingKey = _key_text.of(d->routing_key);
        _incoming.redelivered = d->redelivered != 0;
        _receiving = true;
        _have_header = false;
        break;
    }
    default:
        break;
    }
}

const QString& queue::last_text::of(const amqp_bytes_t& field)
{
    const char* const data = static_cast<const char*>(field.bytes);
    const int size = static_cast<int>(field.len);
    if (!made || size != bytes.size() || (size > 0 && std::memcmp(data, bytes.constData(), field.len) != 0)) {
        bytes = QByteArray(data, size);
        text = amqp::text(field);
        made = true;
    }
    return text;
}

void queue::handle_header(const amqp_frame_t& frame)
{
    if (!_receiving)
        return;
    const auto* properties = static_cast<const amqp_basic_properties_t*>(frame.payload.properties.decoded);
    if (properties && (properties->_flags & AMQP_BASIC_CONTENT_TYPE_FLAG))
        _incoming.contentType = _type_text.of(properties->content_type);
    _expected_size = frame.payload.properties.body_size;
    _incoming.payload.reserve(static_cast<int>(std::min<quint64>(_expected_size, 64 << 20)));
    _have_header = true;
    deliver_if_complete();
}

void queue::handle_body(const amqp_bytes_t& fragment)
{
    if (!_receiving || !_have_header)
        return;
    _incoming.payload.append(static_cast<const char*>(fragment.bytes), static_cast<int>(fragment.len));
    deliver_if_complete();
}

void queue::deliver_if_complete()
{
    if (static_cast<quint64>(_incoming.payload.size()) < _expected_size)
        return;
    _receiving = false;
    _messages.push_back(std::move(_incoming));
    _incoming = message();
    emit messageReceived();
}

void queue::reset()
{
    channel::reset();
    _consumer_tag.clear();
    _messages.clear();
    _incoming = message();
    _receiving = false;
}

}  // namespace amqp
