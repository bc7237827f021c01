#pragma once

#include "amqp_backoff.h"
#include "amqp_client.h"
#include "command_envelope.h"
#include "command_flow_ports.h"
#include "logger.h"
#include "queue_refusal.h"
#include "rabbit_config.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>

// Consumes the command queue over a broker connection of its own. On every connection it declares
// the queue, binds it one binding at a time in order, then consumes with manual acknowledgement;
// a set-up the broker refuses is logged and tried again after a back-off.
class rabbit_receiver : public QObject, public delivery_settlement {
    Q_OBJECT
public:
    rabbit_receiver(logger& logger, rabbit_receiver_cfg config, QObject* parent, bool receiveRaw,
                    bool receiveRaw_withRoutKey);

    void ack_message(uint64_t message_tag, bool multiple) override;
    void reject_message(uint64_t message_tag) override;   // not requeued
    void requeue_message(uint64_t message_tag) override;  // back to the queue with basic.nack, to come again

    bool is_connected() const { return _client.isConnected(); }
    // The broker confirmed the consumer and has not cancelled it or lost its channel since.
    bool is_consuming() const { return _consuming; }
    // Connections made after the first.
    std::uint64_t reconnections() const { return _connections > 0 ? _connections - 1 : 0; }

    // The prefetch window sent to the broker: the AMQP field holds 16 bits, so larger (or
    // overflowed, negative) counts take its largest value rather than their low bits.
    static quint16 prefetch_window(qint32 configured);

    // For a stop: cancels the consumer and consumes no more, on this connection or a later one.
    void finish();
    // Closes the connection politely (connection.close), for good; nothing is logged as lost.
    void close();
    // Cancels the consumer until resume(); the queue is set up again then, on this connection
    // or a later one.
    void pause();
    void resume();

signals:
    // Each delivery, once: whole, with its body read as JSON (unless raw, below).
    void delivered(const delivery& d);
    // The broker confirmed the consumer: deliveries can come.
    void consuming();
    // The channel went away: deliveries not yet acknowledged go back to the queue by themselves,
    // and their tags are no longer valid.
    void deliveries_lost();
    // The queue's first declaration since start-up went through; consumers is how many it had
    // then (another instance of the service, say). Declarations on later connections are not told.
    void queue_declared(quint32 consumers);

public slots:
    void start();

    // Kept for the services that share this code; the service itself does not use them.
public:
    rabbit_receiver_cfg config() const { return _config; }
    amqp::message get_message() const { return currentMessage; }  // the latest delivery
public slots:
    void stop();
signals:
    void conn_estimated();  // a connection is set up (the queue not yet bound)
    void conn_lost();       // never emitted: a lost connection is only logged
    // A delivery's body as a JSON object (empty when it is not one), beside delivered(); emitted
    // only while something is connected to it.
    void data_received(const QJsonObject& json, uint64_t message_tag);
    // Raw modes, chosen at construction: the body as it came, instead of delivered().
    void raw_data_received(const QByteArray& data, uint64_t message_tag);
    void raw_routekey_data_received(const QByteArray& data, const QString& routing_key, uint64_t message_tag);

private slots:
    void messageReceived();
    void disconnected();
    void connected();

private:
    void set_up();
    void declared();
    void bind_all(QList<QPair<QString, QString>> bindings);
    void on_refused(int code, const QString& text);
    void on_cancelled();
    int set_up_again_later();  // returns the delay
    QString step_text() const;
    void dropped_stale(const char* what, uint64_t message_tag);
    enum class run_state { running, paused, finishing, closed };
    void cancel_for(run_state next);

    amqp::client _client;
    rabbit_receiver_cfg _config;
    amqp::queue* _queue = nullptr;
    amqp::message currentMessage;
    QString _last_key;  // the routing key of the last delivery, and as UTF-8
    QByteArray _last_key_bytes;
    logger& _logger;
    bool _receiveRaw;
    bool _receiveRaw_withRoutKey;

    setup_step _step = setup_step::declaring;
    QPair<QString, QString> _binding;  // the one going out, while binding
    bool _declared_once = false;
    bool _stopped = false;
    run_state _run = run_state::running;
    bool _consuming = false;
    std::uint64_t _connections = 0;
    // A queue the broker refused (an exchange missing, say) is set up again within 5 s of the fix.
    amqp::backoff _setup_backoff{amqp::backoff::first_ms, 5000};
    QTimer _setup_retry;
};
