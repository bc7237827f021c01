#include "command_flow.h"

#include "command_envelope.h"
#include "loggable.h"

#include <QPointer>

#include <algorithm>
#include <stdexcept>

namespace {
// Exception texts and Redis's refusals can carry what a peer sent: cut as in a response.
using envelope::reason_limit;
const log_kind held_kind(QStringLiteral("Command held"));
}

command_flow::command_flow(logger& log, delivery_settlement& deliveries, response_publication& responses,
                           const TCmdHandlerBuildFunc& factory, QObject* parent, int first_retry_ms)
    : QObject(parent),
      _logger(log),
      _deliveries(deliveries),
      _responses(responses),
      _factory(factory),
      _retry_backoff(first_retry_ms),
      _refusal_backoff(first_retry_ms)
{
    _clock.start();
    _response_text.reserve(256);  // kept from response to response
    _retry_timer.setSingleShot(true);
    connect(&_retry_timer, &QTimer::timeout, this, &command_flow::replay_held);
    _return_timer.setSingleShot(true);
    connect(&_return_timer, &QTimer::timeout, this, &command_flow::return_held_when_due);
    _republish_timer.setSingleShot(true);
    connect(&_republish_timer, &QTimer::timeout, this, &command_flow::republish_waiting);
}

command_flow::~command_flow() = default;

void command_flow::take(const delivery& d, const model::command& command)
{
    const uint64_t tag = d.tag;
    _bytes_since_trim += static_cast<std::size_t>(d.body.size());
    // Only a redelivery can be a command seen before, and only one with the same id and type.
    const bool identified = d.redelivered && d.problem.isEmpty() && !command._id.isNull();
    if (identified && _answered_unacked.take(command._id, command._type)) {
        _logger.debug() << "Command " << command._id.toString()
                        << " was answered before its channel went away: acknowledged";
        _deliveries.ack_message(tag, false);
        return;
    }
    if (identified && _rejected_gone.take(command._id, command._type)) {
        _logger.debug() << "Command " << command._id.toString()
                        << " was rejected before its channel went away: rejected again";
        _deliveries.reject_message(tag);
        return;
    }
    // Redelivered while its first delivery is still on its way: carry on with the first.
    if (identified) {
        for (const auto& e : _flow) {
            if (e->stale && e->command._id == command._id && e->command._type == command._type) {
                e->tag = tag;
                e->stale = false;
                if (e->at == entry::stage::settled)
                    _deliveries.reject_message(tag);  // its rejection went with the old channel
                return;
            }
        }
    }
    if (_state != run_state::taking)
        give_back(tag);
    else
        enqueue({tag, command, d.problem, static_cast<std::size_t>(d.body.size()), 0, _clock.elapsed()});
}

void command_flow::resume()
{
    if (_state == run_state::returned)
        _state = run_state::taking;
}

void command_flow::finish()
{
    _state = run_state::finishing;
    _retry_timer.stop();
    _return_timer.stop();
    for (const held_command& h : _held)
        give_back(h.tag);
    _held.clear();
    drained_yet();
}

void command_flow::give_back(uint64_t tag)
{
    _deliveries.requeue_message(tag);
}

// Runs a delivery now, or behind the held ones: nothing overtakes them.
void command_flow::enqueue(const held_command& delivery)
{
    if (!_held.empty())
        hold(delivery, QStringLiteral("earlier commands wait to be tried again"));
    else
        start(delivery);
}

void command_flow::start(const held_command& delivery)
{
    auto e = std::make_shared<entry>();
    e->tag = delivery.tag;
    e->command = delivery.command;
    e->bytes = delivery.bytes;
    e->store_refusals = delivery.store_refusals;
    e->taken_ms = delivery.taken_ms;
    if (_last_reply_key.isNull() || delivery.command._sender != _last_sender) {  // mostly the sender before
        _last_sender = delivery.command._sender;
        _last_reply_key = _last_sender.toLatin1();
    }
    e->reply_key = _last_reply_key;
    _flow.push_back(e);
    // A response nobody could route would never be published, and would hold every command behind
    // it: such a command is refused before it runs.
    QString rejection = delivery.rejection;
    if (rejection.isEmpty()) {
        const QString key_problem = _responses.routing_key_problem(e->reply_key);
        if (!key_problem.isEmpty())
            rejection = QStringLiteral("its sender cannot be the routing key of its response: ") + key_problem;
    }
    if (!rejection.isEmpty()) {
        e->known_type = has_handler(delivery.command._type);
        outcome(e, command_result::rejected(rejection));
        return;
    }
    try {
        std::shared_ptr<ICommandHandler> handler = _factory(delivery.command._type);
        if (!handler)
            throw std::runtime_error("no handler for this msg_type");
        e->known_type = true;
        handler->follow_delivery(e->delivery_gone);
        QPointer<command_flow> self(this);
        std::weak_ptr<entry> weak = e;
        handler->exec(delivery.command, [self, weak](command_result result) {
            const std::shared_ptr<entry> e = weak.lock();
            if (self && e)
                self->outcome(e, std::move(result));
        });
    } catch (const std::exception& ex) {
        outcome(e, command_result::rejected(QString::fromUtf8(ex.what())));
    }
}

bool command_flow::has_handler(const QString& type) const
{
    try {
        return _factory(type) != nullptr;
    } catch (const std::exception&) {
        return false;
    }
}

void command_flow::outcome(const std::shared_ptr<entry>& e, command_result result)
{
    if (e->at != entry::stage::running)
        return;
    if (result.what == command_result::outcome::done)
        _retry_backoff.reset();
    e->result = std::move(result);
    e->at = entry::stage::outcome_known;
    advance();
}

void command_flow::advance()
{
    for (std::size_t i = _advanced; i < _flow.size(); ++i) {
        entry& e = *_flow[i];
        if (e.at == entry::stage::running)
            break;  // what follows waits: it may yet have to be tried again behind this one
        if (e.at != entry::stage::outcome_known) {
            if (i == _advanced)
                ++_advanced;
            continue;
        }
        if (i == _advanced)
            ++_advanced;  // past its outcome below, unless held (which erases it) or waiting for a verdict
        switch (e.result.what) {
        case command_result::outcome::retry: {
            const bool may_give_up = e.result.refused_by_store() && e.store_refusals + 1 >= store_refusals_given_up;
            const store_verdict verdict = may_give_up ? verdict_behind(i) : store_verdict::refuses_others;
            if (verdict == store_verdict::not_yet_known) {
                _advanced = std::min(_advanced, i);  // its outcome is still to be dealt with
                ack_settled();
                return;  // comes back here with the outcome of the command behind it
            }
            if (verdict == store_verdict::takes_others) {
                give_up(e);
                break;
            }
            _counters.count(e.command._type, e.known_type, command_counters::outcome::retried);
            hold_from(i, e.result.reason);
            ack_settled();
            return;
        }
        case command_result::outcome::rejected:
            _counters.count(e.command._type, e.known_type, command_counters::outcome::rejected);
            log_rejected(e.command, e.result.reason);
            settle_rejected(e);
            break;
        case command_result::outcome::done:
            _counters.count(e.command._type, e.known_type, command_counters::outcome::done);
            publish(e);
            break;
        }
    }
    ack_settled();
}

// The commands behind a refused one were written right after it on the same connection: one the
// store took shows that the store works and that the refused one is what it refuses. Bad commands
// never reach the store and tell nothing; with nothing behind it, nothing is known.
command_flow::store_verdict command_flow::verdict_behind(std::size_t index) const
{
    for (std::size_t i = index + 1; i < _flow.size(); ++i) {
        const entry& next = *_flow[i];
        if (next.at == entry::stage::running)
            return store_verdict::not_yet_known;
        if (next.result.what == command_result::outcome::rejected)
            continue;
        return next.result.what == command_result::outcome::done ? store_verdict::takes_others
                                                                 : store_verdict::refuses_others;
    }
    return store_verdict::refuses_others;
}

void command_flow::give_up(entry& e)
{
    _counters.count(e.command._type, e.known_type, command_counters::outcome::given_up);
    // Written for every command: with its dead-lettered delivery, the only record of it.
    _logger.error() << "Command given up, " << command_named{e.command._id, e.command._type} << ", "
                    << static_cast<quint64>(e.bytes) << " bytes: Redis refused it " << (e.store_refusals + 1)
                    << " times while taking the commands behind it: " << loggable(e.result.reason, reason_limit);
    e.given_up = true;
    publish(e);
}

// Each command at DEBUG; hold_from says it at ERROR once for all it holds.
void command_flow::hold(const held_command& delivery, const QString& why)
{
    _held.push_back(delivery);
    _logger.debug() << "Command held, " << command_named{delivery.command._id, delivery.command._type} << ": "
                    << loggable(why, reason_limit);
}

void command_flow::hold_from(std::size_t index, QString why)
{
    if (_state != run_state::taking) {
        // Not tried again by this run (or not while consuming pauses): the next one takes them from the queue, in their
        // order.
        for (std::size_t i = index; i < _flow.size(); ++i)
            if (!_flow[i]->stale)
                give_back(_flow[i]->tag);
        _flow.erase(_flow.begin() + static_cast<std::ptrdiff_t>(index), _flow.end());
        _advanced = std::min(_advanced, index);
        return;
    }
    if (!_retry_timer.isActive())
        _retry_timer.start(_retry_backoff.next());
    // Whatever is held already came after these.
    std::deque<held_command> held;
    held.swap(_held);
    const std::size_t held_before = held.size();
    for (std::size_t i = index; i < _flow.size(); ++i) {
        const entry& e = *_flow[i];
        if (e.stale)
            continue;  // the broker delivers it again
        const bool known = e.at == entry::stage::outcome_known;
        const bool bad = known && e.result.what == command_result::outcome::rejected;
        const int refusals = e.store_refusals + (known && e.result.refused_by_store() ? 1 : 0);
        hold({e.tag, e.command, bad ? e.result.reason : QString(), e.bytes, refusals, e.taken_ms},
             i == index ? why : QStringLiteral("earlier commands wait to be tried again"));
    }
    _flow.erase(_flow.begin() + static_cast<std::ptrdiff_t>(index), _flow.end());
    _advanced = std::min(_advanced, index);
    for (held_command& h : held)
        _held.push_back(std::move(h));
    if (_held.size() == held_before)
        return;  // all of them are to come again
    if (_consumer_timeout_ms > 0 && !_return_timer.isActive())
        return_held_when_due();
    const model::command& first = _held.front().command;
    _logger.error(held_kind) << "Command held, " << command_named{first._id, first._type} << ", with "
                             << static_cast<quint64>(_held.size() - 1) << " behind it, to be tried again in "
                             << _retry_backoff.current() << " ms: " << loggable(why, reason_limit);
}

void command_flow::replay_held()
{
    std::deque<held_command> held;
    held.swap(_held);
    while (!held.empty()) {
        // A command that fails at once holds the rest again.
        if (!_held.empty()) {
            _held.insert(_held.end(), held.begin(), held.end());
            return;
        }
        const held_command next = std::move(held.front());
        held.pop_front();
        start(next);
    }
}

void command_flow::return_held_when_due()
{
    if (_held.empty() || _state != run_state::taking)
        return;  // nothing held now: looked at again when something is
    qint64 oldest = _held.front().taken_ms;
    for (const held_command& h : _held)
        oldest = std::min(oldest, h.taken_ms);
    const qint64 due = oldest + qint64{_consumer_timeout_ms} * 3 / 4 - _clock.elapsed();
    if (due > 0) {
        _return_timer.start(static_cast<int>(due));
        return;
    }
    const model::command& first = _held.front().command;
    _logger.error() << "Commands held for " << (_clock.elapsed() - oldest)
                    << " ms go back to the queue before the broker's "
                    << "consumer time-out of " << _consumer_timeout_ms
                    << " ms would take them: " << static_cast<quint64>(_held.size()) << ", the first "
                    << command_named{first._id, first._type} << "; consuming pauses until Redis answers again";
    _retry_timer.stop();
    _state = run_state::returned;
    // Consuming pauses first: given back while the consumer is still there, they would come
    // straight back and go back again, each time counting toward the delivery limit.
    emit held_returned();
    for (const held_command& h : _held)
        give_back(h.tag);
    _held.clear();
}

void command_flow::forget_deliveries()
{
    // Unacknowledged deliveries go back to the queue with their channel and come again.
    if (!_held.empty())
        _logger.debug() << "Held commands went back to the queue with their channel: "
                        << static_cast<quint64>(_held.size());
    _held.clear();
    _retry_timer.stop();
    for (const auto& e : _flow) {
        e->stale = true;
        *e->delivery_gone = true;
    }
}
