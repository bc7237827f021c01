#pragma once

#include <QString>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

class log_output;

// The way out of the log's lines: the thread that logs only queues them, and a thread of the
// queue's own writes them, so a reader that stalls (a pipe nobody reads, a journald that does not
// drain) never holds up the event loop. The queue holds at most bound_bytes of lines: 4 MiB,
// 20,000 to 40,000 lines, over half a second of DEBUG lines at 30,000 commands a second or hours
// of ERROR lines: enough to ride out a disk's or journald's hiccup, while the memory a stalled
// reader can cost stays small (twice the bound at most, with the batch the writer is blocked on).
// A line that does not fit is dropped and counted, and the next line queued comes after a note
// of how many were lost. Lines keep their order.
//
// The writer is woken once the lines queued reach 64 KiB, when a line is urgent, and otherwise
// once per turn of the event loop of the thread that called hand_over_per_loop_turn(), or at
// once for a line from any other thread: never one wake-up per line of a busy loop.
class log_queue {
public:
    static constexpr std::size_t bound_bytes = 4 * 1024 * 1024;
    static constexpr std::chrono::milliseconds flush_limit{1000};

    log_queue();
    // Waits at most flush_limit for what is queued to be written; a writer blocked beyond that is
    // left to finish on its own, so a stop never hangs on a stalled reader.
    ~log_queue();
    log_queue(const log_queue&) = delete;
    log_queue& operator=(const log_queue&) = delete;

    // Lines dropped here and not yet told: the caller makes a note of them, in the format of the
    // line it comes before, and passes both to write().
    std::uint64_t unreported() const;
    // Queues `line` for `out` (null: `line` is an entry for the journal, see journal_entry), after
    // `note`, which tells of `noted` lines lost, when it is not empty.
    void write(const std::shared_ptr<log_output>& out, std::string_view line, std::string_view note = {},
               std::uint64_t noted = 0, bool urgent = false);
    // Waits until what was queued before the call is written, at most `limit`; false when it was
    // not. A writer that has not moved since a flush gave up on it is not waited for again.
    bool flush(std::chrono::milliseconds limit = flush_limit);

    // The queue that every line for standard error goes through, for the life of the process,
    // flushed at its exit (within flush_limit).
    static log_queue& standard_error();
    // Lines queued by the calling thread are handed to the writers at each turn of its event loop.
    static void hand_over_per_loop_turn();
    // Lines dropped by every queue since the process started.
    static std::uint64_t dropped_total();

    struct state;

private:
    void hand_over();
    static void hand_over_all();

    std::shared_ptr<state> _state;  // shared with the writer thread, which may outlive the queue
};

// The note that tells of lost lines: "Log lines lost: 1,234, the log's reader did not keep up".
QString lost_lines_note(std::uint64_t lost);
