#include "redis_transaction.h"

#include <algorithm>

namespace redis {

transaction::prelude::prelude(const QList<command>& commands) : count(static_cast<std::size_t>(commands.size()))
{
    for (const command& c : commands)
        append_command(wire, c);
}

transaction::transaction(QList<command> before, body source, done_callback done)
    : transaction(prelude(before), std::move(source), std::move(done))
{
}

transaction::transaction(prelude before, body source, done_callback done)
    : _prelude(std::move(before)),
      _body(std::move(source)),
      _done(std::move(done))
{
}

transaction::body transaction::of(QList<command> commands)
{
    return [commands = std::move(commands)](command_writer& out) {
        for (const command& c : commands)
            out.add(c);
        return true;
    };
}

job::progress transaction::write(command_writer& out)
{
    const bool unwanted = !wanted();
    if (_phase == phase::prelude && unwanted) {
        _refused = QStringLiteral("no longer wanted: nothing of it was written");
        _phase = phase::refused;
        return progress::complete;
    }
    if (unwanted)
        abandon(QStringLiteral("no longer wanted: DISCARD instead of EXEC"));
    if (_phase == phase::prelude) {
        out.add_written(_prelude.wire, _prelude.count);
        _memo = out.memo();
        const bool accepted_before = _prelude.count == 0 || !_memo || _memo->accepted_preludes.contains(_prelude.wire);
        _phase = accepted_before ? phase::body : phase::confirming;
        if (accepted_before)
            out.add({"MULTI"});
        else
            return progress::waiting;
    }
    if (_phase == phase::confirming) {
        if (!_refused.isEmpty()) {
            _phase = phase::refused;  // nothing more goes out; finished() reports it
            return progress::complete;
        }
        if (_replies < _prelude.count)
            return progress::waiting;
        _memo->accepted_preludes.insert(_prelude.wire);
        out.add({"MULTI"});
        _phase = phase::body;
    }
    if (_phase == phase::body && !_abandoned.isEmpty()) {
        _body = nullptr;
        out.add({"DISCARD"});
        _phase = phase::exec;
    }
    if (_phase == phase::body) {
        const std::size_t before = out.count();
        const bool all = write_body(out);
        _result.size += out.count() - before;
        if (!all)
            return progress::more;
        _body = nullptr;  // let go of what it holds
        out.add({"EXEC"});
        _phase = phase::exec;
    }
    return progress::complete;
}

void transaction::abandon(const QString& why)
{
    if (_phase != phase::exec && _phase != phase::done && _abandoned.isEmpty())
        _abandoned = why;
}

int transaction::extra_silence_ms() const
{
    if (next_reply() != reading::exec)
        return 0;
    const std::size_t ms = _result.size * exec_allowance_us_per_command / 1000;
    return static_cast<int>(std::min<std::size_t>(ms, 3600 * 1000));
}

std::size_t transaction::reply_limit(std::size_t usual) const
{
    if (next_reply() != reading::exec)
        return usual;
    return usual + _result.size * exec_allowance_bytes_per_command;
}

transaction::reading transaction::next_reply() const
{
    const std::size_t prelude = _prelude.count;
    if (_replies < prelude)
        return reading::prelude;
    if (_replies == prelude)
        return reading::multi;
    if (_phase == phase::exec && _replies == prelude + 1 + _result.size)
        return reading::exec;
    return reading::body;
}

void transaction::on_reply(reply&& r)
{
    switch (next_reply()) {
    case reading::prelude:
        if (r.is_error() && _refused.isEmpty()) {
            _refused =
                QStringLiteral("Redis refused a command before the transaction: %1").arg(QString::fromLatin1(r.text));
            _refused_by_redis = true;
        }
        break;
    case reading::multi:
        if (r.is_error() && _refused.isEmpty()) {
            _refused = QStringLiteral("Redis refused MULTI: %1").arg(QString::fromLatin1(r.text));
            _refused_by_redis = true;
        }
        break;
    case reading::body:
        if (r.is_error() && _queued_error.isEmpty()) {
            _queued_error = r.text;
            _queued_error_index = _replies - _prelude.count - 1;
        }
        break;
    case reading::exec:
        _exec_read = true;
        if (!_abandoned.isEmpty()) {
            _result.error = _abandoned;  // the reply to DISCARD
        } else if (r.is_error()) {
            _result.refused = true;
            _result.error = QStringLiteral("Redis discarded the transaction: %1").arg(QString::fromLatin1(r.text));
            if (!_queued_error.isEmpty())
                _result.error += QStringLiteral(" (queued command %1: %2)")
                                     .arg(_queued_error_index)
                                     .arg(QString::fromLatin1(_queued_error));
        } else if (r.type == reply::kind::nil) {
            _result.error = QStringLiteral("Redis did not execute the transaction (EXEC answered nil)");
            _result.watched_key_changed = true;
        } else {
            _result.error = QStringLiteral("unexpected EXEC reply");
        }
        break;
    }
    ++_replies;
}

// Before EXEC's, a reply that is not an error is only counted.
void transaction::on_reply_view(const reply_view& r)
{
    if (!r.is_error() && next_reply() != reading::exec)
        ++_replies;
    else
        on_reply(make_reply(r));
}

void transaction::on_array(long long)
{
    _result.executed = next_reply() == reading::exec;
    if (!_result.executed)
        _result.error = QStringLiteral("unexpected array reply");
}

void transaction::on_element(reply&& element)
{
    const std::size_t index = _exec_index++;
    if (!element.is_error())
        return;
    if (++_result.failed_count <= transaction_result::failures_kept)
        _result.failed.push_back({index, std::move(element.text)});
}

void transaction::on_element_view(const reply_view& element)
{
    if (element.is_error())
        on_element(make_reply(element));
    else
        ++_exec_index;
}

void transaction::on_array_end()
{
    _exec_read = _result.executed;
    ++_replies;
}

void transaction::finished()
{
    if (!_refused.isEmpty()) {
        _result.executed = false;
        _result.refused = _refused_by_redis;
        _result.error = _refused;
    }
    _phase = phase::done;
    done(std::move(_result));
}

void transaction::failed(const QString& why)
{
    _result.executed = false;
    _result.error = why;
    _phase = phase::done;
    done(std::move(_result));
}

}  // namespace redis
