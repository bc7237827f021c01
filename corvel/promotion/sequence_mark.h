#pragma once

#include "icommand_handler.h"
#include "logger.h"
#include "promotion/sequence_guard.h"
#include "redis_client.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// Lets several instances share one store. Every clients_devices transaction marks the sequence as
// open in one key (SEQUENCE_KEY); a sequence is promoted only once no instance has written for
// the promotion delay, by whichever instance notices first, so a sequence whose writer died is
// promoted by another. Disabled (and Redis sees nothing of it) when no key is configured.
//
// An instance holding commands through a Redis outage marks its sequence again as soon as Redis
// answers, and others promote only after Redis has answered them for the quiet time, so an outage
// does not get a half-written sequence promoted. One case is beyond it: an instance cut off from
// Redis while the others still reach it cannot mark its sequence, which they then promote as it
// stands; the next whole sequence puts the sets right.
class sequence_mark : public QObject {
    Q_OBJECT
public:
    struct timing {
        int quiet_ms = sequence_quiet_ms;  // no write by anyone for this long ends a sequence
        int check_ms = 3000;               // how often the key is looked at
        int continuation_ms = 18000;       // a write this soon after our last one continues its sequence
    };

    sequence_mark(redis::client& store, logger& log, const QString& key, timing t);
    sequence_mark(redis::client& store, logger& log, const QString& key) : sequence_mark(store, log, key, timing{}) {}

    bool enabled() const { return !_key.isEmpty(); }
    // Goes into every clients_devices transaction.
    redis::command mark() const;
    // The guard of a promotion; when_unmarked for the promotion timer, which also promotes
    // staging keys that no sequence marked (left by a run without the key).
    sequence_guard guard(bool when_unmarked) const { return {_key, _timing.quiet_ms, when_unmarked}; }
    // Redis has answered this instance without a failure for at least the quiet time, so a writer
    // holding commands through an outage has had the time to mark its sequence again.
    bool observed_long_enough() const { return _healthy.isValid() && _healthy.elapsed() >= _timing.quiet_ms; }

    // Around each clients_devices command. A command written long after our last one may begin
    // a new sequence: a quiet one still unpromoted is promoted first (promotion_due, handled at
    // once, so its job goes to the store ahead of the command's).
    void command_started();
    void command_settled(command_result::outcome what);
    // A command that may begin a new sequence while the mark shows one that has gone quiet (or we
    // have not seen the mark since Redis last failed us), before Redis has answered us for the
    // quiet time, so that nothing promotes that sequence first: written now, it would land in
    // that sequence's staging keys. It waits instead.
    bool new_sequence_undecided() const;

signals:
    // A marked sequence has gone quiet (or may have): submit a guarded promotion now.
    void promotion_due(const sequence_guard& guard);

private:
    void warn_of_eviction();
    void check();
    void checked(const redis::reply& pttl);
    // Held commands are tried again at least every 30 s; once none has been for twice that, they
    // went back to the broker (the connection was lost) and the sequence is no longer ours.
    bool open_here() const { return _running > 0 || (_held.isValid() && _held.elapsed() < held_for_ms); }
    static constexpr int held_for_ms = 60000;

    redis::client& _store;
    logger& _logger;
    QByteArray _key;
    QByteArray _owner;  // written as the key's value: who marked it last
    timing _timing;
    QTimer _check;
    bool _checking = false;
    QElapsedTimer _healthy;     // since the first of an unbroken run of answered checks
    QElapsedTimer _seen;        // since the last answered look at the mark; invalid after a failed one
    long long _seen_pttl = -2;  // what that look read
    QElapsedTimer _last_write;  // our last clients_devices command
    int _running = 0;           // clients_devices commands between start and outcome
    QElapsedTimer _held;        // since the last outcome "try again"; invalid after any other
};
