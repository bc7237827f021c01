#include "status/status_reporter.h"

#include "log_queue.h"
#include "rabbit_api_man.h"
#include "redis_client.h"
#include "store/store_transaction.h"

#include <QPointer>

#include <algorithm>

status_reporter::status_reporter(const listen_address& where, const rabbit_api_man& api, redis::client& store,
                                 const promotion_record& promotions, logger& log)
    : _api(api),
      _store(store),
      _promotions(promotions)
{
    const std::string failure = _http.start(where.host, where.port);
    if (!failure.empty()) {
        log.error() << "HTTP status cannot listen on " << where.text << ": " << QString::fromStdString(failure)
                    << "; the service runs on without it";
        return;
    }
    log.info() << "HTTP status listening on " << where.text;
    connect(&_snapshot_timer, &QTimer::timeout, this, &status_reporter::snapshot);
    _snapshot_timer.start(snapshot_ms);
    _lag_timer.setTimerType(Qt::PreciseTimer);
    connect(&_lag_timer, &QTimer::timeout, this, &status_reporter::lag_probe);
    _lag_timer.start(lag_probe_ms);
    _since_lag_probe.start();
    connect(&_ping_timer, &QTimer::timeout, this, &status_reporter::ping);
    _ping_timer.start(ping_ms);
    ping();
    snapshot();
}

status_reporter::~status_reporter()
{
    _http.stop();
}

void status_reporter::lag_probe()
{
    const qint64 late = _since_lag_probe.nsecsElapsed() - qint64{lag_probe_ms} * 1000000;
    _since_lag_probe.restart();
    _worst_lag_ns = std::max(_worst_lag_ns, late);
}

void status_reporter::ping()
{
    _redis.look(_store);
    const qint64 silent = _redis.silent_ms();
    if (_ping_due || (silent >= 0 && silent < ping_ms / 2))
        return;  // an answer is awaited, or came lately
    _ping_due = true;
    QPointer<status_reporter> self(this);
    _store.submit(std::make_unique<redis::command_batch>(QList<redis::command>{{"PING"}},
                                                         [self](std::vector<redis::reply>&&, const QString&) {
                                                             if (!self)
                                                                 return;
                                                             self->_ping_due = false;
                                                             self->_redis.look(self->_store);
                                                         }));
}

void status_reporter::snapshot()
{
    _redis.look(_store);
    service_metrics m;
    m.state = gather_service_state(_api, _promotions);
    m.state.redis_silent_ms = _redis.silent_ms();
    m.commands = _api.flow().counters();
    m.consumer_reconnections = _api.receiver().reconnections();
    m.publisher_reconnections = _api.publisher().reconnections();
    m.transactions = store_transactions();
    m.loop_lag_seconds = static_cast<double>(std::max<qint64>(_worst_lag_ns, 0)) / 1e9;
    _worst_lag_ns = 0;
    m.log_lines_dropped = log_queue::dropped_total();
    _http.publish({render_metrics(m), not_ready_reason(m.state).toStdString()});
}
