// The client's life: set-up, the channel objects it owns, and the timer that bounds each step.
#include "amqp_client.h"

#include <QAbstractEventDispatcher>

namespace amqp {

client::client(QObject* parent) : QObject(parent), _tls_mailbox(std::make_shared<tls_mailbox>())
{
    _tls_mailbox->owner = this;
    _tick.setInterval(1000);
    connect(&_tick, &QTimer::timeout, this, &client::tick);
    _reconnect.setSingleShot(true);
    connect(&_reconnect, &QTimer::timeout, this, &client::attempt);
    _write_turn.setSingleShot(true);
    _write_turn.setInterval(0);  // once the turn of the event loop that gathered frames is over
    connect(&_write_turn, &QTimer::timeout, this, &client::flush_outbox);
    // The turn is over when the loop is about to wait: writing then spares the loop a pass of its
    // own for the timer. The timer stays for loops that never wait (processEvents() by hand).
    if (auto* loop = QAbstractEventDispatcher::instance())
        connect(loop, &QAbstractEventDispatcher::aboutToBlock, this, [this] {
            if (_write_turn.isActive()) {
                _write_turn.stop();
                flush_outbox();
            }
        });
}

client::~client()
{
    // Receivers may be half destroyed by now (we are often a member of one), and the channels
    // signal too as the connection goes. Destruction only lets go: it sends nothing and waits for
    // nothing (disconnectFromHost() is the polite close); the broker takes back what was not
    // acknowledged when the socket closes.
    blockSignals(true);
    for (auto& [number, ch] : _channels)
        ch->blockSignals(true);
    _closing = true;
    {
        const std::lock_guard<std::mutex> hold(_tls_mailbox->lock);
        _tls_mailbox->owner = nullptr;  // a TLS open still under way lets go of its own result
    }
    teardown();
}

void client::connectToHost(const QString& uri)
{
    _closing = false;
    _uris = split_uris(uri);
    _endpoints.clear();
    _uri_index = 0;
    _next_uri_index = 0;
    QString why = _uris.isEmpty() ? QStringLiteral("no AMQP URI given") : QString();
    for (int i = 0; i < _uris.size() && why.isEmpty(); ++i) {
        endpoint e;
        if (parse_uri(_uris[i], &e, &why))
            _endpoints.push_back(e);
        else
            _uri_index = i;  // so that currentUri() names the one at fault
    }
    if (!why.isEmpty()) {
        _endpoints.clear();  // none is tried: the list is wrong as a whole
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

QString client::currentUri() const
{
    return redact_password(_uris.value(_uri_index));
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

void client::tick()
{
    // The open's own thread gives up after the limit for the connect and again for the handshake;
    // past both, the attempt is over whatever it still does (a name lookup that hangs, say).
    if (_phase == phase::opening_tls) {
        if (_phase_clock.elapsed() >= 2 * step_timeout_ms + 500)
            fail(QStringLiteral("TLS open of %1:%2 timed out").arg(_endpoint.host).arg(_endpoint.port));
        return;
    }
    if (_phase == phase::resolving || _phase == phase::connecting || _phase == phase::handshake) {
        if (_phase_clock.elapsed() >= step_timeout_ms) {
            static const char* const steps[] = {"", "name lookup", "TCP connect", "login"};
            fail(QStringLiteral("%1 to %2:%3 timed out")
                     .arg(QLatin1String(steps[static_cast<int>(_phase)]), _endpoint.host)
                     .arg(_endpoint.port));
        }
        return;
    }
    if (_phase != phase::open)
        return;
    const quint64 generation = _generation;
    pump();  // also sends and checks heartbeats
    if (generation != _generation)
        return;
    if ((!_outbox.empty() || _writing == writing::waiting) && !_blocked && _outbox_clock.elapsed() > _write_timeout_ms)
        fail(QStringLiteral("nothing could be written to the broker for %1 ms").arg(_write_timeout_ms));
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
