#include "status/http_connections.h"

int http_connections::admit(const void* id, int fd, const std::string& address, clock::time_point now)
{
    closed(id);  // not expected: a connection is known until it closes
    int victim = -1;
    const auto own = _per_address.find(address);
    if (own != _per_address.end() && own->second >= per_address_limit) {
        // Its own oldest waiting connection makes way, so that a client from a busy address
        // (a probe from the node's address, say) still gets in.
        const auto it = oldest_takeable(&address, now);
        if (it == _slots.end())
            return fd;
        victim = take(it);
    } else if (_slots.size() >= total_limit) {
        // The room comes from the address holding the most, which is the flood's, not from
        // a client elsewhere that happens to be slow.
        const std::string busiest = busiest_address();
        auto it = oldest_takeable(&busiest, now);
        if (it == _slots.end())
            it = oldest_takeable(nullptr, now);
        if (it == _slots.end())
            return fd;
        victim = take(it);
    }
    _slots[id] = slot{fd, address, phase::awaiting_request, now};
    ++_per_address[address];
    return victim;
}

void http_connections::answering(const void* id, clock::time_point now)
{
    const auto it = _slots.find(id);
    if (it == _slots.end())
        return;  // already made way for another: it is being closed
    it->second.state = phase::answering;
    it->second.since = now;
}

void http_connections::answered(const void* id, clock::time_point now)
{
    const auto it = _slots.find(id);
    if (it == _slots.end() || it->second.state != phase::answering)
        return;
    it->second.state = phase::awaiting_request;
    it->second.since = now;
}

void http_connections::closed(const void* id)
{
    const auto it = _slots.find(id);
    if (it != _slots.end())
        take(it);
}

std::vector<int> http_connections::expired(clock::time_point now)
{
    std::vector<int> fds;
    for (auto it = _slots.begin(); it != _slots.end();) {
        if (deadline(it->second) <= now) {
            const auto next = std::next(it);
            fds.push_back(take(it));
            it = next;
        } else {
            ++it;
        }
    }
    return fds;
}

std::optional<http_connections::clock::time_point> http_connections::next_deadline() const
{
    std::optional<clock::time_point> nearest;
    for (const auto& [id, s] : _slots)
        if (!nearest || deadline(s) < *nearest)
            nearest = deadline(s);
    return nearest;
}

http_connections::clock::time_point http_connections::deadline(const slot& s)
{
    return s.since + (s.state == phase::awaiting_request ? request_deadline : answer_deadline);
}

bool http_connections::takeable(const slot& s, clock::time_point now)
{
    return s.state == phase::awaiting_request || now - s.since >= answer_grace;
}

http_connections::table::iterator http_connections::oldest_takeable(const std::string* address, clock::time_point now)
{
    auto oldest = _slots.end();
    for (auto it = _slots.begin(); it != _slots.end(); ++it) {
        const slot& s = it->second;
        if ((!address || s.address == *address) && takeable(s, now) &&
            (oldest == _slots.end() || s.since < oldest->second.since))
            oldest = it;
    }
    return oldest;
}

const std::string& http_connections::busiest_address() const
{
    auto busiest = _per_address.begin();
    for (auto it = _per_address.begin(); it != _per_address.end(); ++it)
        if (it->second > busiest->second)
            busiest = it;
    return busiest->first;  // called only with connections held
}

int http_connections::take(table::iterator victim)
{
    const int fd = victim->second.fd;
    const auto count = _per_address.find(victim->second.address);
    if (--count->second == 0)
        _per_address.erase(count);
    _slots.erase(victim);
    return fd;
}
