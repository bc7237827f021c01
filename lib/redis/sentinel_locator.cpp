#include "sentinel_locator.h"

#include <QPointer>

#include <utility>

namespace redis {

namespace {

// SUBSCRIBE to one channel; every message on it is handed over, until the connection fails.
class subscription : public job {
public:
    using message_callback = std::function<void(const QByteArray&)>;
    subscription(QByteArray channel, message_callback on_message, std::function<void(const QString&)> on_failure)
        : _channel(std::move(channel)), _on_message(std::move(on_message)), _on_failure(std::move(on_failure))
    {
    }
    progress write(command_writer& out) override
    {
        out.add({"SUBSCRIBE", _channel});
        return progress::complete;
    }
    void on_reply(reply&& r) override
    {
        if (r.is_error()) {
            end(QStringLiteral("SUBSCRIBE refused: %1").arg(QString::fromLatin1(r.text)));
            return;
        }
        // ["message", channel, text]; the first reply is ["subscribe", channel, 1].
        if (r.elements.size() == 3 && r.elements[0].text == "message")
            _on_message(r.elements[2].text);
    }
    bool open_ended() const override { return true; }
    void finished() override {}
    void failed(const QString& why) override { end(why); }

private:
    void end(const QString& why)
    {
        if (std::exchange(_ended, true))
            return;
        _on_failure(why);
    }
    bool _ended = false;
    QByteArray _channel;
    message_callback _on_message;
    std::function<void(const QString&)> _on_failure;
};

}  // namespace

sentinel_locator::sentinel_locator(sentinel_config config, QObject* parent) : address_source(parent), _config(std::move(config))
{
    for (std::size_t i = 0; i < static_cast<std::size_t>(_config.sentinels.size()); ++i)
        _sentinels.push_back(std::make_unique<client>(sentinel_at(i)));
    _resubscribe.setSingleShot(true);
    _resubscribe.setInterval(resubscribe_ms);
    connect(&_resubscribe, &QTimer::timeout, this, &sentinel_locator::subscribe);
    if (!_sentinels.empty())
        QTimer::singleShot(0, this, &sentinel_locator::subscribe);
}

sentinel_locator::~sentinel_locator() = default;

connection_config sentinel_locator::sentinel_at(std::size_t index) const
{
    connection_config c;
    c.host = _config.sentinels[static_cast<int>(index)].first;
    c.port = _config.sentinels[static_cast<int>(index)].second;
    c.auth = _config.password;
    return c;
}

void sentinel_locator::locate(found done)
{
    if (_sentinels.empty()) {
        done(QString(), 0, QStringLiteral("no sentinel configured"));
        return;
    }
    _waiting.push_back(std::move(done));
    if (_waiting.size() == 1)
        ask(_preferred, 0, QString());
}

void sentinel_locator::ask(std::size_t index, std::size_t tried, const QString& errors)
{
    QPointer<sentinel_locator> self(this);
    const auto& where = _config.sentinels[static_cast<int>(index)];
    const QString name = QStringLiteral("%1:%2").arg(where.first).arg(where.second);
    _sentinels[index]->submit(std::make_unique<command_batch>(
        QList<command>{{"SENTINEL", "get-master-addr-by-name", _config.master}},
        [self, index, tried, errors, name](std::vector<reply>&& replies, const QString& failure) {
            if (!self)
                return;
            QString why = failure;
            if (why.isEmpty() && replies.size() == 1) {
                const reply& r = replies.front();
                bool port_ok = false;
                const quint32 port = r.elements.size() == 2 ? r.elements[1].text.toUInt(&port_ok) : 0;
                if (port_ok && port > 0 && port < 65536 && !r.elements[0].text.isEmpty()) {
                    self->_preferred = index;
                    self->answer(QString::fromLatin1(r.elements[0].text), port, QString());
                    return;
                }
                why = r.is_error() ? QString::fromLatin1(r.text.left(200)) : QStringLiteral("knows no master of that name");
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
    std::vector<found> waiting;
    waiting.swap(_waiting);
    for (found& done : waiting)
        done(host, port, error);
}

void sentinel_locator::subscribe()
{
    _listener = std::make_unique<client>(sentinel_at(_listening_to));
    QPointer<sentinel_locator> self(this);
    _listener->submit(std::make_unique<subscription>(
        "+switch-master",
        [self](const QByteArray& message) {
            if (self)
                self->switched(message);
        },
        [self](const QString&) {
            // Not at once: the client that failed is still on the stack.
            if (!self)
                return;
            self->_listening_to = (self->_listening_to + 1) % self->_sentinels.size();
            self->_resubscribe.start();
        }));
}

// "<master name> <old ip> <old port> <new ip> <new port>"
void sentinel_locator::switched(const QByteArray& message)
{
    const QList<QByteArray> words = message.split(' ');
    if (words.size() != 5 || words[0] != _config.master)
        return;
    bool ok = false;
    const quint32 port = words[4].toUInt(&ok);
    if (ok)
        emit moved(QString::fromLatin1(words[3]), port);
}

}  // namespace redis
