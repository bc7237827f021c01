#pragma once

#include <QByteArray>

// No clients_devices command for this long ends a sequence: its staging keys are then promoted.
constexpr int sequence_quiet_ms = 21000;

// When several instances share the store, every clients_devices transaction sets one key, with a
// long expiry, so that its remaining time tells how long ago any instance last wrote (by Redis's
// own clock). A promotion then watches that key: it goes ahead only once the key is older than
// the quiet time, deletes it in its EXEC, and is not run at all when any instance wrote between
// the listing and EXEC.
struct sequence_guard {
    QByteArray key;
    long long quiet_ms = sequence_quiet_ms;
    bool when_unmarked = false;  // promote also when no sequence is marked (the writer's own timer)
};

constexpr long long sequence_mark_ttl_ms = 24LL * 3600 * 1000;

// How a guarded promotion reads the key's remaining time (PTTL).
enum class sequence_state { unmarked, open, quiet };

inline sequence_state sequence_state_of(long long pttl, long long quiet_ms)
{
    if (pttl == -2)
        return sequence_state::unmarked;
    if (pttl == -1)  // set by hand, without expiry: its age is unknown, treat it as old
        return sequence_state::quiet;
    return sequence_mark_ttl_ms - pttl >= quiet_ms ? sequence_state::quiet : sequence_state::open;
}
