#include "promotion/staging_promotion.h"

#include <QDateTime>
#include <QDebug>

#include <malloc.h>

namespace {
const log_kind look_failed_kind(QStringLiteral("Cannot look for staging keys"));
const log_kind promotion_failed_kind(QStringLiteral("Promotion of the staging keys failed"));
}

void promotion_record::record(const promotion_result& result)
{
    ++by_outcome[static_cast<std::size_t>(result.what)];
    last_seconds = static_cast<double>(result.elapsed_ms) / 1000.0;
    if (result.what != promotion_result::outcome::done)
        return;
    keys_promoted += result.keys;
    last_success_unix_s = QDateTime::currentSecsSinceEpoch();
}

staging_promotion::staging_promotion(redis::client& store, replica_wait& replicas, logger& log, QTimer& timer,
                                     const QString& sequence_key, sequence_mark::timing timing)
    : _store(store),
      _lister(store.config()),
      _logger(log),
      _timer(timer),
      _quiet_ms(timing.quiet_ms),
      _sequence(store, log, sequence_key, timing),
      _replicas(replicas)
{
    _timer.setSingleShot(true);
    _timer.setInterval(_quiet_ms);
    // A coarse timer may fire up to 5% early; the sequence is over only after the full interval.
    _timer.setTimerType(Qt::PreciseTimer);
    // Direct: a promotion due before a command must reach the store ahead of it.
    connect(
        &_sequence, &sequence_mark::promotion_due, this,
        [this](const sequence_guard& guard) { promote(trigger::sequence_quiet, guard); }, Qt::DirectConnection);
}

void staging_promotion::look_for_unfinished_sequence()
{
    look_for_staging_keys(_store, [this](promotion_result r) {
        if (!r.ok()) {
            _logger.error(look_failed_kind) << "Cannot look for staging keys at start-up: " << r.error;
        } else if (r.keys > 0 && _leftover == leftover::none && _state != state::stopped) {
            _leftover = leftover::until_a_delivery;
            if (shared())
                delivery_taken();  // the guard tells whether the sequence is still open
            else
                _logger.debug() << "Staging keys found at start-up; promoted once this instance takes a delivery";
        }
    });
}

void staging_promotion::delivery_taken()
{
    if (_leftover != leftover::until_a_delivery)
        return;
    _leftover = leftover::armed;
    if (_timer.isActive() || _state == state::stopped)
        return;
    _logger.debug() << "Staging keys found at start-up, promotion in " << QString::number(_quiet_ms) << " ms";
    _timer.start();
}

void staging_promotion::timer_fired()
{
    if (_state == state::stopped)
        return;
    qDebug() << "Sequence end, start rename \"tmp:\"\t" << QDateTime::currentDateTimeUtc();
    if (!_sequence.enabled()) {
        promote(trigger::timer, std::nullopt);
        return;
    }
    if (!_sequence.observed_long_enough()) {
        // Redis failed us lately: a writer holding commands may not have marked its sequence again.
        _logger.debug() << "Promotion put off: Redis has not been answering for " << QString::number(_quiet_ms)
                        << " ms yet";
        _timer.start();
        return;
    }
    promote(trigger::timer, _sequence.guard(true));
}

void staging_promotion::stop()
{
    _timer.stop();
    _state = state::stopped;
}

std::optional<redis::command> staging_promotion::command_started()
{
    _timer.stop();
    _sequence.command_started();
    if (!_sequence.enabled())
        return std::nullopt;
    return _sequence.mark();
}

void staging_promotion::command_settled(command_result::outcome what)
{
    _sequence.command_settled(what);
    if (what == command_result::outcome::done)
        _timer.start();
}

void staging_promotion::promote(trigger why, std::optional<sequence_guard> guard)
{
    if (_state != state::idle)
        return;  // the one submitted already goes ahead of anything submitted from now on
    _state = state::promoting;
    _store.submit(std::make_unique<staging_rename>(
        _store, _lister, _logger,
        [this, why](promotion_result r) {
            if (r.what != promotion_result::outcome::done) {
                finished(why, r);
                return;
            }
            _replicas.after_written([this, why, r](const QString& failure) mutable {
                if (!failure.isEmpty()) {
                    r.what = promotion_result::outcome::failed;
                    r.error = failure;
                }
                finished(why, r);
            });
        },
        std::move(guard)));
}

void staging_promotion::finished(trigger why, const promotion_result& result)
{
    if (_state == state::promoting)
        _state = state::idle;
    _record.record(result);
    if (result.what == promotion_result::outcome::done)
        qDebug() << "Sequence end, end rename \"tmp:\"\t" << QDateTime::currentDateTimeUtc();
    // The key list and the replies were large: give the memory back.
    malloc_trim(0);
    switch (result.what) {
    case promotion_result::outcome::done:
        if (why == trigger::sequence_quiet)
            _logger.info() << "Promoted the sequence that had gone quiet: " << QString::number(result.keys)
                           << " staging keys";
        return;
    case promotion_result::outcome::not_due:
        // Another instance wrote lately; the sequence is promoted once it has gone quiet.
        if (why == trigger::timer)
            _logger.info() << "Promotion not due: the sequence was written " << QString::number(result.age_ms)
                           << " ms ago";
        return;
    case promotion_result::outcome::conflict:
        _logger.info() << "Promotion given up: the sequence was written while the staging keys were listed; "
                          "it is promoted once it has gone quiet";
        return;
    case promotion_result::outcome::failed:
        break;
    }
    _logger.error(promotion_failed_kind) << "Promotion of the staging keys failed, next try in "
                                         << QString::number(_quiet_ms) << " ms: " << result.error;
    if (!_timer.isActive() && _state != state::stopped)
        _timer.start();
}
