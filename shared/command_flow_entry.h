#pragma once

#include "icommand_handler.h"
#include "model.h"

#include <QByteArray>

#include <cstdint>
#include <memory>

// One delivery taken by the command flow, from its start until it is settled.
struct command_flow_entry {
    enum class stage {
        running,           // its handler works on it
        outcome_known,     // waits for the commands before it
        awaiting_publish,  // its response waits for the publisher
        published,         // its response waits for the broker's confirmation
        confirmed,         // to be acknowledged
        settled,           // rejected
    };
    uint64_t tag;
    model::command command;
    QByteArray reply_key;   // its sender's Latin-1: the routing key of its response
    std::size_t bytes = 0;  // of its delivery's body
    qint64 taken_ms = 0;    // when its delivery came, on the flow's clock
    stage at = stage::running;
    command_result result;  // its data (or, given up, its reason) is its response's, until confirmed
    quint64 publication = 0;
    int nacks = 0;           // of its response
    int store_refusals = 0;  // earlier tries whose transaction Redis refused
    bool given_up = false;   // answered false: rejected, not acknowledged, once the answer is confirmed
    bool stale = false;      // its delivery came on a channel since lost
    // Set with stale: what its handler has not yet written to the store is never written.
    std::shared_ptr<bool> delivery_gone = std::make_shared<bool>(false);
    bool known_type = false;  // a handler exists for its type: counted under its own name
};
