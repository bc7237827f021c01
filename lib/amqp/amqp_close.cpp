// Ending a connection: a polite close, a failure, and what comes after either.
#include "amqp_client.h"

#include <QPointer>

#include <algorithm>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace amqp {

namespace {

constexpr int close_timeout_ms = 1000;  // waiting for the broker's close-ok

}  // namespace

void client::fail(const QString& why)
{
    _last_error = why;
    const bool was_open = _phase == phase::open;
    teardown();
    schedule_reconnect(was_open);
    QPointer<client> self(this);
    emit error(why);
    if (self)
        emit disconnected();
}

void client::teardown()
{
    ++_generation;
    if (_lookup_id >= 0) {
        QHostInfo::abortHostLookup(_lookup_id);
        _lookup_id = -1;
    }
    drop_notifiers();
    if (_fd >= 0 && !_fd_owned)
        ::shutdown(_fd, SHUT_RDWR);  // so nothing the library does while closing can block
    if (_state) {
        amqp_destroy_connection(_state);  // closes the socket it adopted
        _state = nullptr;
    }
    if (_fd >= 0 && _fd_owned)
        ::close(_fd);
    _fd = -1;
    _corked = false;
    _addresses.clear();
    _phase = phase::idle;
    _pumping = false;
    if (_blocked) {
        _blocked = false;
        emit blockedChanged(false);
    }
    _outbox.clear();
    _outbox_bytes = 0;
    _buffered = QByteArray();
    forget_buffered();
    _tick.stop();
    for (auto& [number, ch] : _channels)
        ch->reset();
}

void client::schedule_reconnect(bool was_open)
{
    if (_closing)
        return;
    // A round ends when every broker of the list has failed, or when a connection that was up is
    // lost: the next starts from the first broker, so the service goes back to it once it is up.
    const bool round_over = was_open || _uri_index + 1 >= static_cast<int>(_endpoints.size());
    _next_uri_index = round_over ? 0 : _uri_index + 1;
    if (!round_over)
        _reconnect.start(0);
    else if (_auto_reconnect)
        _reconnect.start(_fixed_reconnect_ms > 0 ? _fixed_reconnect_ms : _backoff.next());
}

void client::disconnectFromHost()
{
    _closing = true;
    _reconnect.stop();
    if (_phase == phase::open && _state) {
        QElapsedTimer clock;  // everything below shares the one close time-out
        clock.start();
        // What this turn gathered (a channel.open, say) goes out now: the loop will not turn again.
        flush_outbox();
        // Calls made while a channel opens wait for its open-ok: take that in first.
        const auto channel_opening_with_work = [this] {
            return std::any_of(_channels.begin(), _channels.end(), [](const auto& entry) {
                return entry.second->_state == channel::state::opening && !entry.second->_waiting.empty();
            });
        };
        while (!_pumping && _state && channel_opening_with_work() && clock.elapsed() < close_timeout_ms) {
            pollfd p{_fd, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(close_timeout_ms - clock.elapsed()));
            pump();
        }
        // The outbox holds publications the owner was told were taken: let them go out before the
        // close, within the time the close may take, rather than drop them with the connection.
        flush_outbox();
        while (_state && (!_outbox.empty() || _writing == writing::waiting) && !_blocked &&
               clock.elapsed() < close_timeout_ms) {
            pollfd p{_fd, POLLOUT, 0};
            ::poll(&p, 1, static_cast<int>(close_timeout_ms - clock.elapsed()));
            flush_outbox();
        }
        amqp_connection_close_t close{};
        close.reply_code = AMQP_REPLY_SUCCESS;
        close.reply_text = amqp_cstring_bytes("closing");
        // Not in the middle of a frame of ours: the connection just goes then.
        if (_state && !frame_cut() &&
            amqp_send_method(_state, 0, AMQP_CONNECTION_CLOSE_METHOD, &close) == AMQP_STATUS_OK) {
            for (qint64 left = close_timeout_ms - clock.elapsed(); left > 0;
                 left = close_timeout_ms - clock.elapsed()) {
                timeval limit{static_cast<time_t>(left / 1000), static_cast<suseconds_t>((left % 1000) * 1000)};
                amqp_frame_t frame;
                if (amqp_simple_wait_frame_noblock(_state, &frame, &limit) != AMQP_STATUS_OK)
                    break;
                if (frame.channel == 0 && frame.frame_type == AMQP_FRAME_METHOD &&
                    (frame.payload.method.id == AMQP_CONNECTION_CLOSE_OK_METHOD ||
                     frame.payload.method.id == AMQP_CONNECTION_CLOSE_METHOD))
                    break;
            }
        }
    }
    const bool was_up = _phase != phase::idle;
    teardown();
    if (was_up)
        emit disconnected();
}

}  // namespace amqp
