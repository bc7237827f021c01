// Writing to the broker: at once when the socket takes it, else in order from the outbox.
#include "amqp_client.h"

#include "amqp_text.h"

#include <cerrno>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

namespace amqp {

namespace {

// A turn that gathers more than this writes it at once rather than hold it all.
constexpr int write_early_bytes = 256 * 1024;
// The buffer keeps its memory between turns up to this size.
constexpr int kept_buffer_bytes = 1024 * 1024;

}  // namespace

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
    if (_outbox.empty() && !_blocked && ready_to_write())
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

bool client::run(frame_writer op, quint16 channel)
{
    if (!_tls_socket) {
        if (_buffered.capacity() == 0)
            _buffered.reserve(kept_buffer_bytes / 2);
        frame_out out(_state, &_buffered);
        const int status = op(out, channel);
        if (status != AMQP_STATUS_OK) {
            fail(QStringLiteral("cannot write to the broker: ") + status_text(status));
            return false;
        }
        if (_writing == writing::idle) {
            _writing = writing::gathering;
            _write_turn.start();
        }
        if (_writing == writing::gathering && _buffered.size() - _buffered_sent >= write_early_bytes)
            return write_buffered();
        return true;
    }
    if (!_corked && _fd >= 0 && !_fd_owned) {
        // Hold back partial segments until this turn of the event loop is over: the sends of one
        // turn (acks, replies) then reach the broker together.
        const int on = 1;
        ::setsockopt(_fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
        _corked = true;
        QTimer::singleShot(0, this, &client::uncork);
    }
    frame_out out(_state, nullptr);
    const int status = op(out, channel);
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

bool client::write_buffered()
{
    keep_heartbeat_clock();
    const qint64 before = _buffered_sent;
    while (_buffered_sent < _buffered.size()) {
        const ssize_t n = ::send(_fd, _buffered.constData() + _buffered_sent,
                                 static_cast<size_t>(_buffered.size() - _buffered_sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            _buffered_sent += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        fail(QStringLiteral("cannot write to the broker: ") + status_text(AMQP_STATUS_SOCKET_ERROR));
        return false;
    }
    _write_turn.stop();
    if (_buffered_sent == _buffered.size()) {
        forget_buffered();
        return true;
    }
    if (_buffered_sent > before || _writing != writing::waiting)
        _outbox_clock.restart();
    _writing = writing::waiting;
    skip_whole_frames();
    // A broker that holds us back stops reading; the rest of a cut frame still has to go.
    if (!_blocked || frame_cut())
        watch_writes(true);
    return true;
}

void client::skip_whole_frames()
{
    while (_frame_start < _buffered_sent) {
        const qint64 end =
            _frame_start + frame_length(_buffered.constData() + _frame_start, _buffered.size() - _frame_start);
        if (end > _buffered_sent)
            break;
        _frame_start = end;
    }
    if (!frame_cut())
        release_reads();
}

void client::keep_heartbeat_clock()
{
    if (!_state || frame_cut() || amqp_get_heartbeat(_state) <= 0)
        return;
    if (_library_heartbeat.isValid() && _library_heartbeat.elapsed() < 1000)
        return;
    if (!writable())
        return;  // it would wait for the socket
    amqp_frame_t heartbeat{};
    heartbeat.frame_type = AMQP_FRAME_HEARTBEAT;
    heartbeat.channel = 0;
    if (amqp_send_frame(_state, &heartbeat) == AMQP_STATUS_OK)
        _library_heartbeat.restart();
}

bool client::library_heartbeat_near() const
{
    const int seconds = _state ? amqp_get_heartbeat(_state) : 0;
    if (seconds <= 0)
        return false;
    // Half the interval, with a margin: whatever the library's own reckoning, it is not due yet.
    return !_library_heartbeat.isValid() || _library_heartbeat.elapsed() >= seconds * 500 - 1000;
}

void client::hold_reads()
{
    if (_read_notifier)
        _read_notifier->setEnabled(false);
    _reads_held = true;
}

void client::release_reads()
{
    if (!_reads_held)
        return;
    _reads_held = false;
    if (_read_notifier)
        _read_notifier->setEnabled(true);
    QTimer::singleShot(0, this, &client::pump);
}

void client::forget_buffered()
{
    if (_buffered.capacity() > kept_buffer_bytes)
        _buffered = QByteArray();
    else
        _buffered.resize(0);  // reserved: it keeps its memory for the next turn
    _buffered_sent = 0;
    _frame_start = 0;
    _writing = writing::idle;
    _write_turn.stop();
    release_reads();
}

void client::flush_outbox()
{
    const quint64 generation = _generation;
    if (!_tls_socket && _state) {
        if (_writing != writing::idle && !write_buffered())
            return;
        if (_writing == writing::waiting)
            return;
    }
    while (!_outbox.empty() && !_blocked && _state) {
        if (_tls_socket && !writable()) {
            watch_writes(true);
            return;
        }
        if (_writing == writing::waiting)
            return;  // the notifier brings us back
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
    if (_writing == writing::gathering && !write_buffered())
        return;
    if (_writing != writing::waiting)
        watch_writes(false);
}

}  // namespace amqp
