#pragma once

#include "amqp_frames.h"
#include "amqp_message.h"

#include <amqp.h>

#include <QObject>
#include <QString>
#include <QVariantHash>

#include <deque>
#include <functional>
#include <vector>

namespace amqp {

class client;

// The protocol's short strings (names of queues, exchanges and vhosts, routing keys, the content
// type) hold at most this many bytes.
constexpr int short_string_max = 255;

// A channel of a client, named after the queue or exchange it serves. It lives as long as its
// client and is opened again on every connection; calls made while it opens are sent once it is
// open. Calls made while the client is not connected are dropped.
class channel : public QObject {
    Q_OBJECT
public:
    int channelNumber() const { return _number; }
    QString name() const { return _name; }
    bool isOpen() const { return _state == state::open; }

    // basic.qos: at most prefetchCount unacknowledged deliveries (0: no limit).
    void qos(quint16 prefetchCount, quint32 prefetchSize = 0);

signals:
    void opened();
    // The broker closed the channel (reply code and text); it is opened again at once.
    void error(int replyCode, const QString& replyText);

protected:
    channel(client* owner, quint16 number, const QString& name);

    // Sends one method now, or once the channel is open. False when it was dropped.
    using sender = std::function<int(frame_out&, amqp_channel_t)>;
    bool send(sender op, qint64 bytes = 0);
    // As send, but op is called in place when the socket takes it at once: it becomes a sender
    // (a copy on the heap) only when it has to wait.
    template <class Op>
    bool send_in_place(const Op& op, qint64 bytes);
    // Like send, but ahead of everything waiting for the channel to open.
    bool send_first(sender op);
    quint32 epoch() const { return _epoch; }
    bool isOpening() const { return _state == state::opening; }

    // Frames for this channel, from the client's frame pump.
    virtual void handle_method(const amqp_method_t& method);
    virtual void handle_header(const amqp_frame_t&) {}
    virtual void handle_body(const amqp_bytes_t&) {}
    virtual void opening() {}  // channel.open has just been sent; nothing else has
    virtual void reset();      // the channel is gone: forget what belonged to it

    client* _client;

private:
    friend class client;
    enum class state { closed, opening, open };

    void open();
    void on_open_ok();
    void on_closed_by_broker(const amqp_channel_close_t& close);

    quint16 _number;
    QString _name;
    state _state = state::closed;
    quint32 _epoch = 0;            // counts openings, so tags and queued sends of an earlier one are told apart
    std::vector<sender> _waiting;  // calls made while the channel opens
    std::vector<qint64> _waiting_bytes;
};

// A queue on its own channel.
class queue : public channel {
    Q_OBJECT
public:
    enum QueueOption { NoOptions = 0, Passive = 1, Durable = 2, Exclusive = 4, AutoDelete = 8, NoWait = 16 };
    enum ConsumeOption { coNoOptions = 0, coNoLocal = 1, coNoAck = 2, coExclusive = 4, coNoWait = 8 };

    void declare(int options = Durable, const QVariantHash& arguments = {});
    void bind(const QString& exchangeName, const QString& routingKey);
    void consume(int options = coNoOptions);
    void cancel(bool noWait = false);
    void remove();  // queue.delete

    // False, and nothing is sent, for a tag that came on an earlier opening of the channel (the
    // broker has already requeued that delivery) or while the channel is not open.
    bool ack(quint64 deliveryTag, bool multiple = false);
    bool reject(quint64 deliveryTag, bool requeue);
    // basic.nack: a return to the queue that a quorum queue does not count as a failed delivery
    // the way it counts basic.reject.
    bool nack(quint64 deliveryTag, bool multiple, bool requeue);

    bool isConsuming() const { return !_consumer_tag.isEmpty(); }
    bool isEmpty() const { return _messages.empty(); }
    message dequeue();

    // What the last declare-ok said: the queue's messages ready for delivery and its consumers.
    quint32 consumerCount() const { return _consumer_count; }

signals:
    void declared();  // consumerCount is that of this declare-ok
    void bound();
    void consuming();
    void cancelled();  // by us, or by the broker (the queue was deleted, say)
    void removed();
    void messageReceived();

private:
    friend class client;
    using channel::channel;

    void handle_method(const amqp_method_t& method) override;
    void handle_header(const amqp_frame_t& frame) override;
    void handle_body(const amqp_bytes_t& fragment) override;
    void reset() override;
    bool tag_is_current(quint64 deliveryTag) const;
    void deliver_if_complete();

    // A short string of the deliveries as text: most deliveries carry the exchange, routing key
    // and content type of the one before, whose text is then shared rather than made again.
    struct last_text {
        QByteArray bytes;
        QString text;
        bool made = false;
        const QString& of(const amqp_bytes_t& field);
    };

    QByteArray _consumer_tag;
    std::deque<message> _messages;
    message _incoming;
    last_text _exchange_text;
    last_text _key_text;
    last_text _type_text;
    bool _receiving = false;
    bool _have_header = false;
    quint64 _expected_size = 0;
    quint32 _consumer_count = 0;
};

// An exchange on its own channel.
class exchange : public channel {
    Q_OBJECT
public:
    enum ExchangeOption { NoOptions = 0, Passive = 1, Durable = 2, AutoDelete = 4, Internal = 8, NoWait = 16 };

    void declare(const QString& type = QStringLiteral("direct"), int options = NoOptions,
                 const QVariantHash& arguments = {});
    // Publishes with the given content type. False when the message was dropped: not connected,
    // or too much is already waiting to go out.
    bool publish(const QByteArray& body, const QString& routingKey,
                 const QString& mimeType = QStringLiteral("text/plain"));

    // Puts the channel in confirm mode now and on every opening from here on: the broker then
    // acknowledges each publication (publish and publishTracked alike).
    void enableConfirms();
    // As publish, but returns the publication's sequence number, 0 when it was dropped. Numbers
    // grow and never repeat for the life of the exchange; ones handed out while confirms are on
    // end up in confirmed, nacked or confirmsLost.
    quint64 publishTracked(const QByteArray& body, const QString& routingKey,
                           const QString& mimeType = QStringLiteral("text/plain"));
    // As publishTracked, the routing key given as the bytes that go on the wire (UTF-8).
    quint64 publishTrackedBytes(const QByteArray& body, const QByteArray& routingKey, const QString& mimeType);
    // Why a publication with these fields cannot be encoded (a short string of the protocol holds
    // at most 255 bytes); empty when it can. Such a publication is refused by publish and
    // publishTracked alone: nothing is sent and the connection carries on.
    static QString publicationProblem(const QString& exchangeName, const QString& routingKey, const QString& mimeType);
    // The same, the routing key given as its wire bytes.
    static QString publicationProblem(const QString& exchangeName, const QByteArray& routingKey,
                                      const QString& mimeType);

signals:
    void declared();
    // The broker took (or, nacked, lost) the publication numbered sequence; with multiple, every
    // tracked one up to it on the same opening of the channel too.
    void confirmed(quint64 sequence, bool multiple);
    void nacked(quint64 sequence, bool multiple);
    // The channel went away with tracked publications unconfirmed: none of them ever will be.
    void confirmsLost();

private:
    friend class client;
    using channel::channel;

    bool put(const QByteArray& body, const QByteArray& routingKey, const QString& mimeType);
    static QString oversized(const QByteArray& exchangeName, const QByteArray& routingKey, const QByteArray& mimeType);
    void settle(quint64 deliveryTag, bool multiple, bool acked);
    void handle_method(const amqp_method_t& method) override;
    void opening() override;
    void reset() override;

    QByteArray _name_bytes;  // as UTF-8, made on the first publication
    QString _type;           // the content type of the last publication, and as UTF-8
    QByteArray _type_bytes;
    bool _confirms = false;
    // The broker numbers publications from 1 on each opening of the channel, once in confirm
    // mode; a publication's sequence number is the base of its opening plus that number.
    quint64 _base = 0;
    quint64 _published = 0;            // on this opening, since confirm.select
    std::deque<quint64> _unconfirmed;  // tracked sequence numbers, ascending
};

}  // namespace amqp
