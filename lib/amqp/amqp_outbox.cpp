// Writing to the broker: at once when the socket takes it, else in order from the outbox.
#include "amqp_client.h"

#include "amqp_text.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

namespace amqp {

bool client::writable() const
{
    pollfd p{_fd, POLLOUT, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT);
}

void client::watch_writes(bool on)
{
    if (_fd < 0)
        return;
    if (!_write_notifier) {
        if (!on)
            return;
        _write_notifier = std::make_unique<QSocketNotifier>(_fd, QSocketNotifier::Write);
        connect(_write_notifier.get(), &QSocketNotifier::activated, this, &client::flush_outbox);
    }
    _write_notifier->setEnabled(on);
}

bool client::submit(quint16 channel, quint32 epoch, qint64 bytes, channel::sender op, bool taken)
{
    if (!_state || _phase != phase::open)
        return false;
    if (_outbox.empty() && !_blocked && writable())
        return run(op, channel);
    // The socket would block (or the broker asked us to hold back): keep it, in order.
    if (!taken && bytes > 0 && !outbox_takes(bytes))
        return false;
    if (_outbox.empty())
        _outbox_clock.restart();
    _outbox.push_back(outgoing{channel, epoch, bytes, std::move(op)});
    _outbox_bytes += bytes;
    if (!_blocked)
        watch_writes(true);
    return true;
}

bool client::run(const channel::sender& op, quint16 channel)
{
    if (!_corked && _fd >= 0 && !_fd_owned) {
        // Hold back partial segments until this turn of the event loop is over: the sends of one
        // turn (acks, replies) then reach the broker together.
        const int on = 1;
        ::setsockopt(_fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
        _corked = true;
        QTimer::singleShot(0, this, &client::uncork);
    }
    const int status = op(_state, channel);
    if (status != AMQP_STATUS_OK) {
        fail(QStringLiteral("cannot write to the broker: ") + status_with_tls_reason(status));
        return false;
    }
    pump_later_if_buffered();
    return true;
}

void client::uncork()
{
    _corked = false;
    if (_fd >= 0 && !_fd_owned) {
        const int off = 0;
        ::setsockopt(_fd, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
    }
}

void client::flush_outbox()
{
    const quint64 generation = _generation;
    while (!_outbox.empty() && !_blocked && _state) {
        if (!writable()) {
            watch_writes(true);
            return;
        }
        outgoing next = std::move(_outbox.front());
        _outbox.pop_front();
        _outbox_bytes -= next.bytes;
        _outbox_clock.restart();
        if (next.epoch != 0) {
            const auto it = _channels.find(next.channel);
            if (it == _channels.end() || it->second->epoch() != next.epoch)
                continue;  // meant for an earlier opening of that channel
        }
        if (!run(next.send, next.channel) || generation != _generation)
            return;
    }
    watch_writes(false);
}

}  // namespace amqp
