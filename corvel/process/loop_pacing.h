#pragma once

#include <QElapsedTimer>
#include <QObject>

#include <chrono>
#include <functional>

// Under load the loop is woken for every few frames that arrive, and each wake-up costs the kernel
// more than the work it brings (scheduling, and the peers woken by each small send). When many
// commands are in flight and the loop was woken soon after it last waited, it lets arrivals gather
// for a moment before it waits again, so that one wake-up, and one send per connection, carries
// many of them. A lone command is never held, nor a loop with work already queued.
class loop_pacing : public QObject {
public:
    // busy: whether enough is in flight for gathering to pay. hold 0 never holds.
    loop_pacing(std::chrono::microseconds hold, std::function<bool()> busy, QObject* parent = nullptr);

    // Connect after every connection whose writes go out at the end of a turn: the dispatcher calls
    // its listeners in the order they connected, and what they write should not wait for the hold.
    void start();
    quint64 holds() const { return _holds; }

private:
    void about_to_wait();

    const qint64 _hold_ns;
    std::function<bool()> _busy;
    QElapsedTimer _clock;
    qint64 _last_wait_ns = -1;  // when the loop last went to wait
    quint64 _holds = 0;
};
