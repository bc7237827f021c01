#pragma once

#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// What a command flow has done since it was made, for monitoring. Plain counts, kept by the
// thread the flow runs on.
struct command_counters {
    enum class outcome { done, rejected, retried, given_up };
    static constexpr std::size_t outcome_count = 4;
    // Peers choose the types: only those a handler exists for are counted under their own name (at
    // most named_types of them), every other as "other".
    static constexpr std::size_t named_types = 16;
    using counts = std::array<std::uint64_t, outcome_count>;
    struct of_type {
        QString type;
        counts by_outcome{};
    };

    std::vector<of_type> types;  // in the order first seen, at most named_types
    counts other{};
    std::uint64_t responses_published = 0;  // publications taken by the publisher, again ones included
    std::uint64_t responses_confirmed = 0;

    command_counters() { types.reserve(named_types); }
    void count(const QString& type, bool known, outcome what);
};
