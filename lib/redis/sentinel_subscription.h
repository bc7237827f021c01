#pragma once

#include "redis_job.h"

#include <QElapsedTimer>

#include <cctype>
#include <functional>
#include <memory>
#include <utility>

namespace redis::detail {

// A listening link's PING: asked for by the locator, written and answered on the subscription.
struct sentinel_probe {
    enum class state { idle, wanted, due };
    state at = state::idle;
    QElapsedTimer since;  // the PING due was written
};

// PSUBSCRIBE to every channel; each message is handed over, until the connection fails. A PING
// goes out whenever the probe wants one (the client is asked to resume).
class sentinel_subscription : public job {
public:
    using message_callback = std::function<void(const QByteArray& channel, const QByteArray& text)>;
    sentinel_subscription(std::shared_ptr<sentinel_probe> probe, message_callback on_message,
                          std::function<void()> on_end)
        : _probe(std::move(probe)),
          _on_message(std::move(on_message)),
          _on_end(std::move(on_end))
    {
    }
    progress write(command_writer& out) override
    {
        if (!std::exchange(_subscribed, true))
            out.add({"PSUBSCRIBE", "*"});
        if (_probe->at == sentinel_probe::state::wanted) {
            out.add({"PING"});
            _probe->at = sentinel_probe::state::due;
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
            _probe->at = sentinel_probe::state::idle;
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
    std::shared_ptr<sentinel_probe> _probe;
    message_callback _on_message;
    std::function<void()> _on_end;
    bool _subscribed = false;
    bool _ended = false;
};

// What a sentinel names must look like a host name or an IP address before anything connects
// to it or logs it.
inline bool plausible_host(const QByteArray& host)
{
    if (host.isEmpty() || host.size() > 255)
        return false;
    for (const char c : host)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' || c == '_'))
            return false;
    return true;
}

}  // namespace redis::detail
