#include "promotion/tmp_key_promotion.h"

#include "commands/store_access.h"
#include "commands/store_transaction.h"

#include <algorithm>
#include <string_view>

namespace {
const QByteArray staging_pattern = QByteArrayLiteral("tmp*");

// A promotion overtaken by another instance's finds its keys gone: one failure per key.
const store_failure_kinds rename_failures{log_kind(QStringLiteral("promotion: Redis command in the transaction failed")),
                                          log_kind(QStringLiteral("promotion: Redis commands in the transaction failed"))};
}

QByteArray live_name(const QByteArray& staging_key)
{
    return staging_key.mid(4);
}

tmp_key_promotion::tmp_key_promotion(mode m, logger& log, std::function<void(promotion_result)> done,
                                     std::optional<sequence_guard> guard)
    : _mode(m), _log(log), _done(std::move(done)), _guard(std::move(guard))
{
    _since_submit.start();
}

tmp_key_promotion::~tmp_key_promotion() = default;

QByteArray tmp_key_promotion::key(std::size_t i) const
{
    const std::uint32_t begin = i == 0 ? 0 : _ends[i - 1];
    return QByteArray::fromRawData(_names.constData() + begin, static_cast<int>(_ends[i] - begin));
}

redis::job::progress tmp_key_promotion::write(redis::command_writer& out)
{
    if (_phase == phase::start) {
        out.add({"SELECT", QByteArray::number(store_database)});
        _phase = phase::scanning;
        if (_guard) {
            // Watched before the listing, so a write by anyone from here on voids the renames.
            out.add({"WATCH", _guard->key});
            out.add({"PTTL", _guard->key});
            _phase = phase::guarding;
            return progress::waiting;
        }
    }
    if (_phase == phase::guarding) {
        if (_guard_replies < 2)
            return progress::waiting;
        const sequence_state state = sequence_state_of(_pttl, _guard->quiet_ms);
        if (!_error.isEmpty() || state == sequence_state::open || (state == sequence_state::unmarked && !_guard->when_unmarked)) {
            out.add({"UNWATCH"});  // else the next transaction on this connection would be watched too
            _phase = phase::skipped;
            return progress::complete;
        }
        _phase = phase::scanning;
    }
    if (_phase == phase::scanning) {
        if (_scan_due)
            return progress::waiting;
        const bool listed = _cursor == "0";  // SCAN has come back to the start
        if (!_error.isEmpty() || (_mode == mode::look && key_count() > 0) || (listed && _mode == mode::look))
            return progress::complete;
        if (!listed) {
            out.add({"SCAN", _cursor.isEmpty() ? QByteArray("0") : _cursor, "MATCH", staging_pattern, "COUNT", "10000"});
            _scan_due = true;
            return progress::waiting;
        }
        std::vector<std::uint64_t>().swap(_slots);
        _renames = std::make_unique<redis::transaction>(
            QList<redis::command>{{"SELECT", QByteArray::number(store_database)}},
            [this](redis::command_writer& w) { return write_renames(w); },
            [this](redis::transaction_result&& r) { _result = std::move(r); });
        _phase = phase::renaming;
    }
    if (_phase == phase::renaming) {
        if (_renames->write(out) == progress::more)
            return progress::more;
        // Whatever comes after waits for the answer to EXEC.
        return _renames->answered() ? progress::complete : progress::waiting;
    }
    return progress::complete;
}

void tmp_key_promotion::on_reply(redis::reply&& r)
{
    if (_phase == phase::renaming) {
        _renames->on_reply(std::move(r));
        return;
    }
    if (!_selected) {
        _selected = true;
        if (r.is_error())
            _error = QStringLiteral("SELECT %1 refused: %2").arg(store_database).arg(QString::fromLatin1(r.text));
        return;
    }
    if (_phase == phase::guarding) {
        take_guard_reply(r);
        return;
    }
    if (_phase == phase::skipped)
        return;  // UNWATCH
    _scan_due = false;
    if (r.is_error())
        _error = QStringLiteral("SCAN refused: %1").arg(QString::fromLatin1(r.text));
    else if (r.type != redis::reply::kind::array || r.elements.size() != 2)
        _error = QStringLiteral("unexpected SCAN reply");
    else
        take_page(r);
}

void tmp_key_promotion::take_guard_reply(const redis::reply& r)
{
    const char* what = _guard_replies++ == 0 ? "WATCH" : "PTTL";
    if (r.is_error() && _error.isEmpty())
        _error = QStringLiteral("%1 %2 refused: %3").arg(QLatin1String(what), QString::fromUtf8(_guard->key), QString::fromLatin1(r.text));
    else if (_guard_replies == 2)
        _pttl = r.integer;
}

void tmp_key_promotion::take_page(const redis::reply& page)
{
    _cursor = page.elements[0].text;
    for (const redis::reply& name : page.elements[1].elements) {
        const int start = _names.size();
        _names.append(name.text);
        _ends.push_back(static_cast<std::uint32_t>(_names.size()));
        if (!first_time_seen(key_count() - 1)) {
            _ends.pop_back();
            _names.truncate(start);
        }
    }
}

// SCAN may return a key more than once, and a second RENAME of it would fail inside the
// transaction: keep each name once. The set is open addressing over indexes into _names, each
// slot holding 32 bits of the name's hash beside its index, so probes rarely touch the names and
// growing never hashes them again. It grows as pages come, never in one long stall.
bool tmp_key_promotion::first_time_seen(std::size_t index)
{
    if ((key_count() + 1) * 2 > _slots.size())
        grow_slots();
    const QByteArray name = key(index);
    const std::uint64_t hash = std::hash<std::string_view>()(std::string_view(name.constData(), static_cast<std::size_t>(name.size()))) >> 32;
    const std::size_t mask = _slots.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const std::uint64_t entry = _slots[slot];
        if (entry == 0) {
            _slots[slot] = (hash << 32) | (index + 1);
            return true;
        }
        if ((entry >> 32) == hash && key((entry & 0xffffffffu) - 1) == name)
            return false;
    }
}

void tmp_key_promotion::grow_slots()
{
    std::vector<std::uint64_t> old(std::max<std::size_t>(1024, _slots.size() * 2), 0);
    old.swap(_slots);
    const std::size_t mask = _slots.size() - 1;
    for (const std::uint64_t entry : old) {
        if (entry == 0)
            continue;
        std::size_t slot = (entry >> 32) & mask;
        while (_slots[slot] != 0)
            slot = (slot + 1) & mask;
        _slots[slot] = entry;
    }
}

bool tmp_key_promotion::write_renames(redis::command_writer& out)
{
    while (_next_rename < key_count() && !out.full()) {
        const QByteArray k = key(_next_rename++);
        out.begin(3);
        out.arg("RENAME", 6);
        out.arg(k);
        out.arg(k.constData() + std::min(4, k.size()), std::max(0, k.size() - 4));
        out.end();
    }
    if (_next_rename < key_count())
        return false;
    if (_guard && !_guard_cleared) {
        out.add({"DEL", _guard->key});  // the sequence is promoted: nothing is open any more
        _guard_cleared = true;
    }
    return true;
}

void tmp_key_promotion::on_array(long long count)
{
    if (_phase == phase::renaming)
        _renames->on_array(count);
    else
        redis::job::on_array(count);
}

void tmp_key_promotion::on_element(redis::reply&& element)
{
    if (_phase == phase::renaming)
        _renames->on_element(std::move(element));
    else
        redis::job::on_element(std::move(element));
}

void tmp_key_promotion::on_array_end()
{
    if (_phase == phase::renaming) {
        _renames->on_array_end();
    } else {
        redis::job::on_array_end();
    }
}

void tmp_key_promotion::finished()
{
    using outcome = promotion_result::outcome;
    promotion_result out;
    out.error = _error;
    out.keys = key_count();
    if (_phase == phase::renaming) {
        _renames->finished();
        out.what = _result.executed ? outcome::done : _result.watched_key_changed ? outcome::conflict : outcome::failed;
        out.error = _result.error;
        log_failed_commands(_result, _log, "promotion", rename_failures);
    } else if (_phase == phase::skipped) {
        out.what = _error.isEmpty() ? outcome::not_due : outcome::failed;
        out.age_ms = _pttl >= 0 ? sequence_mark_ttl_ms - _pttl : -1;
    } else {
        out.what = _error.isEmpty() ? outcome::done : outcome::failed;
    }
    _phase = phase::done;
    out.elapsed_ms = _since_submit.elapsed();
    _done(std::move(out));
}

void tmp_key_promotion::failed(const QString& why)
{
    _phase = phase::done;
    promotion_result out;
    out.error = why;
    out.elapsed_ms = _since_submit.elapsed();
    _done(std::move(out));
}
