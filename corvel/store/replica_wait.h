#pragma once

#include "redis_client.h"

#include <QString>

#include <functional>
#include <vector>

// With WAIT_REPLICAS: a write counts as done only once that many replicas have it (WAIT n t after
// it, on the same connection).
//
// One WAIT is out at a time. A transaction answered while one is out was written before it, since
// Redis answers in order, so that WAIT covers it; one answered when none is out sends the next.
// Commands keep flowing meanwhile: each WAIT covers everything answered since the last. A WAIT
// that falls short is sent again, up to rounds times in all, since the writes are on the master
// and replicas catch up within seconds after a fail-over; only then do the commands fail (to be
// held and written again).
class replica_wait {
public:
    // Empty failure: enough replicas have every write before the WAIT.
    using settled = std::function<void(const QString& failure)>;

    replica_wait(redis::client& store, int replicas, int timeout_ms);
    bool enabled() const { return _replicas > 0; }

    // Call once a write on the store's connection has been answered; then follows when the WAIT
    // that covers it is answered, at once when not enabled.
    void after_written(settled then);

    static constexpr int rounds = 4;

private:
    void send();
    void answered(long long replicas, const QString& failure);

    redis::client& _store;
    int _replicas;
    int _timeout_ms;
    bool _out = false;
    int _round = 0;                 // of the WAIT out, from 1
    std::vector<settled> _covered;  // by the WAIT out
};
