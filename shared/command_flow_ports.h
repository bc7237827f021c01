#pragma once

#include "model.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

// Settles the deliveries the command flow was given (the consumer does it on the broker).
class delivery_settlement {
public:
    virtual void ack_message(uint64_t tag, bool multiple) = 0;
    virtual void reject_message(uint64_t tag) = 0;   // not requeued: dropped or dead-lettered
    virtual void requeue_message(uint64_t tag) = 0;  // back to the queue, to come again

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
