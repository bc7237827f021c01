// Reaching the broker: name lookup, TCP connect without blocking, or a bounded TLS open.
#include "amqp_client.h"

#include "amqp_text.h"
#include "amqp_tls.h"

#include <amqp_ssl_socket.h>
#include <amqp_tcp_socket.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace amqp {

// An amqps open on a thread of its own. The connection state nobody takes back (the client went,
// or gave the attempt up) goes with the last reference, on whichever thread that is.
struct client::tls_open {
    amqp_connection_state_t state = nullptr;
    amqp_socket_t* socket = nullptr;  // belongs to state
    QByteArray host;
    int port = 0;
    int status = AMQP_STATUS_OK;
    QString reason;                             // OpenSSL's, when the open failed
    std::shared_ptr<tls_verify_record> verify;  // kept as long as the state whose checks write it
    ~tls_open()
    {
        if (state)
            amqp_destroy_connection(state);
    }
};

void client::attempt()
{
    if (_phase != phase::idle || _closing || _endpoints.empty())
        return;
    _uri_index = _next_uri_index;
    _endpoint = _endpoints[static_cast<size_t>(_uri_index)];
    if (!_password.isNull()) {
        _endpoint.password = _password;
        _endpoint.password_given = true;
    }
    _state = amqp_new_connection();
    _tls_socket = _endpoint.tls;
    _tick.start();
    _phase_clock.start();
    if (_endpoint.tls) {
        open_tls();
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

void client::open_tls()
{
    // The TLS socket cannot adopt a socket of ours: it connects and shakes hands the blocking
    // way, bounded, on a thread of its own.
    amqp_socket_t* socket = amqp_ssl_socket_new(_state);
    if (!socket) {
        fail(QStringLiteral("cannot create a TLS socket"));
        return;
    }
    auto open = std::make_shared<tls_open>();
    open->verify = _tls_verify = std::make_shared<tls_verify_record>();
    const bool verify = _tls.verify == tls_verify::full;
    // The files are read again on every attempt, so a renewed certificate is taken without a restart.
    const QString unusable =
        load_tls_files(static_cast<SSL_CTX*>(amqp_ssl_socket_get_context(socket)), _tls, _tls_verify.get());
    if (!unusable.isEmpty()) {
        fail(unusable);
        return;
    }
    amqp_ssl_socket_set_verify_peer(socket, verify);
    amqp_ssl_socket_set_verify_hostname(socket, verify);
    open->state = std::exchange(_state, nullptr);  // the thread's alone until it hands it back
    open->socket = socket;
    open->host = _endpoint.host.toUtf8();
    open->port = _endpoint.port;
    _phase = phase::opening_tls;
    _phase_clock.restart();
    std::thread([open, mailbox = _tls_mailbox, generation = _generation] {
        timeval limit{step_timeout_ms / 1000, 0};
        open->status = amqp_socket_open_noblock(open->socket, open->host.constData(), open->port, &limit);
        open->reason = open->status == AMQP_STATUS_OK ? QString() : last_tls_error();
        const std::lock_guard<std::mutex> hold(mailbox->lock);
        if (mailbox->owner)
            QMetaObject::invokeMethod(
                mailbox->owner, [owner = mailbox->owner, open, generation] { owner->tls_opened(open, generation); },
                Qt::QueuedConnection);
    }).detach();
}

void client::tls_opened(const std::shared_ptr<tls_open>& open, quint64 generation)
{
    if (generation != _generation || _phase != phase::opening_tls)
        return;  // the attempt was given up meanwhile: its state goes with the last reference
    _state = std::exchange(open->state, nullptr);
    const int status = open->status;
    const QString broker = QStringLiteral("%1:%2").arg(_endpoint.host).arg(_endpoint.port);
    if (status == AMQP_STATUS_SSL_PEER_VERIFY_FAILED) {
        const QString trusted = _tls.ca_file.isEmpty() ? QStringLiteral("the system's trust store")
                                                       : QStringLiteral("the CA file ") + _tls.ca_file;
        const long error = open->verify->error.load();
        fail(QStringLiteral("refused the broker at %1: its certificate does not verify against %2: %3")
                 .arg(broker, trusted, error ? verify_error_text(error) : QStringLiteral("it showed none")));
        return;
    }
    if (status == AMQP_STATUS_SSL_HOSTNAME_VERIFY_FAILED) {
        fail(QStringLiteral("refused the broker at %1: its certificate is not for the name %2 (%3)")
                 .arg(broker, _endpoint.host, status_text(status)));
        return;
    }
    if (status != AMQP_STATUS_OK) {
        fail(QStringLiteral("cannot connect to %1: %2%3")
                 .arg(broker, status_text(status),
                      open->reason.isEmpty() ? QString() : QStringLiteral(" (") + open->reason + QLatin1Char(')')));
        return;
    }
    _fd = amqp_socket_get_sockfd(open->socket);
    _fd_owned = false;
    _phase = phase::connecting;
    start_handshake();
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
        fail(QStringLiteral("cannot connect to %1:%2: %3")
                 .arg(_endpoint.host)
                 .arg(_endpoint.port)
                 .arg(QString::fromUtf8(std::strerror(err))));
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

}  // namespace amqp
