#pragma once

#include "redis_client.h"

#include <functional>

namespace redis::detail {

// The connection's own first job: AUTH and CLIENT SETNAME as configured. A refused AUTH fails the
// connection; a refused name is only reported.
class handshake : public job {
public:
    handshake(const connection_config& config, std::function<void(const QString&)> refuse)
        : _auth(config.auth.toLatin1()), _name(config.name.toLatin1()), _refuse(std::move(refuse))
    {
    }
    // Nothing else goes out before these are answered.
    progress write(command_writer& out) override
    {
        if (_expected == 0) {
            if (!_auth.isEmpty())
                out.add({"AUTH", _auth});
            if (!_name.isEmpty())
                out.add({"CLIENT", "SETNAME", _name});
            _expected = static_cast<int>(out.count());
        }
        return _index == _expected ? progress::complete : progress::waiting;
    }
    void on_reply(reply&& r) override
    {
        const bool auth = _index++ == 0 && !_auth.isEmpty();
        if (r.is_error())
            _refuse(QStringLiteral("%1 refused: %2").arg(auth ? "AUTH" : "CLIENT SETNAME", QString::fromLatin1(r.text)));
    }
    void finished() override {}
    void failed(const QString&) override {}

private:
    QByteArray _auth;
    QByteArray _name;
    std::function<void(const QString&)> _refuse;
    int _expected = 0;
    int _index = 0;
};

}  // namespace redis::detail
