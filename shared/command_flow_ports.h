#pragma once

#include "model.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <cstdint>

// One message from the command queue, as the consumer hands it on.
struct delivery {
    uint64_t tag = 0;
    QByteArray routing_key;
    QByteArray body;
    QJsonObject json;  // the body, when it is a JSON object
    QString problem;   // why the body is not a JSON object; empty when it is
    bool redelivered = false;  // the broker delivered it before (to this consumer or another)
    json_slice data_text{};    // a large body's "data" array, left as text; json's "data" is null then
};

// Parses the body; a body that is not a JSON object comes with its problem. A large body's "data"
// array is checked but not parsed: its text is what the handler reads.
delivery read_delivery(uint64_t tag, const QByteArray& routing_key, const QByteArray& body);

// Settles the deliveries the command flow was given (the consumer does it on the broker).
class delivery_settlement {
public:
    virtual void ack(uint64_t tag, bool multiple) = 0;
    virtual void reject(uint64_t tag) = 0;   // not requeued: dropped or dead-lettered
    virtual void requeue(uint64_t tag) = 0;  // back to the queue, to come again

protected:
    ~delivery_settlement() = default;
};

// Publishes responses with the broker's confirmation (the publisher does it). What becomes of
// each publication comes back through the command flow's response_confirmed, response_nacked
// and responses_unconfirmed; publisher_connected says when what waits can go out again.
class response_publication {
public:
    // Why a response under this routing key can never be published; empty when it can.
    virtual QString routing_key_problem(const QByteArray& routing_key) const = 0;
    // The id the broker's answer will come with; 0 when it cannot go out now.
    virtual quint64 publish_response(const QByteArray& text, const QByteArray& routing_key) = 0;
    virtual bool can_publish() const = 0;  // connected

protected:
    ~response_publication() = default;
};
