// Reading frames from the broker and handing each to the connection or its channel.
#include "amqp_client.h"

#include "amqp_text.h"
#include "amqp_tls.h"

namespace amqp {

namespace {

constexpr int drain_limit = 256;  // frames per turn of the event loop

}  // namespace

void client::pump()
{
    if (_pumping || !_state)
        return;
    if (frame_cut() && library_heartbeat_near()) {
        hold_reads();  // the write notifier brings the reads back with the rest of the frame
        return;
    }
    _pumping = true;
    QPointer<client> self(this);
    const quint64 generation = _generation;
    for (int frames = 0;; ++frames) {
        if (frames == drain_limit) {
            // Let the rest of the loop run; the frames left are in the library's buffers, where no
            // notifier would see them, so come back by timer.
            _pumping = false;
            QTimer::singleShot(0, this, &client::pump);
            return;
        }
        // Once the library holds nothing more, the socket's notifier says when more comes: asking
        // the library would cost a read that finds nothing and a poll. Not so over TLS, whose
        // layer may hold decrypted input no notifier sees.
        if (frames > 0 && !_tls_socket && !amqp_frames_enqueued(_state) && !amqp_data_in_buffer(_state))
            break;
        amqp_frame_t frame;
        timeval none{0, 0};
        const int status = amqp_simple_wait_frame_noblock(_state, &frame, &none);
        if (status == AMQP_STATUS_TIMEOUT)
            break;
        if (status != AMQP_STATUS_OK) {
            _pumping = false;
            fail((_phase == phase::open ? QStringLiteral("connection lost: ") : QStringLiteral("login failed: ")) +
                 status_with_tls_reason(status));
            return;
        }
        handle_frame(frame);
        if (!self)
            return;
        if (generation != _generation)
            return;  // torn down from a slot; a new connection may be on its way
        // What the frame decoded into has been copied out. Recycle it now: a consumer slower
        // than its broker never sees the socket drained, and the pool would grow without end.
        amqp_maybe_release_buffers_on_channel(_state, frame.channel);
    }
    amqp_maybe_release_buffers(_state);
    _pumping = false;
}

void client::pump_later_if_buffered()
{
    if (_state && !_pumping && (amqp_frames_enqueued(_state) || amqp_data_in_buffer(_state)))
        QTimer::singleShot(0, this, &client::pump);
}

void client::handle_frame(const amqp_frame_t& frame)
{
    if (frame.frame_type == AMQP_FRAME_HEARTBEAT)
        return;
    if (frame.channel == 0) {
        if (frame.frame_type == AMQP_FRAME_METHOD)
            handle_connection_method(frame.payload.method);
        return;
    }
    const auto it = _channels.find(frame.channel);
    if (it == _channels.end())
        return;
    channel* ch = it->second;
    switch (frame.frame_type) {
    case AMQP_FRAME_METHOD:
        switch (frame.payload.method.id) {
        case AMQP_CHANNEL_OPEN_OK_METHOD:
            ch->on_open_ok();
            break;
        case AMQP_CHANNEL_CLOSE_METHOD:
            ch->on_closed_by_broker(*static_cast<const amqp_channel_close_t*>(frame.payload.method.decoded));
            break;
        case AMQP_CHANNEL_CLOSE_OK_METHOD:
            break;
        default:
            ch->handle_method(frame.payload.method);
        }
        break;
    case AMQP_FRAME_HEADER:
        ch->handle_header(frame);
        break;
    case AMQP_FRAME_BODY:
        ch->handle_body(frame.payload.body_fragment);
        break;
    default:
        break;
    }
}

void client::handle_connection_method(const amqp_method_t& method)
{
    switch (method.id) {
    case AMQP_CONNECTION_START_METHOD:
        send_start_ok(*static_cast<const amqp_connection_start_t*>(method.decoded));
        break;
    case AMQP_CONNECTION_TUNE_METHOD:
        send_tune_ok(*static_cast<const amqp_connection_tune_t*>(method.decoded));
        break;
    case AMQP_CONNECTION_OPEN_OK_METHOD:
        logged_in();
        break;
    case AMQP_CONNECTION_CLOSE_METHOD: {
        const auto* close = static_cast<const amqp_connection_close_t*>(method.decoded);
        const QString why = QStringLiteral("the broker closed the connection: %1 %2")
                                .arg(close->reply_code)
                                .arg(text(close->reply_text));
        amqp_connection_close_ok_t ok{};
        amqp_send_method(_state, 0, AMQP_CONNECTION_CLOSE_OK_METHOD, &ok);
        fail(why);
        break;
    }
    case AMQP_CONNECTION_BLOCKED_METHOD:
        if (!_blocked) {
            _blocked = true;
            watch_writes(false);
            emit blockedChanged(true);
        }
        break;
    case AMQP_CONNECTION_UNBLOCKED_METHOD:
        if (_blocked) {
            _blocked = false;
            _outbox_clock.restart();
            emit blockedChanged(false);
            flush_outbox();
        }
        break;
    default:
        break;
    }
}

}  // namespace amqp
