#pragma once

#include <algorithm>

namespace amqp {

// Delays between retries: 1 s (unless told otherwise), doubling up to 30 s (unless told otherwise),
// until reset.
class backoff {
public:
    explicit backoff(int first = first_ms, int last = last_ms) : _first(first), _last(last) {}
    int next()
    {
        _ms = _ms == 0 ? _first : std::min(_ms * 2, _last);
        return _ms;
    }
    void reset() { _ms = 0; }
    int current() const { return _ms; }

    static constexpr int first_ms = 1000;
    static constexpr int last_ms = 30000;

private:
    int _first;
    int _last;
    int _ms = 0;
};

}  // namespace amqp
