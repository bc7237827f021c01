#include "promotion/staging_scan.h"

#include "store/store_access.h"

#include <algorithm>
#include <string_view>

namespace {
const QByteArray staging_pattern = QByteArrayLiteral("tmp*");
const QByteArray page_size = QByteArrayLiteral("10000");
}

std::string_view staging_listing::key(std::size_t i) const
{
    const std::uint32_t begin = i == 0 ? 0 : _ends[i - 1];
    return std::string_view(_names.constData() + begin, _ends[i] - begin);
}

void staging_listing::add(const QByteArray& name)
{
    const int start = _names.size();
    _names.append(name);
    _ends.push_back(static_cast<std::uint32_t>(_names.size()));
    if (!first_time_seen(size() - 1)) {
        _ends.pop_back();
        _names.truncate(start);
    }
}

// Open addressing over indexes into _names, each slot holding 32 bits of the name's hash beside
// its index, so probes rarely touch the names and growing never hashes them again. It grows as
// pages come, never in one long stall.
bool staging_listing::first_time_seen(std::size_t index)
{
    if ((size() + 1) * 2 > _slots.size())
        grow_slots();
    const std::string_view name = key(index);
    const std::uint64_t hash = std::hash<std::string_view>()(name) >> 32;
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

void staging_listing::grow_slots()
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

staging_scan::staging_scan(std::shared_ptr<staging_listing> listing, bool stop_at_first)
    : _listing(std::move(listing)),
      _stop_at_first(stop_at_first)
{
}

redis::job::progress staging_scan::write(redis::command_writer& out)
{
    if (_cursor.isEmpty() && !_page_due) {
        out.add({"SELECT", QByteArray::number(store_database)});
        _cursor = "0";
    } else if (_page_due) {
        return progress::waiting;
    } else if (_listing->at != staging_listing::state::listing || _cursor == "0" ||
               (_stop_at_first && _listing->size() > 0)) {
        return progress::complete;
    }
    out.add({"SCAN", _cursor, "MATCH", staging_pattern, "COUNT", page_size});
    _page_due = true;
    return progress::waiting;
}

void staging_scan::on_reply(redis::reply&& r)
{
    if (!_selected) {
        _selected = true;
        if (r.is_error())
            fail(QStringLiteral("SELECT %1 refused: %2").arg(store_database).arg(QString::fromLatin1(r.text)));
        return;
    }
    _page_due = false;
    if (_listing->at != staging_listing::state::listing)
        return;
    if (r.is_error()) {
        fail(QStringLiteral("SCAN refused: %1").arg(QString::fromLatin1(r.text)));
        return;
    }
    if (r.type != redis::reply::kind::array || r.elements.size() != 2) {
        fail(QStringLiteral("unexpected SCAN reply"));
        return;
    }
    _cursor = r.elements[0].text;
    for (const redis::reply& name : r.elements[1].elements)
        _listing->add(name.text);
    ++_listing->pages;
    if (_cursor == "0")
        _listing->at = staging_listing::state::listed;
    if (_listing->progressed)
        _listing->progressed();
}

void staging_scan::finished()
{
    if (_listing->at == staging_listing::state::listing)  // stopped at the first key
        _listing->at = staging_listing::state::listed;
    if (_listing->progressed)
        _listing->progressed();
}

void staging_scan::failed(const QString& why)
{
    fail(why);
}

void staging_scan::fail(const QString& why)
{
    if (_listing->at != staging_listing::state::listing)
        return;
    _listing->at = staging_listing::state::failed;
    _listing->error = why;
    if (_listing->progressed)
        _listing->progressed();
}
