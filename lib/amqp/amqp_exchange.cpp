// The exchange half of the channels: declaring, publishing, and publisher confirms.
#include "amqp_channel.h"

#include "amqp_client.h"
#include "amqp_table.h"

#include <algorithm>
#include <utility>

namespace amqp {

namespace {

amqp_bytes_t bytes_of(const QByteArray& bytes)
{
    return amqp_bytes_t{static_cast<size_t>(bytes.size()), const_cast<char*>(bytes.constData())};
}

int confirm_select(frame_out& out, amqp_channel_t ch)
{
    amqp_confirm_select_t select{0};  // its select-ok tells nothing we need; publications may follow at once
    return out.method(ch, AMQP_CONFIRM_SELECT_METHOD, &select);
}

}  // namespace

void exchange::declare(const QString& type, int options, const QVariantHash& arguments)
{
    const QByteArray name_bytes = name().toUtf8();
    const QByteArray kind = type.toUtf8();
    send([=](frame_out& out, amqp_channel_t ch) {
        table_storage storage;
        amqp_exchange_declare_t d{};
        d.exchange = storage.bytes(name_bytes);
        d.type = storage.bytes(kind);
        d.passive = (options & Passive) != 0;
        d.durable = (options & Durable) != 0;
        d.auto_delete = (options & AutoDelete) != 0;
        d.internal = (options & Internal) != 0;
        d.nowait = (options & NoWait) != 0;
        d.arguments = storage.table(arguments);
        return out.method(ch, AMQP_EXCHANGE_DECLARE_METHOD, &d);
    });
    if (options & NoWait)
        emit declared();
}

template <class Op>
bool channel::send_in_place(const Op& op, qint64 bytes)
{
    if (_state == state::open && _client->writes_at_once())
        return _client->run(op, _number);
    return send(op, bytes);
}

bool exchange::publish(const QByteArray& body, const QString& routingKey, const QString& mimeType)
{
    return put(body, routingKey.toUtf8(), mimeType);
}

quint64 exchange::publishTracked(const QByteArray& body, const QString& routingKey, const QString& mimeType)
{
    return publishTrackedBytes(body, routingKey.toUtf8(), mimeType);
}

quint64 exchange::publishTrackedBytes(const QByteArray& body, const QByteArray& routingKey, const QString& mimeType)
{
    if (!put(body, routingKey, mimeType))
        return 0;
    // Sends of a channel go out in the order made and none is dropped while its opening lasts,
    // so the broker will number this one _published.
    const quint64 sequence = _base + _published;
    if (_confirms)
        _unconfirmed.push_back(sequence);
    return sequence;
}

QString exchange::publicationProblem(const QString& exchangeName, const QString& routingKey, const QString& mimeType)
{
    // A UTF-16 unit takes at most 3 bytes in UTF-8: short texts need no conversion to be sure.
    const int most = short_string_max / 3;
    if (exchangeName.size() <= most && routingKey.size() <= most && mimeType.size() <= most)
        return QString();
    return oversized(exchangeName.toUtf8(), routingKey.toUtf8(), mimeType.toUtf8());
}

QString exchange::publicationProblem(const QString& exchangeName, const QByteArray& routingKey, const QString& mimeType)
{
    const int most = short_string_max / 3;
    if (exchangeName.size() <= most && routingKey.size() <= short_string_max && mimeType.size() <= most)
        return QString();
    return oversized(exchangeName.toUtf8(), routingKey, mimeType.toUtf8());
}

QString exchange::oversized(const QByteArray& exchangeName, const QByteArray& routingKey, const QByteArray& mimeType)
{
    const std::pair<const char*, int> fields[] = {
        {"routing key", routingKey.size()}, {"exchange name", exchangeName.size()}, {"content type", mimeType.size()}};
    for (const auto& [what, bytes] : fields)
        if (bytes > short_string_max)
            return QStringLiteral("the %1 is %2 bytes, at most %3 fit")
                .arg(QLatin1String(what))
                .arg(bytes)
                .arg(short_string_max);
    return QString();
}

bool exchange::put(const QByteArray& body, const QByteArray& key, const QString& mimeType)
{
    if (!_client->isConnected() || !_client->outbox_takes(body.size()))
        return false;
    if (_name_bytes.isNull())
        _name_bytes = name().toUtf8();
    // Most publications carry the content type of the one before.
    if (mimeType != _type) {
        _type = mimeType;
        _type_bytes = mimeType.toUtf8();
    }
    if (!oversized(_name_bytes, key, _type_bytes).isEmpty())
        return false;
    const bool taken = send_in_place(
        [name = _name_bytes, key, type = _type_bytes, body](frame_out& out, amqp_channel_t ch) {
            amqp_basic_properties_t properties{};
            properties._flags = AMQP_BASIC_CONTENT_TYPE_FLAG;
            properties.content_type = bytes_of(type);
            return out.publish(ch, bytes_of(name), bytes_of(key), properties, bytes_of(body));
        },
        body.size());
    if (taken)
        ++_published;
    return taken;
}

void exchange::enableConfirms()
{
    if (_confirms)
        return;
    _confirms = true;
    if (isOpening()) {
        // What waits for the open-ok goes out after the select, and is numbered by the broker.
        send_first(confirm_select);
    } else if (isOpen()) {
        // What went before the select is not numbered.
        _base += _published;
        _published = 0;
        send(confirm_select);
    }
}

void exchange::opening()
{
    // The broker numbers from 1 again; numbers of earlier openings must not come back.
    _base += _published;
    _published = 0;
    if (_confirms)
        send(confirm_select);
}

void exchange::settle(quint64 deliveryTag, bool multiple, bool acked)
{
    const quint64 sequence = _base + deliveryTag;
    const auto first = _unconfirmed.begin();
    bool any = false;
    if (multiple) {
        const auto end = std::upper_bound(first, _unconfirmed.end(), sequence);
        any = end != first;
        _unconfirmed.erase(first, end);
    } else {
        const auto it = std::lower_bound(first, _unconfirmed.end(), sequence);
        any = it != _unconfirmed.end() && *it == sequence;
        if (any)
            _unconfirmed.erase(it);
    }
    if (!any)
        return;  // only untracked publications
    if (acked)
        emit confirmed(sequence, multiple);
    else
        emit nacked(sequence, multiple);
}

void exchange::handle_method(const amqp_method_t& method)
{
    switch (method.id) {
    case AMQP_EXCHANGE_DECLARE_OK_METHOD:
        emit declared();
        break;
    case AMQP_BASIC_ACK_METHOD: {
        const auto* ack = static_cast<const amqp_basic_ack_t*>(method.decoded);
        settle(ack->delivery_tag, ack->multiple != 0, true);
        break;
    }
    case AMQP_BASIC_NACK_METHOD: {
        const auto* nack = static_cast<const amqp_basic_nack_t*>(method.decoded);
        settle(nack->delivery_tag, nack->multiple != 0, false);
        break;
    }
    case AMQP_CONFIRM_SELECT_OK_METHOD:
    default:
        break;
    }
}

void exchange::reset()
{
    channel::reset();
    if (_unconfirmed.empty())
        return;
    _unconfirmed.clear();
    emit confirmsLost();
}

}  // namespace amqp
