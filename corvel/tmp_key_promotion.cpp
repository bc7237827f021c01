#include "tmp_key_promotion.h"

#include "store_access.h"
#include "store_transaction.h"

#include <algorithm>
#include <string_view>

namespace {
const QByteArray staging_pattern = QByteArrayLiteral("tmp*");
}

QByteArray live_name(const QByteArray& staging_key)
{
    return staging_key.mid(4);
}

tmp_key_promotion::tmp_key_promotion(mode m, logger& log, std::function<void(promotion_result)> done)
    : _mode(m), _log(log), _done(std::move(done))
{
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
    }
    if (_phase == phase::scanning) {
        if (_scan_due)
            return progress::waiting;
        const bool listed = _cursor == "0" && _selected;
        if (!_error.isEmpty() || (_mode == mode::look && key_count() > 0) || (listed && _mode == mode::look))
            return progress::complete;
        if (!listed) {
            out.add({"SCAN", _cursor, "MATCH", staging_pattern, "COUNT", "1000"});
            _scan_due = true;
            return progress::waiting;
        }
        drop_duplicates();
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
    _scan_due = false;
    if (r.is_error())
        _error = QStringLiteral("SCAN refused: %1").arg(QString::fromLatin1(r.text));
    else if (r.type != redis::reply::kind::array || r.elements.size() != 2)
        _error = QStringLiteral("unexpected SCAN reply");
    else
        take_page(r);
}

void tmp_key_promotion::take_page(const redis::reply& page)
{
    _cursor = page.elements[0].text;
    for (const redis::reply& name : page.elements[1].elements) {
        _names.append(name.text);
        _ends.push_back(static_cast<std::uint32_t>(_names.size()));
    }
}

// SCAN may return a key more than once; a second RENAME of it would fail inside the transaction.
void tmp_key_promotion::drop_duplicates()
{
    _duplicate.assign(key_count(), false);
    std::vector<std::pair<std::size_t, std::uint32_t>> order;
    order.reserve(key_count());
    for (std::size_t i = 0; i < key_count(); ++i) {
        const QByteArray k = key(i);
        order.emplace_back(std::hash<std::string_view>()(std::string_view(k.constData(), static_cast<std::size_t>(k.size()))),
                           static_cast<std::uint32_t>(i));
    }
    std::sort(order.begin(), order.end());
    for (std::size_t i = 1; i < order.size(); ++i) {
        for (std::size_t j = i; j-- > 0 && order[j].first == order[i].first;) {
            if (key(order[j].second) == key(order[i].second)) {
                _duplicate[order[i].second] = true;
                break;
            }
        }
    }
}

bool tmp_key_promotion::write_renames(redis::command_writer& out)
{
    while (_next_rename < key_count() && !out.full()) {
        const std::size_t i = _next_rename++;
        if (_duplicate[i])
            continue;
        const QByteArray k = key(i);
        out.begin(3);
        out.arg("RENAME", 6);
        out.arg(k);
        out.arg(k.constData() + std::min(4, k.size()), std::max(0, k.size() - 4));
        out.end();
    }
    return _next_rename == key_count();
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
    promotion_result out;
    if (_phase == phase::renaming) {
        _renames->finished();
        out.ok = _result.executed;
        out.error = _result.error;
        log_failed_commands(_result, _log, "promotion");
        out.keys = _result.size;
    } else {
        out.ok = _error.isEmpty();
        out.error = _error;
        out.keys = key_count();
    }
    _phase = phase::done;
    _done(std::move(out));
}

void tmp_key_promotion::failed(const QString& why)
{
    _phase = phase::done;
    _done(promotion_result{false, why, 0});
}
