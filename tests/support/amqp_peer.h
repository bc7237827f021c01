#pragma once

#include "amqp_client.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <functional>

// Spins the event loop until pred holds or ms have passed; returns pred's last value.
bool wait_until(const std::function<bool()>& pred, int ms);

// Another service on the broker, for the tests: publishes to exchanges and collects what arrives on
// a queue of its own (acknowledged on arrival). Every call waits for the broker's answer.
class amqp_peer {
public:
    explicit amqp_peer(const QString& uri);

    // A topic exchange, made unless it exists; auto-deleted with the peer's connection unless durable.
    // What it cannot route goes to `alternate`, when given.
    void declare_exchange(const QString& name, bool durable = false, const QString& alternate = QString());
    // An exclusive queue bound to exchange with key; what arrives lands in received().
    void listen(const QString& exchange, const QString& key);

    void publish(const QString& exchange, const QString& key, const QByteArray& body,
                 const QString& content_type = QStringLiteral("text/plain"));
    void publish_json(const QString& exchange, const QString& key, const QJsonObject& body);

    const QList<amqp::message>& received() const { return _received; }
    bool wait_for(int count, int ms = 5000);
    QJsonObject json(int index) const;

    amqp::client& client() { return _client; }

private:
    amqp::client _client;
    amqp::queue* _queue = nullptr;
    QList<amqp::message> _received;
};

// A name no other test uses, for exchanges and queues.
QString unique_name(const QString& prefix);
