#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Durations counted into fixed buckets, as a Prometheus histogram shows them: observing is a
// few comparisons and increments, nothing allocated.
struct latency_histogram {
    // Upper bounds in seconds, from half a millisecond to ten seconds.
    static constexpr std::array<double, 14> bounds{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                   0.1,    0.25,  0.5,    1,     2.5,  5,     10};
    std::array<std::uint64_t, bounds.size() + 1> counts{};  // per bucket, not cumulative; the last above every bound
    double sum = 0;
    std::uint64_t count = 0;

    void observe(double seconds)
    {
        std::size_t i = 0;
        while (i < bounds.size() && seconds > bounds[i])
            ++i;
        ++counts[i];
        sum += seconds;
        ++count;
    }
};

// The store's command transactions, from submission to Redis's reply.
struct store_transaction_stats {
    latency_histogram executed;  // answered with EXEC's reply
    std::uint64_t failed = 0;    // not executed (Redis unreachable, silent, the transaction discarded)
};
