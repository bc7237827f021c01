#pragma once

#include "icommand_handler.h"
#include "logger.h"
#include "promotion/sequence_mark.h"
#include "promotion/staging_rename.h"
#include "redis_client.h"
#include "store/replica_wait.h"

#include <QObject>
#include <QTimer>

#include <array>
#include <cstdint>
#include <optional>

// The promotions since start-up, for the status.
struct promotion_record {
    static constexpr std::size_t outcome_count = 4;  // of promotion_result::outcome
    std::array<std::uint64_t, outcome_count> by_outcome{};
    std::uint64_t keys_promoted = 0;
    double last_seconds = 0;         // how long the last one took, whatever its outcome
    qint64 last_success_unix_s = 0;  // 0: none yet

    void record(const promotion_result& result);
};

// Decides when the staging keys are promoted, and promotes them on the store's connection.
//
// The promotion timer (the application's; each clients_devices command stops it at its start and
// starts it once written) fires one quiet time after the last command of a sequence. Besides it:
// staging keys found at start-up arm the timer (an earlier run ended before promoting); a failed
// promotion arms it again; and with a sequence key shared by several instances, a sequence that
// has gone quiet is promoted by whichever instance notices first (its periodic check, or before a
// command that comes after a quiet spell). At most one promotion is on the connection at a time.
class staging_promotion : public QObject {
    Q_OBJECT
public:
    // Sets the timer up (single shot, the quiet time); sequence_key empty: one instance per store.
    // replicas is the WAIT on the store's connection: with WAIT_REPLICAS a promotion is done only
    // once that many replicas have its renames.
    staging_promotion(redis::client& store, replica_wait& replicas, logger& log, QTimer& timer,
                      const QString& sequence_key, sequence_mark::timing timing = {});

    // Staging keys left by an earlier run are promoted one quiet time from now, unless further
    // commands continue their sequence. Without a shared sequence the keys may be another
    // instance's open sequence (this one stands by): then only once this one takes a delivery.
    void look_for_unfinished_sequence();
    void delivery_taken();
    // The timer fired: the sequence has gone quiet.
    void timer_fired();
    // No promotion from now on: one not yet begun is left to the next start.
    void stop();

    // Around each clients_devices command. started() holds the timer off, may put a promotion
    // ahead of the command on the connection, and gives the write that marks the shared sequence
    // open, if there is one; settled() restarts the timer once the command is written.
    std::optional<redis::command> command_started();
    bool new_sequence_undecided() const { return _sequence.new_sequence_undecided(); }
    void command_settled(command_result::outcome what);

    bool shared() const { return _sequence.enabled(); }
    const promotion_record& record() const { return _record; }
    const sequence_mark& sequence() const { return _sequence; }

private:
    enum class trigger { timer, sequence_quiet };
    enum class state { idle, promoting, stopped };
    // Staging keys found at start-up, without a shared sequence: what becomes of them.
    enum class leftover { none, until_a_delivery, armed };
    void promote(trigger why, std::optional<sequence_guard> guard);
    void finished(trigger why, const promotion_result& result);

    redis::client& _store;
    redis::client _lister;  // lists the staging keys while the store's connection takes the renames
    logger& _logger;
    QTimer& _timer;
    int _quiet_ms;
    sequence_mark _sequence;
    state _state = state::idle;
    leftover _leftover = leftover::none;
    promotion_record _record;
    replica_wait& _replicas;
};
