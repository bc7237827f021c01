#include "command_flow.h"

#include "loggable.h"

#include <algorithm>

#include <malloc.h>

// The answering side of the command flow: responses published in delivery order, confirmations
// taken, deliveries acknowledged (or rejected, for a command given up) once answered; and the
// rejections and the end of a drain, which both sides come to.

void command_flow::publish(entry& e)
{
    // Written again for each try, the same each time: no text is kept per command.
    envelope::write_response_text(_response_text, e.command._id,
                                  e.given_up ? envelope::refusal(e.result.reason) : e.result.data);
    e.publication = _responses.publish_response(_response_text, e.reply_key);
    e.at = e.publication ? entry::stage::published : entry::stage::awaiting_publish;
    if (e.publication)
        ++_counters.responses_published;
    // Connected but refused (too much waiting to go out): try again shortly.
    if (!e.publication && _responses.can_publish() && !_republish_timer.isActive())
        _republish_timer.start(100);
}

void command_flow::ack_settled()
{
    std::vector<uint64_t>& tags = _acked_tags;
    tags.clear();
    while (!_flow.empty() &&
           (_flow.front()->at == entry::stage::confirmed || _flow.front()->at == entry::stage::settled)) {
        const entry& e = *_flow.front();
        if (e.at == entry::stage::confirmed) {
            if (e.stale)
                _answered_unacked.remember(e.command._id, e.command._type);
            else
                tags.push_back(e.tag);
        }
        _flow.pop_front();
        if (_advanced > 0)
            --_advanced;
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
            _deliveries.ack_message(tags[i], true);
        } else {
            for (std::size_t j = first; j <= i; ++j)
                _deliveries.ack_message(tags[j], false);
        }
        first = i + 1;
    }
    drained_yet();
}

void command_flow::settle_confirmation(quint64 id, bool multiple, bool ok)
{
    bool again = false;
    for (const auto& e : _flow) {
        if (e->at != entry::stage::published || !(e->publication == id || (multiple && e->publication < id)))
            continue;
        if (ok) {
            ++_counters.responses_confirmed;
            _refusal_backoff.reset();
            if (e->given_up)
                settle_rejected(*e);  // answered, never written: dead-lettered where the queue says
            else
                e->at = entry::stage::confirmed;
        } else if (++e->nacks < nacks_given_up) {
            e->at = entry::stage::awaiting_publish;
            again = true;
            _logger.error() << "The broker refused the response to cmd_id " << e->command._id << " (route \""
                            << loggable(e->command._sender) << "\"); publishing it again";
        } else {
            // Written to the store but never answered: rejected, so that it holds nothing up.
            log_rejected(e->command,
                         e->given_up
                             ? QStringLiteral("the broker refused its response %1 times").arg(nacks_given_up)
                             : QStringLiteral("the broker refused its response %1 times (it was written to the store)")
                                   .arg(nacks_given_up));
            settle_rejected(*e);
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

void command_flow::drained_yet()
{
    if (_flow.empty() && _held.empty() && _bytes_since_trim >= trim_after_bytes) {
        // Large and odd bodies leave the heap in pieces that glibc keeps: nothing is in flight
        // now, so the free pages go back to the system.
        _bytes_since_trim = 0;
        malloc_trim(0);
    }
    if (_state == run_state::finishing && _flow.empty() && _held.empty())
        emit drained();
}

void command_flow::log_rejected(const model::command& command, const QString& why)
{
    // Written for every command: the line is the only record of a command dead-lettered or dropped.
    _logger.error() << "Command rejected, " << command_named{command._id, command._type} << ": "
                    << loggable(why, envelope::reason_limit);
}

void command_flow::settle_rejected(entry& e)
{
    if (e.stale)
        _rejected_gone.remember(e.command._id, e.command._type);  // rejected under its new tag when it comes
    else
        _deliveries.reject_message(e.tag);
    e.at = entry::stage::settled;
}
