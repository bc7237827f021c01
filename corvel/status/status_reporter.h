#pragma once

#include "environment.h"
#include "logger.h"
#include "status/service_status.h"
#include "status/status_http.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class rabbit_api_man;
namespace redis {
class client;
}

// Serves the service's health, readiness and metrics over HTTP (HTTP_LISTEN). Once a second it
// gathers the state on the event loop's thread and hands the listener a snapshot; between
// snapshots it measures how late the loop runs its timers, and pings Redis when nothing else has
// had an answer from it lately, so readiness holds for an idle service.
class status_reporter : public QObject {
    Q_OBJECT
public:
    // Logs at INFORM where it listens, or at ERROR why it cannot (the service runs on without).
    // The promotions are recorded by the owner, which keeps them for as long as this lives.
    status_reporter(const listen_address& where, const rabbit_api_man& api, redis::client& store,
                    const promotion_record& promotions, logger& log);
    ~status_reporter() override;  // the listener stops first: nothing it reads is gone yet

    static constexpr int snapshot_ms = 1000;
    static constexpr int lag_probe_ms = 100;
    static constexpr int ping_ms = 2000;

private:
    void snapshot();
    void lag_probe();
    void ping();

    const rabbit_api_man& _api;
    redis::client& _store;
    const promotion_record& _promotions;
    redis_answer_watch _redis;
    bool _ping_due = false;  // a PING is on the connection
    QTimer _snapshot_timer;
    QTimer _lag_timer;
    QTimer _ping_timer;
    QElapsedTimer _since_lag_probe;
    qint64 _worst_lag_ns = 0;
    status_http _http;
};
