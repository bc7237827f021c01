#pragma once

#include "logger.h"
#include "redis_client.h"

#include <QObject>
#include <QTimer>

class rabbit_api_man;

// While held commands are back in the queue (the broker's consumer time-out was near), consuming
// waits for the store: it is asked PING every 2 s, and consuming starts again once it answers.
class store_wait : public QObject {
    Q_OBJECT
public:
    store_wait(rabbit_api_man& api, redis::client& store, logger& log, QObject* parent = nullptr);

private:
    void begin();
    void probe();

    rabbit_api_man& _api;
    redis::client& _store;
    logger& _logger;
    QTimer _probe;
    bool _asked = false;  // a PING is on the connection
};
