#include "amqp_peer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTimer>
#include <QUuid>

#include <gtest/gtest.h>

#include <stdexcept>

bool wait_until(const std::function<bool()>& pred, int ms)
{
    QTimer wake;  // so that waiting for more events never outlasts the deadline by much
    wake.start(10);
    QElapsedTimer clock;
    clock.start();
    while (!pred()) {
        if (clock.elapsed() >= ms)
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

QString unique_name(const QString& prefix)
{
    return prefix + QLatin1Char('.') + QUuid::createUuid().toString(QUuid::WithoutBraces).left(8);
}

amqp_peer::amqp_peer(const QString& uri)
{
    _client.setConnectionName(QStringLiteral("test peer"));
    _client.connectToHost(uri);
    if (!wait_until([&] { return _client.isConnected(); }, 10000))
        throw std::runtime_error("test peer cannot connect: " + _client.lastError().toStdString());
}

void amqp_peer::declare_exchange(const QString& name, bool durable, const QString& alternate)
{
    amqp::exchange* ex = _client.createExchange(name);
    bool done = false;
    QObject::connect(ex, &amqp::exchange::declared, [&] { done = true; });
    QVariantHash arguments;
    if (!alternate.isEmpty())
        arguments.insert(QStringLiteral("alternate-exchange"), alternate);
    ex->declare(QStringLiteral("topic"), durable ? amqp::exchange::Durable : amqp::exchange::AutoDelete, arguments);
    const bool ok = wait_until([&] { return done; }, 5000);
    QObject::disconnect(ex, &amqp::exchange::declared, nullptr, nullptr);
    if (!ok)
        throw std::runtime_error("cannot declare exchange " + name.toStdString());
}

void amqp_peer::listen(const QString& exchange, const QString& key)
{
    _queue = _client.createQueue(unique_name(QStringLiteral("peer")));
    int step = 0;
    QObject::connect(_queue, &amqp::queue::declared, [&] { step = 1; });
    QObject::connect(_queue, &amqp::queue::bound, [&] { step = 2; });
    QObject::connect(_queue, &amqp::queue::consuming, [&] { step = 3; });
    QObject::connect(_queue, &amqp::queue::messageReceived, [this] {
        const amqp::message m = _queue->dequeue();
        _queue->ack(m.deliveryTag);
        _received.append(m);
    });
    _queue->declare(amqp::queue::Exclusive | amqp::queue::AutoDelete);
    _queue->bind(exchange, key);
    _queue->consume();
    const bool ok = wait_until([&] { return step == 3; }, 5000);
    QObject::disconnect(_queue, &amqp::queue::declared, nullptr, nullptr);
    QObject::disconnect(_queue, &amqp::queue::bound, nullptr, nullptr);
    QObject::disconnect(_queue, &amqp::queue::consuming, nullptr, nullptr);
    if (!ok)
        throw std::runtime_error("cannot listen on " + exchange.toStdString());
}

void amqp_peer::publish(const QString& exchange, const QString& key, const QByteArray& body,
                        const QString& content_type)
{
    if (!_client.createExchange(exchange)->publish(body, key, content_type))
        throw std::runtime_error("test peer cannot publish");
}

void amqp_peer::publish_json(const QString& exchange, const QString& key, const QJsonObject& body)
{
    publish(exchange, key, QJsonDocument(body).toJson(QJsonDocument::Compact));
}

bool amqp_peer::wait_for(int count, int ms)
{
    return wait_until([&] { return _received.size() >= count; }, ms);
}

QJsonObject amqp_peer::json(int index) const
{
    return QJsonDocument::fromJson(_received.value(index).payload).object();
}
