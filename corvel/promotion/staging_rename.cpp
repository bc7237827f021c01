#include "promotion/staging_rename.h"

#include "store/store_access.h"
#include "store/store_transaction.h"

#include <algorithm>

namespace {
// A promotion overtaken by another instance's finds its keys gone: one failure per key.
const store_failure_kinds rename_failures{
    log_kind(QStringLiteral("promotion: Redis command in the transaction failed")),
    log_kind(QStringLiteral("promotion: Redis commands in the transaction failed"))};
}

void look_for_staging_keys(redis::client& store, std::function<void(promotion_result)> done)
{
    auto listing = std::make_shared<staging_listing>();
    QElapsedTimer since;
    since.start();
    listing->progressed = [listing = listing.get(), done, since, reported = false]() mutable {
        if (reported || listing->at == staging_listing::state::listing)
            return;
        reported = true;
        promotion_result out;
        out.what = listing->at == staging_listing::state::listed ? promotion_result::outcome::done
                                                                 : promotion_result::outcome::failed;
        out.error = listing->error;
        out.keys = listing->size();
        out.elapsed_ms = since.elapsed();
        done(out);
    };
    store.submit(std::make_unique<staging_scan>(std::move(listing), true));
}

staging_rename::staging_rename(redis::client& store, redis::client& lister, logger& log,
                               std::function<void(promotion_result)> done, std::optional<sequence_guard> guard)
    : _store(&store),
      _lister(&lister),
      _logger(log),
      _done(std::move(done)),
      _guard(std::move(guard))
{
    _since_submit.start();
}

// The job goes once it has reported: a listing still under way stops at its next page.
staging_rename::~staging_rename()
{
    if (!_listing)
        return;
    if (_listing->at == staging_listing::state::listing)
        _listing->at = staging_listing::state::abandoned;
    _listing->progressed = nullptr;
}

redis::job::progress staging_rename::write(redis::command_writer& out)
{
    if (_phase == phase::start) {
        if (!_guard) {
            start_listing();
        } else {
            // Watched before the listing, so a write by anyone from here on voids the renames.
            out.add({"SELECT", QByteArray::number(store_database)});
            out.add({"WATCH", _guard->key});
            out.add({"PTTL", _guard->key});
            _phase = phase::guarding;
            return progress::waiting;
        }
    }
    if (_phase == phase::guarding) {
        if (_guard_replies < 3)
            return progress::waiting;
        const sequence_state state = sequence_state_of(_pttl, _guard->quiet_ms);
        if (!_error.isEmpty() || state == sequence_state::open ||
            (state == sequence_state::unmarked && !_guard->when_unmarked)) {
            out.add({"UNWATCH"});  // else the next transaction on this connection would be watched too
            _phase = phase::skipped;
            return progress::complete;
        }
        start_listing();
    }
    if (_phase == phase::listing) {
        // MULTI waits for the first page: a listing that fails at once leaves nothing to discard.
        if (_listing->pages == 0 && _listing->at == staging_listing::state::listing)
            return progress::waiting;
        if (_listing->pages == 0 && _listing->at == staging_listing::state::failed) {
            _error = QStringLiteral("the listing of the staging keys failed: %1").arg(_listing->error);
            if (_guard)
                out.add({"UNWATCH"});
            _phase = phase::skipped;
            return progress::complete;
        }
        _renames = std::make_unique<redis::transaction>(
            QList<redis::command>{{"SELECT", QByteArray::number(store_database)}},
            [this](redis::command_writer& w) { return write_renames(w); },
            [this](redis::transaction_result&& r) { _result = std::move(r); });
        _phase = phase::renaming;
    }
    if (_phase == phase::renaming) {
        if (_listing->at == staging_listing::state::failed)
            _renames->abandon(QStringLiteral("the listing of the staging keys failed: %1").arg(_listing->error));
        if (_renames->write(out) == progress::more)
            // Everything found so far is written: go on when the next page has come.
            return _next_rename < _listing->size() ? progress::more : progress::waiting;
        // Whatever comes after waits for the answer to EXEC.
        return _renames->answered() ? progress::complete : progress::waiting;
    }
    return progress::complete;
}

void staging_rename::start_listing()
{
    _phase = phase::listing;
    _listing = std::make_shared<staging_listing>();
    QPointer<redis::client> store = _store;
    _listing->progressed = [store] {
        if (store)
            store->resume();
    };
    if (_lister)
        _lister->submit(std::make_unique<staging_scan>(_listing, false));
}

bool staging_rename::write_renames(redis::command_writer& out)
{
    if (_guard && !_guard_claimed) {
        // A write Redis refuses when it refuses writes (maxmemory reached with noeviction), where
        // RENAME and DEL would still go through: then the whole transaction is refused, and a
        // sequence whose writer Redis has been refusing is not promoted half written.
        out.add({"SET", _guard->key, "promoting", "PX", QByteArray::number(_guard->quiet_ms)});
        _guard_claimed = true;
    }
    while (_next_rename < _listing->size() && !out.full()) {
        const std::string_view k = _listing->key(_next_rename++);
        out.add({"RENAME", k, k.substr(std::min<std::size_t>(4, k.size()))});
    }
    if (_next_rename < _listing->size() || _listing->at != staging_listing::state::listed)
        return false;
    _listing->forget_duplicates();
    if (_guard && !_guard_cleared) {
        out.add({"DEL", _guard->key});  // the sequence is promoted: nothing is open any more
        _guard_cleared = true;
    }
    return true;
}

void staging_rename::on_reply(redis::reply&& r)
{
    if (_phase == phase::renaming)
        _renames->on_reply(std::move(r));
    else if (_phase == phase::guarding || _phase == phase::listing)
        take_guard_reply(r);
    // skipped: the reply to UNWATCH
}

void staging_rename::take_guard_reply(const redis::reply& r)
{
    static const char* const what[] = {"SELECT", "WATCH", "PTTL"};
    const int index = _guard_replies++;
    if (r.is_error() && _error.isEmpty())
        _error = QStringLiteral("%1 %2 refused: %3")
                     .arg(QLatin1String(what[std::min(index, 2)]), QString::fromUtf8(_guard->key),
                          QString::fromLatin1(r.text));
    else if (index == 2)
        _pttl = r.integer;
}

void staging_rename::on_array(long long count)
{
    if (_phase == phase::renaming)
        _renames->on_array(count);
    else
        redis::job::on_array(count);
}

void staging_rename::on_element(redis::reply&& element)
{
    if (_phase == phase::renaming)
        _renames->on_element(std::move(element));
    else
        redis::job::on_element(std::move(element));
}

void staging_rename::on_array_end()
{
    if (_phase == phase::renaming)
        _renames->on_array_end();
    else
        redis::job::on_array_end();
}

void staging_rename::finished()
{
    using outcome = promotion_result::outcome;
    promotion_result out;
    out.error = _error;
    if (_phase == phase::renaming) {
        _renames->finished();
        out.keys = _listing->size();
        out.what = _result.executed ? outcome::done : _result.watched_key_changed ? outcome::conflict : outcome::failed;
        out.error = _result.error;
        log_failed_commands(_result, _logger, "promotion", rename_failures);
    } else if (_phase == phase::skipped) {
        out.what = _error.isEmpty() ? outcome::not_due : outcome::failed;
        out.age_ms = _pttl >= 0 ? sequence_mark_ttl_ms - _pttl : -1;
    } else {
        out.what = outcome::failed;
    }
    report(std::move(out));
}

void staging_rename::failed(const QString& why)
{
    promotion_result out;
    out.error = why;
    report(std::move(out));
}

void staging_rename::report(promotion_result out)
{
    _phase = phase::done;
    out.elapsed_ms = _since_submit.elapsed();
    _done(std::move(out));
}
