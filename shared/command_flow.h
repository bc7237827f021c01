#pragma once

#include "amqp_backoff.h"
#include "answered_commands.h"
#include "command_counters.h"
#include "command_envelope.h"
#include "command_flow_entry.h"
#include "command_flow_ports.h"
#include "icommand_handler.h"
#include "logger.h"
#include "model.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

// Carries each command from its delivery to its acknowledgement. Commands run as they come,
// several at a time, and are settled in delivery order: a command's response is published once
// every command before it has its outcome, and its delivery is acknowledged only once the broker
// has confirmed that response, so an acknowledged command has always been answered.
//
// A command the store failed, and every command behind it, is held unacknowledged and tried
// again in order after a back-off (1 s doubling to 30 s, back to 1 s after a success): nothing
// overtakes and nothing goes back to the queue. Bad commands are rejected without requeue.
//
// A command is given up only when it is what the store refuses, not the store: Redis has refused
// its transaction on store_refusals_given_up tries, and on the last of them took the command
// right behind it on the same connection. It is then answered false, rejected without requeue
// and never written; the commands behind it go on in their order.
class command_flow : public QObject {
    Q_OBJECT
public:
    // first_retry_ms: the first delay of both back-offs (held commands, refused responses).
    command_flow(logger& log, delivery_settlement& deliveries, response_publication& responses,
                 const TCmdHandlerBuildFunc& factory, QObject* parent, int first_retry_ms = amqp::backoff::first_ms);
    ~command_flow() override;

    // The command read from the delivery's envelope; a delivery with a problem is rejected in
    // its turn.
    void take(const delivery& d, const model::command& command);

    // What became of the publications (with multiple, every id up to this one too).
    void response_confirmed(quint64 id, bool multiple) { settle_confirmation(id, multiple, true); }
    void response_nacked(quint64 id, bool multiple) { settle_confirmation(id, multiple, false); }
    // The ones published and not yet confirmed never will be (the channel or connection went).
    void responses_unconfirmed();
    // The publisher is connected again: what waits goes out.
    void publisher_connected();
    // The consumer's channel went away: unacknowledged deliveries come again, under new tags.
    void forget_deliveries();

    // The broker's consumer time-out (0: none). A delivery it sees unacknowledged that long goes
    // back to the queue with its channel, which counts toward a quorum queue's delivery limit each
    // time: commands held for three quarters of it go back once, and held_returned() asks for
    // consuming to pause until the store answers again.
    void set_consumer_timeout(int ms) { _consumer_timeout_ms = ms; }
    // Deliveries are taken again (after held_returned).
    void resume();

    // For a stop: the commands under way are carried through to their acknowledgement, while
    // held ones, those that fail from now on and any delivery still arriving go back to the
    // queue. drained() follows once nothing is left.
    void finish();
    // Deliveries taken and not yet settled: running, answered but unconfirmed, or held.
    std::size_t unsettled() const { return _flow.size() + _held.size(); }
    const command_counters& counters() const { return _counters; }
    // Commands held to be tried again, those behind them included.
    std::size_t held_count() const { return _held.size(); }

    static constexpr int store_refusals_given_up = 3;
    // A response the broker nacks this many times is given up: its command is rejected, so that it
    // cannot hold every command behind it.
    static constexpr int nacks_given_up = 3;

signals:
    void drained();
    void held_returned();

private:
    using entry = command_flow_entry;
    struct held_command {
        uint64_t tag;
        model::command command;
        QString rejection;  // set: a bad command, rejected when its turn comes
        std::size_t bytes = 0;
        int store_refusals = 0;
        qint64 taken_ms = 0;  // on the flow's clock
    };

    enum class run_state { taking, returned, finishing };
    // Bodies taken since the heap was last trimmed; trimmed once this much has passed and the
    // flow is empty.
    static constexpr std::size_t trim_after_bytes = 16 << 20;
    std::size_t _bytes_since_trim = 0;
    // What the commands behind a refused one say of the store on the same try.
    enum class store_verdict { takes_others, refuses_others, not_yet_known };

    void enqueue(const held_command& delivery);
    void give_back(uint64_t tag);
    void drained_yet();
    void start(const held_command& delivery);
    void outcome(const std::shared_ptr<entry>& e, command_result result);
    void advance();
    void publish(entry& e);
    // why by value: it is most often the reason of an entry this erases.
    void hold_from(std::size_t index, QString why);
    void hold(const held_command& delivery, const QString& why);
    store_verdict verdict_behind(std::size_t index) const;
    void give_up(entry& e);
    void settle_rejected(entry& e);
    void replay_held();
    void return_held_when_due();
    void ack_settled();
    void settle_confirmation(quint64 id, bool multiple, bool ok);
    void republish_waiting();
    void republish_later();
    bool has_handler(const QString& type) const;
    void log_rejected(const model::command& command, const QString& why);

    logger& _logger;
    delivery_settlement& _deliveries;
    response_publication& _responses;
    const TCmdHandlerBuildFunc& _factory;

    std::deque<std::shared_ptr<entry>> _flow;  // in delivery order, until acknowledged
    // How many entries at the front of _flow advance() has carried past their outcome: neither
    // running nor waiting there, they never are again.
    std::size_t _advanced = 0;
    std::vector<uint64_t> _acked_tags;  // ack_settled's, kept for its room
    QByteArray _response_text;          // the response being published
    QString _last_sender;               // of the command started last, and its Latin-1
    QByteArray _last_reply_key;
    std::deque<held_command> _held;  // waiting to be tried again, in delivery order
    amqp::backoff _retry_backoff;
    QTimer _retry_timer;
    QTimer _return_timer;
    int _consumer_timeout_ms = 0;
    QElapsedTimer _clock;
    QTimer _republish_timer;
    amqp::backoff _refusal_backoff;  // between publications the broker refused
    run_state _state = run_state::taking;
    answered_commands _answered_unacked;
    answered_commands _rejected_gone;  // rejected while their delivery was gone with its channel
    command_counters _counters;
};
