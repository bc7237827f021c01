#include "process/store_wait.h"

#include "rabbit_api_man.h"

#include <QPointer>

namespace {
constexpr int probe_ms = 2000;
}

store_wait::store_wait(rabbit_api_man& api, redis::client& store, logger& log, QObject* parent)
    : QObject(parent),
      _api(api),
      _store(store),
      _logger(log)
{
    _probe.setInterval(probe_ms);
    connect(&_probe, &QTimer::timeout, this, &store_wait::probe);
    connect(&_api, &rabbit_api_man::held_returned, this, &store_wait::begin);
}

void store_wait::begin()
{
    _api.pause_consuming();
    _probe.start();
}

void store_wait::probe()
{
    if (_asked)
        return;
    _asked = true;
    QPointer<store_wait> self(this);
    _store.submit(std::make_unique<redis::command_batch>(
        QList<redis::command>{{"PING"}}, [self](std::vector<redis::reply>&& replies, const QString& failure) {
            if (!self)
                return;
            self->_asked = false;
            if (!failure.isEmpty() || replies.empty() || replies.front().is_error() || !self->_probe.isActive())
                return;
            self->_probe.stop();
            self->_logger.info() << "Redis answers again: consuming resumes";
            self->_api.resume_consuming();
        }));
}
