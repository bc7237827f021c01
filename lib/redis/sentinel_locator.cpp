#include "sentinel_locator.h"

#include <QElapsedTimer>
#include <QPointer>

#include <cctype>
#include <utility>

namespace redis {

// A listening link's PING: asked for by the locator, written and answered on the subscription.
struct sentinel_locator::probe {
    enum class state { idle, wanted, due };
    state at = state::idle;
    QElapsedTimer since;  // the PING due was written
};

namespace {

// PSUBSCRIBE to every channel; each message is handed over, until the connection fails. A PING
// goes out whenever the probe wants one (the client is asked to resume).
class subscription : public job {
public:
    using message_callback = std::function<void(const QByteArray& channel, const QByteArray& text)>;
    subscription(std::shared_ptr<sentinel_locator::probe> probe, message_callback on_message, std::function<void()> on_end)
        : _probe(std::move(probe)), _on_message(std::move(on_message)), _on_end(std::move(on_end))
    {
    }
    progress write(command_writer& out) override
    {
        if (!std::exchange(_subscribed, true))
            out.add({"PSUBSCRIBE", "*"});
        if (_probe->at == sentinel_locator::probe::state::wanted) {
            out.add({"PING"});
            _probe->at = sentinel_locator::probe::state::due;
            _probe->since.start();
        }
        return progress::waiting;
    }
    void on_reply(reply&& r) override
    {
        if (r.is_error())
            end();
        // ["pmessage", pattern, channel, text]; the first reply is ["psubscribe", pattern, 1].
        else if (r.elements.size() == 4 && r.elements[0].text == "pmessage")
            _on_message(r.elements[2].text, r.elements[3].text);
        else if (r.elements.size() == 2 && r.elements[0].text == "pong")
            _probe->at = sentinel_locator::probe::state::idle;
    }
    bool open_ended() const override { return true; }
    void finished() override {}
    void failed(const QString&) override { end(); }

private:
    void end()
    {
        if (!std::exchange(_ended, true))
            _on_end();
    }
    std::shared_ptr<sentinel_locator::probe> _probe;
    message_callback _on_message;
    std::function<void()> _on_end;
    bool _subscribed = false;
    bool _ended = false;
};

// What a sentinel names must look like a host name or an IP address before anything connects
// to it or logs it.
bool plausible_host(const QByteArray& host)
{
    if (host.isEmpty() || host.size() > 255)
        return false;
    for (const char c : host)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' || c == '_'))
            return false;
    return true;
}

}  // namespace

sentinel_locator::sentinel_locator(sentinel_config config, QObject* parent) : address_source(parent), _config(std::move(config))
{
    for (std::size_t i = 0; i < static_cast<std::size_t>(_config.sentinels.size()); ++i) {
        _sentinels.push_back(std::make_unique<client>(sentinel_at(i)));
        _sentinels.back()->set_reply_limit(reply_limit_bytes);
        _listeners.push_back(nullptr);
        _probes.push_back(nullptr);
        listen(i);
    }
    _fence_limit.setSingleShot(true);
    _fence_limit.setInterval(fence_limit_ms);
    connect(&_fence_limit, &QTimer::timeout, this, [this] { lift(QString(), 0); });
    // A sentinel answers at once or not at all: the next one is asked soon. The answer's
    // callback goes on to the next.
    _question_limit.setSingleShot(true);
    _question_limit.setTimerType(Qt::PreciseTimer);
    _question_limit.setInterval(question_limit_ms);
    connect(&_question_limit, &QTimer::timeout, this,
            [this] { _sentinels[_asked]->drop(QStringLiteral("no whole answer within %1 ms").arg(question_limit_ms)); });
    _probe_interval.setInterval(probe_interval_ms);
    connect(&_probe_interval, &QTimer::timeout, this, &sentinel_locator::probe_listeners);
    if (!_sentinels.empty())
        _probe_interval.start();
}

// Asking every sentinel, twice when a fail-over began meanwhile, and the fail-over's own limit.
int sentinel_locator::locate_limit_ms() const
{
    return fence_limit_ms + 2 * static_cast<int>(_sentinels.size()) * question_limit_ms + 1000;
}

void sentinel_locator::probe_listeners()
{
    for (std::size_t i = 0; i < _listeners.size(); ++i) {
        client* link = _listeners[i].get();
        probe& p = *_probes[i];
        if (!link || link->current_state() != client::state::connected)
            continue;
        if (p.at == probe::state::due && p.since.elapsed() > probe_limit_ms) {
            link->drop(QStringLiteral("no answer to PING within %1 ms").arg(probe_limit_ms));  // listens again soon
        } else if (p.at == probe::state::idle) {
            p.at = probe::state::wanted;
            link->resume();
        }
    }
}

sentinel_locator::~sentinel_locator() = default;

connection_config sentinel_locator::sentinel_at(std::size_t index) const
{
    connection_config c;
    c.host = _config.sentinels[static_cast<int>(index)].first;
    c.port = _config.sentinels[static_cast<int>(index)].second;
    c.auth = _config.password;
    c.tls = _config.tls;
    return c;
}

void sentinel_locator::locate(found done)
{
    if (_sentinels.empty()) {
        done(QString(), 0, QStringLiteral("no sentinel configured"));
        return;
    }
    _waiting.push_back(std::move(done));
    if (_fence == fence::open && !_asking) {
        _asking = true;
        ask(_preferred, 0, QString());
    }
}

void sentinel_locator::ask(std::size_t index, std::size_t tried, const QString& errors)
{
    QPointer<sentinel_locator> self(this);
    const auto& where = _config.sentinels[static_cast<int>(index)];
    const QString name = QStringLiteral("%1:%2").arg(where.first).arg(where.second);
    _asked = index;
    _question_limit.start();
    _sentinels[index]->submit(std::make_unique<command_batch>(
        QList<command>{{"SENTINEL", "get-master-addr-by-name", _config.master}},
        [self, index, tried, errors, name](std::vector<reply>&& replies, const QString& failure) {
            if (!self)
                return;
            self->_question_limit.stop();
            QString why = failure;
            if (why.isEmpty() && replies.size() == 1) {
                const reply& r = replies.front();
                bool port_ok = false;
                const quint32 port = r.elements.size() == 2 ? r.elements[1].text.toUInt(&port_ok) : 0;
                if (port_ok && port > 0 && port < 65536 && plausible_host(r.elements[0].text)) {
                    self->_preferred = index;
                    self->answer(QString::fromLatin1(r.elements[0].text), port, QString());
                    return;
                }
                why = r.is_error() ? printable(r.text) : QStringLiteral("names no usable master of that name");
            }
            const QString all = errors + (errors.isEmpty() ? QString() : QStringLiteral("; ")) + name + QStringLiteral(": ") + why;
            if (tried + 1 < self->_sentinels.size())
                self->ask((index + 1) % self->_sentinels.size(), tried + 1, all);
            else
                self->answer(QString(), 0, QStringLiteral("no sentinel names the master \"%1\" (%2)")
                                                .arg(QString::fromUtf8(self->_config.master), all));
        }));
}

void sentinel_locator::answer(const QString& host, quint32 port, const QString& error)
{
    _asking = false;
    if (_fence == fence::failing_over)
        return;  // asked before the fail-over began: the answer may name the old master
    std::vector<found> waiting;
    waiting.swap(_waiting);
    for (found& done : waiting)
        done(host, port, error);
}

void sentinel_locator::listen(std::size_t index)
{
    _listeners[index] = std::make_unique<client>(sentinel_at(index));
    _listeners[index]->set_reply_limit(reply_limit_bytes);
    _probes[index] = std::make_shared<probe>();
    QPointer<sentinel_locator> self(this);
    _listeners[index]->submit(std::make_unique<subscription>(
        _probes[index],
        [self](const QByteArray& channel, const QByteArray& text) {
            if (self)
                self->event(channel, text);
        },
        [self, index] {
            // Not at once: the client that failed is still on the stack.
            if (self)
                QTimer::singleShot(resubscribe_ms, self, [self, index] { self->listen(index); });
        }));
}

// "+switch-master": "<name> <old ip> <old port> <new ip> <new port>"; the steps of a fail-over:
// "master <name> <ip> <port>" or "slave <ip:port> <ip> <port> @ <name> <master ip> <master port>".
void sentinel_locator::event(const QByteArray& channel, const QByteArray& text)
{
    const QList<QByteArray> words = text.split(' ');
    if (channel == "+switch-master") {
        if (words.size() == 5 && words[0] == _config.master && plausible_host(words[3]))
            lift(QString::fromLatin1(words[3]), words[4].toUInt());
        return;
    }
    const bool ours = (words.size() == 4 && words[0] == "master" && words[1] == _config.master)
                      || (words.size() == 8 && words[4] == "@" && words[5] == _config.master);
    if (!ours)
        return;
    if (channel == "+try-failover" || channel == "+selected-slave") {
        if (_fence == fence::open) {
            _fence = fence::failing_over;
            _fence_limit.start();
            emit moving(QStringLiteral("the sentinels are failing the master over"));
        }
    } else if (channel == "+promoted-slave" && words.size() == 8 && plausible_host(words[2])) {
        lift(QString::fromLatin1(words[2]), words[3].toUInt());
    } else if (channel.startsWith("-failover-abort")) {
        lift(QString(), 0);
    }
}

// The fail-over is over; host empty: where to is not known, the sentinels are asked.
void sentinel_locator::lift(const QString& host, quint32 port)
{
    const bool fenced = _fence == fence::failing_over;
    _fence = fence::open;
    _fence_limit.stop();
    if (!host.isEmpty() && port > 0 && port < 65536) {
        emit moved(host, port);
        std::vector<found> waiting;
        waiting.swap(_waiting);
        for (found& done : waiting)
            done(host, port, QString());
    } else if (fenced && !_waiting.empty() && !_asking) {
        _asking = true;
        ask(_preferred, 0, QString());
    }
}

}  // namespace redis
