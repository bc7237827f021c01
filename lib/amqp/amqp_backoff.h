#pragma once

#include <algorithm>

namespace amqp {

// Delays between retries: 1 s, doubling up to 30 s, until reset.
class backoff {
public:
    int next()
    {
        _ms = _ms == 0 ? first_ms : std::min(_ms * 2, last_ms);
        return _ms;
    }
    void reset() { _ms = 0; }
    int current() const { return _ms; }

    static constexpr int first_ms = 1000;
    static constexpr int last_ms = 30000;

private:
    int _ms = 0;
};

}  // namespace amqp
