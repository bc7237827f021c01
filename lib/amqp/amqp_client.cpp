#include "amqp_client.h"

#include "amqp_table.h"

#include <amqp_ssl_socket.h>
#include <amqp_tcp_socket.h>

#include <QHostAddress>
#include <QHostInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace amqp {

namespace {

constexpr int step_timeout_ms = 2000;   // name lookup, TCP connect and login, each
constexpr int close_timeout_ms = 1000;  // waiting for the broker's close-ok
constexpr int drain_limit = 256;  // frames per turn of the event loop
constexpr int wanted_heartbeat_s = 15;
constexpr int wanted_frame_max = 131072;
constexpr int wanted_channel_max = 2047;

QString status_text(int status)
{
    return QString::fromUtf8(amqp_error_string2(status));
}

QString text(const amqp_bytes_t& b)
{
    return QString::fromUtf8(static_cast<const char*>(b.bytes), static_cast<int>(b.len));
}

}  // namespace

client::client(QObject* parent) : QObject(parent)
{
    _tick.setInterval(1000);
    connect(&_tick, &QTimer::timeout, this, &client::tick);
    _reconnect.setSingleShot(true);
    connect(&_reconnect, &QTimer::timeout, this, &client::attempt);
}

client::~client()
{
    // Receivers may be half destroyed by now (we are often a member of one), and the channels
    // signal too as the connection goes.
    blockSignals(true);
    for (auto& [number, ch] : _channels)
        ch->blockSignals(true);
    disconnectFromHost();
}

void client::connectToHost(const QString& uri)
{
    _uri = uri;
    _closing = false;
    QString why;
    if (!parse_uri(uri, &_endpoint, &why)) {
        _last_error = why;
        QTimer::singleShot(0, this, [this, why] {
            emit error(why);
            emit disconnected();
        });
        return;
    }
    if (_phase == phase::idle)
        _reconnect.start(0);
}

void client::setAutoReconnect(bool on, int timeout_ms)
{
    _auto_reconnect = on;
    _fixed_reconnect_ms = timeout_ms;
}

void client::setVirtualHost(const QString& vhost)
{
    _vhost_override = vhost;
    _vhost_set = true;
}

void client::attempt()
{
    if (_phase != phase::idle || _closing)
        return;
    _state = amqp_new_connection();
    _tick.start();
    _phase_clock.start();
    if (_endpoint.tls) {
        // The TLS socket cannot adopt a socket of ours: connect and shake hands the blocking way,
        // bounded. Certificates are not checked.
        amqp_socket_t* socket = amqp_ssl_socket_new(_state);
        if (!socket) {
            fail(QStringLiteral("cannot create a TLS socket"));
            return;
        }
        amqp_ssl_socket_set_verify_peer(socket, 0);
        amqp_ssl_socket_set_verify_hostname(socket, 0);
        _phase = phase::connecting;
        timeval limit{step_timeout_ms / 1000, 0};
        const int status = amqp_socket_open_noblock(socket, _endpoint.host.toUtf8().constData(), _endpoint.port, &limit);
        if (status != AMQP_STATUS_OK) {
            fail(QStringLiteral("cannot connect to %1:%2: %3").arg(_endpoint.host).arg(_endpoint.port).arg(status_text(status)));
            return;
        }
        _fd = amqp_socket_get_sockfd(socket);
        _fd_owned = false;
        start_handshake();
        return;
    }
    _phase = phase::resolving;
    QHostAddress literal;
    if (literal.setAddress(_endpoint.host)) {
        _addresses = {literal};
        dial_next();
        return;
    }
    _lookup_id = QHostInfo::lookupHost(_endpoint.host, this, [this](const QHostInfo& info) { resolved(info); });
}

void client::resolved(const QHostInfo& info)
{
    if (_phase != phase::resolving || info.lookupId() != _lookup_id)
        return;
    _lookup_id = -1;
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
        fail(QStringLiteral("cannot resolve %1: %2").arg(_endpoint.host, info.errorString()));
        return;
    }
    _addresses = info.addresses();
    dial_next();
}

void client::dial_next()
{
    QString last_error = QStringLiteral("no address");
    while (!_addresses.isEmpty()) {
        const QHostAddress address = _addresses.takeFirst();
        sockaddr_storage storage{};
        socklen_t length = 0;
        if (address.protocol() == QAbstractSocket::IPv6Protocol) {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
            in6->sin6_family = AF_INET6;
            in6->sin6_port = htons(_endpoint.port);
            const Q_IPV6ADDR bytes = address.toIPv6Address();
            std::memcpy(&in6->sin6_addr, &bytes, sizeof bytes);
            length = sizeof *in6;
        } else {
            auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
            in4->sin_family = AF_INET;
            in4->sin_port = htons(_endpoint.port);
            in4->sin_addr.s_addr = htonl(address.toIPv4Address());
            length = sizeof *in4;
        }
        const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            last_error = QString::fromUtf8(std::strerror(errno));
            continue;
        }
        if (::connect(fd, reinterpret_cast<sockaddr*>(&storage), length) == 0 || errno == EINPROGRESS) {
            _fd = fd;
            _fd_owned = true;
            _phase = phase::connecting;
            _phase_clock.restart();
            _write_notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
            connect(_write_notifier.get(), &QSocketNotifier::activated, this, &client::tcp_connected);
            return;
        }
        last_error = QString::fromUtf8(std::strerror(errno));
        ::close(fd);
    }
    fail(QStringLiteral("cannot connect to %1:%2: %3").arg(_endpoint.host).arg(_endpoint.port).arg(last_error));
}

void client::tcp_connected()
{
    drop_notifiers();
    int err = 0;
    socklen_t length = sizeof err;
    if (::getsockopt(_fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0)
        err = errno;
    if (err != 0) {
        ::close(_fd);
        _fd = -1;
        if (!_addresses.isEmpty()) {
            dial_next();
            return;
        }
        fail(QStringLiteral("cannot connect to %1:%2: %3").arg(_endpoint.host).arg(_endpoint.port).arg(QString::fromUtf8(std::strerror(err))));
        return;
    }
    const int on = 1;
    ::setsockopt(_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    amqp_socket_t* socket = amqp_tcp_socket_new(_state);
    if (!socket) {
        fail(QStringLiteral("cannot create a TCP socket"));
        return;
    }
    amqp_tcp_socket_set_sockfd(socket, _fd);
    _fd_owned = false;
    start_handshake();
}

void client::start_handshake()
{
    _phase = phase::handshake;
    _phase_clock.restart();
    _read_notifier = std::make_unique<QSocketNotifier>(_fd, QSocketNotifier::Read);
    connect(_read_notifier.get(), &QSocketNotifier::activated, this, &client::pump);
    const int status = amqp_send_header(_state);
    if (status != AMQP_STATUS_OK) {
        fail(QStringLiteral("cannot start the AMQP handshake: ") + status_text(status));
        return;
    }
    pump();
}

void client::drop_notifiers()
{
    // A notifier must let go of its socket before the socket closes; it may be the sender of the
    // signal being handled, so it is deleted later.
    for (auto* notifier : {&_read_notifier, &_write_notifier}) {
        if (*notifier) {
            (*notifier)->setEnabled(false);
            (*notifier)->disconnect(this);
            notifier->release()->deleteLater();
        }
    }
}

void client::fail(const QString& why)
{
    _last_error = why;
    teardown();
    schedule_reconnect();
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
    _tick.stop();
    for (auto& [number, ch] : _channels)
        ch->reset();
}

void client::schedule_reconnect()
{
    if (!_auto_reconnect || _closing)
        return;
    _reconnect.start(_fixed_reconnect_ms > 0 ? _fixed_reconnect_ms : _backoff.next());
}

void client::disconnectFromHost()
{
    _closing = true;
    _reconnect.stop();
    if (_phase == phase::open && _state) {
        QElapsedTimer clock;  // everything below shares the one close time-out
        clock.start();
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
        while (_state && !_outbox.empty() && !_blocked && clock.elapsed() < close_timeout_ms) {
            pollfd p{_fd, POLLOUT, 0};
            ::poll(&p, 1, static_cast<int>(close_timeout_ms - clock.elapsed()));
            flush_outbox();
        }
        amqp_connection_close_t close{};
        close.reply_code = AMQP_REPLY_SUCCESS;
        close.reply_text = amqp_cstring_bytes("closing");
        if (_state && amqp_send_method(_state, 0, AMQP_CONNECTION_CLOSE_METHOD, &close) == AMQP_STATUS_OK) {
            for (qint64 left = close_timeout_ms - clock.elapsed(); left > 0; left = close_timeout_ms - clock.elapsed()) {
                timeval limit{static_cast<time_t>(left / 1000), static_cast<suseconds_t>((left % 1000) * 1000)};
                amqp_frame_t frame;
                if (amqp_simple_wait_frame_noblock(_state, &frame, &limit) != AMQP_STATUS_OK)
                    break;
                if (frame.channel == 0 && frame.frame_type == AMQP_FRAME_METHOD
                    && (frame.payload.method.id == AMQP_CONNECTION_CLOSE_OK_METHOD
                        || frame.payload.method.id == AMQP_CONNECTION_CLOSE_METHOD))
                    break;
            }
        }
    }
    const bool was_up = _phase != phase::idle;
    teardown();
    if (was_up)
        emit disconnected();
}

void client::tick()
{
    if (_phase == phase::resolving || _phase == phase::connecting || _phase == phase::handshake) {
        if (_phase_clock.elapsed() >= step_timeout_ms) {
            static const char* const steps[] = {"", "name lookup", "TCP connect", "login"};
            fail(QStringLiteral("%1 to %2:%3 timed out").arg(QLatin1String(steps[static_cast<int>(_phase)]), _endpoint.host).arg(_endpoint.port));
        }
        return;
    }
    if (_phase != phase::open)
        return;
    const quint64 generation = _generation;
    pump();  // also sends and checks heartbeats
    if (generation != _generation)
        return;
    if (!_outbox.empty() && !_blocked && _outbox_clock.elapsed() > _write_timeout_ms)
        fail(QStringLiteral("nothing could be written to the broker for %1 ms").arg(_write_timeout_ms));
}

void client::pump()
{
    if (_pumping || !_state)
        return;
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
        amqp_frame_t frame;
        timeval none{0, 0};
        const int status = amqp_simple_wait_frame_noblock(_state, &frame, &none);
        if (status == AMQP_STATUS_TIMEOUT)
            break;
        if (status != AMQP_STATUS_OK) {
            _pumping = false;
            fail(_phase == phase::open ? QStringLiteral("connection lost: ") + status_text(status)
                                       : QStringLiteral("login failed: ") + status_text(status));
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
        send_start_ok();
        break;
    case AMQP_CONNECTION_TUNE_METHOD:
        send_tune_ok(*static_cast<const amqp_connection_tune_t*>(method.decoded));
        break;
    case AMQP_CONNECTION_OPEN_OK_METHOD:
        logged_in();
        break;
    case AMQP_CONNECTION_CLOSE_METHOD: {
        const auto* close = static_cast<const amqp_connection_close_t*>(method.decoded);
        const QString why = QStringLiteral("the broker closed the connection: %1 %2").arg(close->reply_code).arg(text(close->reply_text));
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

void client::send_start_ok()
{
    table_storage storage;
    const QVariantHash capabilities{{QStringLiteral("consumer_cancel_notify"), true},
                                    {QStringLiteral("connection.blocked"), true},
                                    {QStringLiteral("authentication_failure_close"), true}};
    QVariantHash properties{{QStringLiteral("product"), QStringLiteral("Qt adapter over rabbitmq-c")},
                            {QStringLiteral("version"), QString::fromLatin1(amqp_version())},
                            {QStringLiteral("platform"), QStringLiteral("Qt " QT_VERSION_STR)},
                            {QStringLiteral("capabilities"), capabilities}};
    if (!_connection_name.isEmpty())
        properties.insert(QStringLiteral("connection_name"), _connection_name);
    const QByteArray response = QByteArray(1, '\0') + _endpoint.user.toUtf8() + QByteArray(1, '\0') + _endpoint.password.toUtf8();
    amqp_connection_start_ok_t ok{};
    ok.client_properties = storage.table(properties);
    ok.mechanism = amqp_cstring_bytes("PLAIN");
    ok.response = storage.bytes(response);
    ok.locale = amqp_cstring_bytes("en_US");
    const int status = amqp_send_method(_state, 0, AMQP_CONNECTION_START_OK_METHOD, &ok);
    if (status != AMQP_STATUS_OK)
        fail(QStringLiteral("login failed: ") + status_text(status));
}

void client::send_tune_ok(const amqp_connection_tune_t& tune)
{
    const int channel_max = tune.channel_max == 0 ? wanted_channel_max : std::min<int>(tune.channel_max, wanted_channel_max);
    const int frame_max = tune.frame_max == 0 ? wanted_frame_max : static_cast<int>(std::min<uint32_t>(tune.frame_max, wanted_frame_max));
    // A frozen broker must be noticed within a minute, whatever it proposes.
    const int heartbeat = tune.heartbeat >= 10 && tune.heartbeat < wanted_heartbeat_s ? tune.heartbeat : wanted_heartbeat_s;
    int status = amqp_tune_connection(_state, channel_max, frame_max, heartbeat);
    if (status == AMQP_STATUS_OK) {
        amqp_connection_tune_ok_t ok{static_cast<uint16_t>(channel_max), static_cast<uint32_t>(frame_max), static_cast<uint16_t>(heartbeat)};
        status = amqp_send_method(_state, 0, AMQP_CONNECTION_TUNE_OK_METHOD, &ok);
    }
    if (status == AMQP_STATUS_OK) {
        table_storage storage;
        amqp_connection_open_t open{};
        open.virtual_host = storage.bytes((_vhost_set ? _vhost_override : _endpoint.vhost).toUtf8());
        open.capabilities = amqp_empty_bytes;
        status = amqp_send_method(_state, 0, AMQP_CONNECTION_OPEN_METHOD, &open);
    }
    if (status != AMQP_STATUS_OK)
        fail(QStringLiteral("login failed: ") + status_text(status));
}

void client::logged_in()
{
    _phase = phase::open;
    _outbox_clock.start();
    if (_queues.empty())
        reset_backoff();
    for (auto& [number, ch] : _channels)
        ch->open();
    emit connected();
}

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
        fail(QStringLiteral("cannot write to the broker: ") + status_text(status));
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

template <class T>
T* client::create(const QString& name, int number, std::map<QString, T*>& by_name)
{
    const auto found = by_name.find(name);
    if (found != by_name.end())
        return found->second;
    quint16 n = number > 0 ? static_cast<quint16>(number) : 1;
    if (number <= 0)
        while (_channels.count(n))
            ++n;
    T* object = new T(this, n, name);
    _channels[n] = object;
    by_name[name] = object;
    if (isConnected())
        object->open();
    return object;
}

queue* client::createQueue(const QString& name, int channelNumber)
{
    return create(name, channelNumber, _queues);
}

exchange* client::createExchange(const QString& name, int channelNumber)
{
    return create(name, channelNumber, _exchanges);
}

}  // namespace amqp
