#include "command_flow.h"

#include "command_envelope.h"
#include "loggable.h"

#include <QPointer>

#include <algorithm>
#include <stdexcept>

namespace {
// A response the broker nacks this many times is given up: its command is rejected, so that it
// cannot hold every command behind it.
constexpr int refusals_given_up = 3;
// Exception texts and parser messages can carry what a peer sent: cut longer than the fields.
constexpr int reason_limit = 400;

const log_kind held_kind(QStringLiteral("Command held"));
}

struct command_flow::entry {
    enum class stage {
        running,           // its handler works on it
        outcome_known,     // waits for the commands before it
        awaiting_publish,  // its response waits for the publisher
        published,         // its response waits for the broker's confirmation
        confirmed,         // to be acknowledged
        settled,           // rejected
    };
    uint64_t tag;
    model::command command;
    stage at = stage::running;
    command_result result;
    QByteArray response;  // the wire text, kept until confirmed
    quint64 publication = 0;
    int refusals = 0;  // nacks of its response
    bool stale = false;  // its delivery came on a channel since lost
    // Set with stale: what its handler has not yet written to the store is never written.
    std::shared_ptr<bool> delivery_gone = std::make_shared<bool>(false);
    bool known_type = false;  // a handler exists for its type: counted under its own name
};

command_flow::command_flow(logger& log, delivery_settlement& deliveries, response_publication& responses,
                           const TCmdHandlerBuildFunc& factory, QObject* parent, int first_retry_ms)
    : QObject(parent), _logger(log), _deliveries(deliveries), _responses(responses), _factory(factory),
      _retry_backoff(first_retry_ms), _refusal_backoff(first_retry_ms)
{
    _retry_timer.setSingleShot(true);
    connect(&_retry_timer, &QTimer::timeout, this, &command_flow::replay_held);
    _republish_timer.setSingleShot(true);
    connect(&_republish_timer, &QTimer::timeout, this, &command_flow::republish_waiting);
}

command_flow::~command_flow() = default;

void command_flow::take(const delivery& d, const model::command& command)
{
    const uint64_t tag = d.tag;
    // Only a redelivery can be a command seen before, and only one with the same id and type.
    const bool identified = d.redelivered && d.problem.isEmpty() && !command._id.isNull();
    if (identified && _answered_unacked.take(command._id, command._type)) {
        _logger.debug() << "Command " << command._id.toString() << " was answered before its channel went away: acknowledged";
        _deliveries.ack(tag, false);
        return;
    }
    // Redelivered while its first delivery is still on its way: carry on with the first.
    for (const auto& e : _flow) {
        if (identified && e->stale && e->command._id == command._id && e->command._type == command._type) {
            e->tag = tag;
            e->stale = false;
            return;
        }
    }
    if (_state == run_state::finishing)
        give_back(tag);
    else
        enqueue({tag, command, d.problem});
}

void command_flow::finish()
{
    _state = run_state::finishing;
    _retry_timer.stop();
    for (const held_command& h : _held)
        give_back(h.tag);
    _held.clear();
    drained_yet();
}

void command_flow::give_back(uint64_t tag)
{
    _deliveries.requeue(tag);
}

void command_flow::drained_yet()
{
    if (_state == run_state::finishing && _flow.empty() && _held.empty())
        emit drained();
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
    _flow.push_back(e);
    // A response nobody could route would never be published, and would hold every command behind
    // it: such a command is refused before it runs.
    QString rejection = delivery.rejection;
    if (rejection.isEmpty()) {
        const QString key_problem = _responses.routing_key_problem(delivery.command._sender.toLatin1());
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
    for (std::size_t i = 0; i < _flow.size(); ++i) {
        entry& e = *_flow[i];
        if (e.at == entry::stage::running)
            break;  // what follows waits: it may yet have to be tried again behind this one
        if (e.at != entry::stage::outcome_known)
            continue;
        switch (e.result.what) {
        case command_result::outcome::retry:
            _counters.count(e.command._type, e.known_type, command_counters::outcome::retried);
            hold_from(i, e.result.reason);
            ack_settled();
            return;
        case command_result::outcome::rejected:
            _counters.count(e.command._type, e.known_type, command_counters::outcome::rejected);
            log_rejected(e.command, e.result.reason);
            _deliveries.reject(e.tag);
            e.at = entry::stage::settled;
            break;
        case command_result::outcome::done:
            _counters.count(e.command._type, e.known_type, command_counters::outcome::done);
            e.response = envelope::wire_text(envelope::response(e.command._id, e.result.data));
            e.result.data = QJsonObject();
            publish(e);
            break;
        }
    }
    ack_settled();
}

void command_flow::publish(entry& e)
{
    e.publication = _responses.publish_response(e.response, e.command._sender.toLatin1());
    e.at = e.publication ? entry::stage::published : entry::stage::awaiting_publish;
    if (e.publication)
        ++_counters.responses_published;
    // Connected but refused (too much waiting to go out): try again shortly.
    if (!e.publication && _responses.can_publish() && !_republish_timer.isActive())
        _republish_timer.start(100);
}

void command_flow::log_rejected(const model::command& command, const QString& why)
{
    // Written for every command: the line is the only record of a command dead-lettered or dropped.
    _logger.error() << "Command rejected, " << command_named{command._id, command._type} << ": "
                    << loggable(why, reason_limit);
}

// Each command at DEBUG; hold_from says it at ERROR once for all it holds.
void command_flow::hold(const held_command& delivery, const QString& why)
{
    _held.push_back(delivery);
    _logger.debug() << "Command held, " << command_named{delivery.command._id, delivery.command._type} << ": " << loggable(why, reason_limit);
}

void command_flow::hold_from(std::size_t index, const QString& why)
{
    if (_state == run_state::finishing) {
        // Not tried again by this run: the next one takes them from the queue, in their order.
        for (std::size_t i = index; i < _flow.size(); ++i)
            if (!_flow[i]->stale)
                give_back(_flow[i]->tag);
        _flow.erase(_flow.begin() + static_cast<std::ptrdiff_t>(index), _flow.end());
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
        const bool bad = e.at == entry::stage::outcome_known && e.result.what == command_result::outcome::rejected;
        hold({e.tag, e.command, bad ? e.result.reason : QString()},
             i == index ? why : QStringLiteral("earlier commands wait to be tried again"));
    }
    _flow.erase(_flow.begin() + static_cast<std::ptrdiff_t>(index), _flow.end());
    for (held_command& h : held)
        _held.push_back(std::move(h));
    if (_held.size() == held_before)
        return;  // all of them are to come again
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

void command_flow::ack_settled()
{
    std::vector<uint64_t> tags;
    while (!_flow.empty() && (_flow.front()->at == entry::stage::confirmed || _flow.front()->at == entry::stage::settled)) {
        const entry& e = *_flow.front();
        if (e.at == entry::stage::confirmed) {
            if (e.stale)
                _answered_unacked.remember(e.command._id, e.command._type);
            else if (!e.stale)
                tags.push_back(e.tag);
        }
        _flow.pop_front();
    }
    if (tags.empty()) {
        drained_yet();
        return;
    }
    // A run of consecutive tags goes out as one acknowledgement, when nothing below its last tag
    // is still unsettled.
    uint64_t lowest_open = UINT64_MAX;
    for (const auto& e : _flow)
        if (!e->stale)
            lowest_open = std::min(lowest_open, e->tag);
    for (const held_command& h : _held)
        lowest_open = std::min(lowest_open, h.tag);
    std::size_t first = 0;
    for (std::size_t i = 0; i < tags.size(); ++i) {
        const bool run_ends = i + 1 == tags.size() || tags[i + 1] != tags[i] + 1;
        if (!run_ends)
            continue;
        if (i > first && tags[i] < lowest_open) {
            _deliveries.ack(tags[i], true);
        } else {
            for (std::size_t j = first; j <= i; ++j)
                _deliveries.ack(tags[j], false);
        }
        first = i + 1;
    }
    drained_yet();
}

void command_flow::confirmed(quint64 id, bool multiple, bool ok)
{
    bool again = false;
    for (const auto& e : _flow) {
        if (e->at != entry::stage::published || !(e->publication == id || (multiple && e->publication < id)))
            continue;
        if (ok) {
            ++_counters.responses_confirmed;
            _refusal_backoff.reset();
            e->at = entry::stage::confirmed;
            e->response.clear();
        } else if (++e->refusals < refusals_given_up) {
            e->at = entry::stage::awaiting_publish;
            again = true;
            _logger.error() << "The broker refused the response to cmd_id " << e->command._id << " (route \""
                            << loggable(e->command._sender) << "\"); publishing it again";
        } else {
            // Written to the store but never answered: rejected, so that it holds nothing up.
            log_rejected(e->command, QStringLiteral("the broker refused its response %1 times (it was written to the store)")
                                         .arg(refusals_given_up));
            _deliveries.reject(e->tag);
            e->at = entry::stage::settled;
            e->response.clear();
        }
    }
    if (again)
        republish_later();
    ack_settled();
}

// After a refusal, what waits goes out again after a back-off, not at once: a broker that keeps
// refusing (the exchange is gone) is asked once per interval.
void command_flow::republish_later()
{
    if (!_republish_timer.isActive() || _republish_timer.remainingTime() < _refusal_backoff.current())
        _republish_timer.start(_refusal_backoff.next());
}

void command_flow::responses_unconfirmed()
{
    for (const auto& e : _flow)
        if (e->at == entry::stage::published)
            e->at = entry::stage::awaiting_publish;
    // Connected still: the broker closed the publishing channel, most likely refusing a response.
    // Otherwise the new connection publishes them.
    if (_responses.can_publish())
        republish_later();
}

void command_flow::publisher_connected()
{
    _refusal_backoff.reset();
    _republish_timer.stop();
    republish_waiting();
}

void command_flow::republish_waiting()
{
    for (const auto& e : _flow) {
        if (e->at == entry::stage::awaiting_publish)
            publish(*e);
        if (e->at == entry::stage::awaiting_publish)
            break;  // still not connected
    }
}

void command_flow::deliveries_lost()
{
    // Unacknowledged deliveries go back to the queue with their channel and come again.
    if (!_held.empty())
        _logger.debug() << "Held commands went back to the queue with their channel: " << static_cast<quint64>(_held.size());
    _held.clear();
    _retry_timer.stop();
    for (const auto& e : _flow) {
        e->stale = true;
        *e->delivery_gone = true;
    }
}
