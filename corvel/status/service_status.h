#pragma once

#include "command_flow.h"
#include "promotion/staging_promotion.h"
#include "store/latency_histogram.h"

#include <QElapsedTimer>
#include <QString>

#include <array>
#include <cstdint>
#include <string>

class rabbit_api_man;
namespace redis {
class client;
}

// When Redis last answered the service's connection, anything on it: the replies it has read
// since the last look tell.
class redis_answer_watch {
public:
    void look(const redis::client& store);
    // -1 when Redis has not answered since the watch was made.
    qint64 silent_ms() const { return _last_answer.isValid() ? _last_answer.elapsed() : -1; }

private:
    std::uint64_t _replies_seen = 0;
    QElapsedTimer _last_answer;
};

// The service's state at one moment, from its objects.
struct service_state {
    bool consumer_connected = false;
    bool publisher_connected = false;
    bool consuming = false;
    std::size_t held_commands = 0;
    qint64 redis_silent_ms = -1;  // -1: not answered yet
    promotion_record promotions;
};

// Redis's silence is left unknown (-1): only the status listener watches for it.
service_state gather_service_state(const rabbit_api_man& api, const promotion_record& promotions);

// Redis counts as answering when it has done so within this long.
constexpr qint64 redis_answer_limit_ms = 5000;

// The short state systemd shows for the unit (STATUS=): the broker links, held commands, the
// last promotion.
QString status_line(const service_state& state);

// Why the service cannot do its work now, naming the first thing missing; empty when it can.
QString not_ready_reason(const service_state& state);

// Everything /metrics shows.
struct service_metrics {
    service_state state;
    command_counters commands;
    std::uint64_t consumer_reconnections = 0;
    std::uint64_t publisher_reconnections = 0;
    store_transaction_stats transactions;
    double loop_lag_seconds = 0;  // the worst in the last interval
    std::uint64_t log_lines_dropped = 0;
};

// The Prometheus text exposition format, version 0.0.4.
std::string render_metrics(const service_metrics& m);
