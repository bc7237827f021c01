#pragma once

#include "redis_client.h"

#include <functional>
#include <vector>

namespace redis::detail {

// The connection's own first job: AUTH, CLIENT SETNAME and, for a server found through an address
// source, ROLE, as configured. A refused AUTH, or a ROLE other than master, fails the connection;
// a refused name is only reported.
class handshake : public job {
public:
    using refusal = std::function<void(const QString& why, bool fatal)>;

    handshake(const connection_config& config, refusal refuse)
        : _user(config.user.toUtf8()),
          _auth(config.auth.toUtf8()),
          _name(config.name.toLatin1()),
          _check_role(config.source != nullptr),
          _refuse(std::move(refuse))
    {
    }
    // Nothing else goes out before these are answered.
    progress write(command_writer& out) override
    {
        if (_steps.empty()) {
            if (!_auth.isEmpty()) {
                out.add(_user.isEmpty() ? command{"AUTH", _auth} : command{"AUTH", _user, _auth});
                _steps.push_back(step::auth);
            }
            if (!_name.isEmpty()) {
                out.add({"CLIENT", "SETNAME", _name});
                _steps.push_back(step::name);
            }
            if (_check_role) {
                out.add({"ROLE"});
                _steps.push_back(step::role);
            }
        }
        return _index == _steps.size() ? progress::complete : progress::waiting;
    }
    void on_reply(reply&& r) override
    {
        const step s = _steps[_index++];
        if (s == step::role) {
            const QByteArray role = r.elements.empty() ? r.text : r.elements.front().text;
            if (role != "master")
                _refuse(
                    QStringLiteral("ROLE: the server is %1, not the master").arg(QString::fromLatin1(role.left(40))),
                    true);
        } else if (r.is_error()) {
            _refuse(QStringLiteral("%1 refused: %2")
                        .arg(s == step::auth ? "AUTH" : "CLIENT SETNAME", QString::fromLatin1(r.text)),
                    s == step::auth);
        }
    }
    void finished() override {}
    void failed(const QString&) override {}

private:
    enum class step { auth, name, role };
    QByteArray _user;
    QByteArray _auth;
    QByteArray _name;
    bool _check_role;
    refusal _refuse;
    std::vector<step> _steps;
    std::size_t _index = 0;
};

}  // namespace redis::detail
