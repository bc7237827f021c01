#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace redis {

// Where a client connects when the address is not fixed (the master that sentinels name, say):
// asked before each connection, answered from the event loop.
class address_source : public QObject {
    Q_OBJECT
public:
    // An address to connect to, or why there is none for now.
    using found = std::function<void(const QString& host, quint32 port, const QString& error)>;

    using QObject::QObject;
    virtual void locate(found done) = 0;
    // A client waiting longer for locate() to answer gives up (and asks again with its next job).
    virtual int locate_limit_ms() const = 0;

signals:
    // The server moved to this address: connections to any other one should go.
    void moved(const QString& host, quint32 port);
    // The server is being moved: connections should go now, and locate() answers once it is known
    // where to.
    void moving(const QString& why);
};

}  // namespace redis
