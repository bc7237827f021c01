// Making a client's connection: asking the address source, resolving, dialling and the TLS
// handshake without waiting, and the connection's own first job.
#include "redis_client.h"

#include "redis_handshake.h"
#include "redis_transport.h"

#include <QHostAddress>
#include <QPointer>

#include <cerrno>
#include <cstring>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace redis {

namespace {

QString system_error(const char* what, int err)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(err)));
}

}  // namespace

void client::connect_now()
{
    ++_attempt;
    if (!_config.source) {
        connect_to_host();
        return;
    }
    _state = state::locating;
    _quiet.restart();
    QPointer<client> self(this);
    const quint64 attempt = _attempt;
    _config.source->locate([self, attempt](const QString& host, quint32 port, const QString& error) {
        if (self && self->_state == state::locating && self->_attempt == attempt)
            self->located(host, port, error);
    });
}

void client::located(const QString& host, quint32 port, const QString& error)
{
    if (!error.isEmpty()) {
        fail(error);
        return;
    }
    _config.host = host;
    _config.port = port;
    connect_to_host();
}

// The server the source names now is elsewhere: what runs here goes, to be tried there.
void client::moved(const QString& host, quint32 port)
{
    if (_state == state::disconnected || _state == state::locating || (host == _config.host && port == _config.port))
        return;
    fail(
        QStringLiteral("the master moved from %1:%2 to %3:%4").arg(_config.host).arg(_config.port).arg(host).arg(port));
}

void client::moving(const QString& why)
{
    if (_state == state::connecting || _state == state::connected)
        fail(why);
}

void client::connect_to_host()
{
    _state = state::connecting;
    _quiet.restart();
    QHostAddress literal;
    if (literal.setAddress(_config.host)) {
        dial(literal);
        return;
    }
    _lookup_id = QHostInfo::lookupHost(_config.host, this, &client::resolved);
}

void client::resolved(const QHostInfo& info)
{
    _lookup_id = -1;
    if (_state != state::connecting)
        return;
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
        fail(QStringLiteral("cannot resolve %1: %2").arg(_config.host, info.errorString()));
        return;
    }
    dial(info.addresses().first());
}

void client::dial(const QHostAddress& address)
{
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const QByteArray port = QByteArray::number(_config.port);
    if (::getaddrinfo(address.toString().toLatin1().constData(), port.constData(), &hints, &found) != 0 || !found) {
        fail(QStringLiteral("cannot connect to Redis at %1:%2: bad address").arg(_config.host).arg(_config.port));
        return;
    }
    _fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int rc = _fd < 0 ? -1 : ::connect(_fd, found->ai_addr, found->ai_addrlen);
    const int err = errno;
    ::freeaddrinfo(found);
    if (_fd < 0 || (rc != 0 && err != EINPROGRESS)) {
        fail(QStringLiteral("cannot connect to Redis at %1:%2: %3")
                 .arg(_config.host)
                 .arg(_config.port)
                 .arg(system_error("connect", err)));
        return;
    }
    ++_stats.dials;
    _write_notifier = std::make_unique<QSocketNotifier>(_fd, QSocketNotifier::Write);
    connect(_write_notifier.get(), &QSocketNotifier::activated, this, &client::writable);
    _read_notifier = std::make_unique<QSocketNotifier>(_fd, QSocketNotifier::Read);
    _read_notifier->setEnabled(false);
    connect(_read_notifier.get(), &QSocketNotifier::activated, this, &client::readable);
}

void client::readable()
{
    if (_state == state::connected)
        read_in();
    else if (_state == state::connecting && _transport)
        open_transport();
}

// Reading too: TLS may wait to write before it can read on.
void client::writable()
{
    if (_state == state::connected)
        read_in();
    else if (_state == state::connecting)
        _transport ? open_transport() : dial_finished();
}

void client::dial_finished()
{
    int soerr = 0;
    socklen_t len = sizeof soerr;
    if (::getsockopt(_fd, SOL_SOCKET, SO_ERROR, &soerr, &len) != 0)
        soerr = errno;
    if (soerr != 0) {
        fail(QStringLiteral("cannot connect to Redis at %1:%2: %3")
                 .arg(_config.host)
                 .arg(_config.port)
                 .arg(system_error("connect", soerr)));
        return;
    }
    const int one = 1;
    ::setsockopt(_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(_fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    _transport = _config.tls.enabled() ? tls_transport(_fd, _config.tls, _config.host) : plain_transport(_fd);
    open_transport();
}

void client::open_transport()
{
    switch (_transport->open()) {
    case transport::outcome::done:
        ready();
        break;
    case transport::outcome::want_read:
        _write_notifier->setEnabled(false);
        _read_notifier->setEnabled(true);
        break;
    case transport::outcome::want_write:
        _read_notifier->setEnabled(false);
        _write_notifier->setEnabled(true);
        break;
    case transport::outcome::closed:
    case transport::outcome::failed:
        fail(QStringLiteral("cannot connect to Redis at %1:%2: %3")
                 .arg(_config.host)
                 .arg(_config.port)
                 .arg(_transport->error()));
        break;
    }
}

// Bytes can move (the server's certificate checked, with TLS): the first job may go out.
void client::ready()
{
    _write_notifier->setEnabled(false);
    _read_notifier->setEnabled(true);
    _reader = std::make_unique<reply_reader>();
    _memo = connection_memo();
    _last_error.clear();
    if (!_config.auth.isEmpty() || !_config.name.isEmpty() || _config.source)
        _jobs.push_front(entry{std::make_unique<detail::handshake>(_config, [this](const QString& why, bool fatal) {
            if (fatal)
                _pending_failure = why;
            else
                _last_error = why;
        })});
    _state = state::connected;
    pump();
}

}  // namespace redis
