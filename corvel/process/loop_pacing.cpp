#include "process/loop_pacing.h"

#include <QAbstractEventDispatcher>

#include <thread>

loop_pacing::loop_pacing(std::chrono::microseconds hold, std::function<bool()> busy, QObject* parent)
    : QObject(parent),
      _hold_ns(std::chrono::duration_cast<std::chrono::nanoseconds>(hold).count()),
      _busy(std::move(busy))
{
    _clock.start();
}

void loop_pacing::start()
{
    if (_hold_ns <= 0)
        return;
    if (auto* loop = QAbstractEventDispatcher::instance())
        connect(loop, &QAbstractEventDispatcher::aboutToBlock, this, &loop_pacing::about_to_wait);
}

void loop_pacing::about_to_wait()
{
    auto* loop = QAbstractEventDispatcher::instance();
    // Woken again sooner than the hold: arrivals come faster than the loop needs to wake for them.
    const bool woken_soon = _last_wait_ns >= 0 && _clock.nsecsElapsed() - _last_wait_ns < _hold_ns;
    // Asked last: with glib underneath, whether anything is ready costs a poll of its own.
    if (woken_soon && _busy() && loop && !loop->hasPendingEvents()) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(_hold_ns));
        ++_holds;
    }
    _last_wait_ns = _clock.nsecsElapsed();
}
