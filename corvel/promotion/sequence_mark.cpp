#include "promotion/sequence_mark.h"

#include "store/store_access.h"

#include <QCoreApplication>
#include <QHostInfo>
#include <QPointer>

sequence_mark::sequence_mark(redis::client& store, logger& log, const QString& key, timing t)
    : _store(store),
      _logger(log),
      _key(key.toUtf8()),
      _timing(t)
{
    if (!enabled())
        return;
    _owner = QHostInfo::localHostName().toUtf8() + '/' + QByteArray::number(QCoreApplication::applicationPid());
    _check.setInterval(_timing.check_ms);
    connect(&_check, &QTimer::timeout, this, &sequence_mark::check);
    _check.start();
    QTimer::singleShot(0, this, &sequence_mark::check);
    warn_of_eviction();
}

// Under an eviction policy Redis may drop the mark (under volatile-* first of all, as nearly the
// only key with an expiry): say so once at start-up.
void sequence_mark::warn_of_eviction()
{
    QPointer<sequence_mark> self(this);
    _store.submit(std::make_unique<redis::command_batch>(
        QList<redis::command>{{"INFO", "memory"}}, [self](std::vector<redis::reply>&& replies, const QString&) {
            if (!self || replies.size() != 1 || replies.front().is_error())
                return;
            QByteArray limit, policy;
            for (const QByteArray& line : replies.front().text.split('\n')) {
                if (line.startsWith("maxmemory:"))
                    limit = line.mid(10).trimmed();
                else if (line.startsWith("maxmemory_policy:"))
                    policy = line.mid(17).trimmed();
            }
            if (limit.isEmpty() || limit == "0" || policy.isEmpty() || policy == "noeviction")
                return;
            self->_logger.error() << "Redis evicts keys when full (maxmemory " << QString::fromLatin1(limit)
                                  << ", maxmemory-policy " << QString::fromLatin1(policy.left(40))
                                  << "): the sequence mark " << QString::fromUtf8(self->_key)
                                  << " may go and sequences be merged or promoted unfinished; only noeviction keeps it";
        }));
}

redis::command sequence_mark::mark() const
{
    return {"SET", _key, _owner, "PX", QByteArray::number(sequence_mark_ttl_ms)};
}

void sequence_mark::command_started()
{
    if (!enabled())
        return;
    const bool continues = _last_write.isValid() && _last_write.elapsed() < _timing.continuation_ms;
    _last_write.start();
    ++_running;
    // Without our own recent write to go by, the command may open a new sequence: the last one,
    // quiet and not yet promoted, must not take it into its staging keys.
    if (!continues && observed_long_enough())
        emit promotion_due(guard(false));
}

bool sequence_mark::new_sequence_undecided() const
{
    if (!enabled() || observed_long_enough())
        return false;
    if (_last_write.isValid() && _last_write.elapsed() < _timing.continuation_ms)
        return false;  // continues our own sequence
    if (!_seen.isValid())
        return true;
    if (_seen_pttl == -2)
        return false;  // no sequence to promote
    // Written by another instance so lately that this command continues its sequence.
    return _seen_pttl < 0 || sequence_mark_ttl_ms - _seen_pttl + _seen.elapsed() >= _timing.quiet_ms;
}

void sequence_mark::command_settled(command_result::outcome what)
{
    if (!enabled())
        return;
    --_running;
    if (what == command_result::outcome::retry)
        _held.start();
    else
        _held.invalidate();
}

void sequence_mark::check()
{
    if (_checking)
        return;
    _checking = true;
    // While we hold commands of a sequence (Redis refused them, say), keep it marked open: no
    // other instance may promote it half written.
    const bool refresh = open_here();
    QList<redis::command> commands{{"SELECT", QByteArray::number(store_database)}};
    commands.append(refresh ? mark() : redis::command{"PTTL", _key});
    QPointer<sequence_mark> self(this);
    _store.submit(std::make_unique<redis::command_batch>(
        commands, [self, refresh](std::vector<redis::reply>&& replies, const QString& failure) {
            if (!self)
                return;
            self->_checking = false;
            const bool answered =
                failure.isEmpty() && replies.size() == 2 && !replies[0].is_error() && !replies[1].is_error();
            if (!answered) {
                self->_healthy.invalidate();
                self->_seen.invalidate();
                return;
            }
            if (!self->_healthy.isValid())
                self->_healthy.start();
            if (!refresh)
                self->checked(replies[1]);
        }));
}

void sequence_mark::checked(const redis::reply& pttl)
{
    _seen_pttl = pttl.integer;
    _seen.start();
    if (sequence_state_of(pttl.integer, _timing.quiet_ms) != sequence_state::quiet || !observed_long_enough() ||
        open_here())
        return;
    _logger.debug() << "The sequence marked in " << QString::fromUtf8(_key) << " has had no write for "
                    << QString::number(_timing.quiet_ms) << " ms or more; promoting it";
    emit promotion_due(guard(false));
}
