#include "log_queue.h"

#include "log_sinks.h"

#include <QAbstractEventDispatcher>
#include <QLocale>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

// Past this much queued, the writer is woken whatever the loop does.
constexpr std::size_t wake_bytes = 64 * 1024;
// Woken by a turn of the loop, the writer gathers what the next turns bring for this long before it
// writes: a busy loop turns thousands of times a second, and a wake-up and a write each time would
// cost more CPU than the lines themselves.
constexpr std::chrono::milliseconds gather_time{10};

std::atomic<std::uint64_t> dropped{0};
// Some queue has lines that wait for the end of the loop's turn.
std::atomic<bool> lines_waiting{false};
thread_local bool turns_hand_over = false;

// Lines one after another, and where each run of them goes. Cleared, it keeps its memory: the
// queue and its writer swap two of them, so queuing a line allocates nothing once both have grown.
struct batch {
    struct run {
        std::shared_ptr<log_output> out;  // null: one journal entry
        std::size_t begin;
        std::size_t size;
    };
    std::string bytes;
    std::vector<run> runs;
    std::uint64_t lines = 0;

    void add(const std::shared_ptr<log_output>& out, std::string_view line)
    {
        if (out && !runs.empty() && runs.back().out == out)
            runs.back().size += line.size();  // one write for the lines of a run
        else
            runs.push_back({out, bytes.size(), line.size()});
        bytes.append(line);
        ++lines;
    }
    void clear()
    {
        bytes.clear();
        runs.clear();
        lines = 0;
    }
};

struct registry {
    std::mutex mutex;
    std::vector<log_queue*> queues;
};
registry& queues()
{
    static auto* r = new registry;  // never destroyed: queues may go at exit, after static destructors
    return *r;
}

}  // namespace

struct log_queue::state {
    std::mutex mutex;
    std::condition_variable wake;     // for the writer
    std::condition_variable written;  // for those who flush
    batch pending;
    bool signalled = false;  // the writer is to take the pending lines
    bool hurry = false;      // and at once, without gathering more
    bool waiting = false;    // lines wait for the end of the loop's turn
    bool stopping = false;
    bool finished = false;
    std::uint64_t queued = 0;  // lines ever queued; those ever written below
    std::uint64_t done = 0;
    std::optional<std::uint64_t> stalled_at;  // `done` when a flush last ran out of time
    std::atomic<std::uint64_t> unreported{0};
    bool journal_failed = false;  // said once on standard error

    void signal(bool now)
    {
        waiting = false;
        if (signalled && (hurry || !now))
            return;
        signalled = true;
        hurry = hurry || now;
        wake.notify_one();
    }
    void write_out(const batch& b);
    void run();
};

void log_queue::state::write_out(const batch& b)
{
    for (const batch::run& r : b.runs) {
        if (r.out) {
            r.out->write_all(b.bytes.data() + r.begin, r.size);
            continue;
        }
        const int failure = send_journal_entry(b.bytes.data() + r.begin, r.size);
        if (failure < 0 && !journal_failed) {
            journal_failed = true;  // no journal on this host: said once, the lines are lost
            const std::string note = std::string("cannot write to the journal: ") + std::strerror(-failure) + '\n';
            log_queue::standard_error().write(log_output::standard_error(), note, {}, 0, true);
        } else if (failure == 0) {
            journal_failed = false;
        }
    }
}

void log_queue::state::run()
{
    batch writing;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return signalled || stopping; });
        if (!hurry && !stopping)
            wake.wait_for(lock, gather_time, [this] { return hurry || stopping; });
        hurry = false;
        if (pending.lines == 0) {
            signalled = false;
            if (stopping)
                break;
            continue;
        }
        std::swap(writing, pending);
        // Lines queued meanwhile are taken as soon as these are written.
        signalled = false;
        waiting = false;
        lock.unlock();
        write_out(writing);
        const std::uint64_t lines = writing.lines;
        writing.clear();  // and with it the last hold on a file since reopened
        lock.lock();
        done += lines;
        written.notify_all();
        if (pending.lines > 0)
            signalled = true;
    }
    finished = true;
    written.notify_all();
}

log_queue::log_queue() : _state(std::make_shared<state>())
{
    std::thread([s = _state] { s->run(); }).detach();
    registry& r = queues();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.queues.push_back(this);
}

log_queue::~log_queue()
{
    {
        registry& r = queues();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.queues.erase(std::remove(r.queues.begin(), r.queues.end(), this), r.queues.end());
    }
    std::unique_lock<std::mutex> lock(_state->mutex);
    _state->stopping = true;
    _state->wake.notify_one();
    // The thread is detached: blocked on a stalled reader, it ends once the reader takes the
    // lines, holding what it writes until then.
    if (_state->stalled_at != _state->done)
        _state->written.wait_for(lock, flush_limit, [this] { return _state->finished; });
}

std::uint64_t log_queue::unreported() const
{
    return _state->unreported.load(std::memory_order_relaxed);
}

void log_queue::write(const std::shared_ptr<log_output>& out, std::string_view line, std::string_view note,
                      std::uint64_t noted, bool urgent)
{
    state& s = *_state;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.pending.bytes.size() + note.size() + line.size() > bound_bytes) {
        s.unreported.fetch_add(1, std::memory_order_relaxed);
        dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const bool was_empty = s.pending.lines == 0;
    if (!note.empty()) {
        s.pending.add(out, note);
        s.unreported.fetch_sub(noted, std::memory_order_relaxed);
        ++s.queued;
    }
    s.pending.add(out, line);
    ++s.queued;
    if (urgent || s.pending.bytes.size() >= wake_bytes || !turns_hand_over) {
        s.signal(true);
    } else if (was_empty) {
        s.waiting = true;
        lines_waiting.store(true, std::memory_order_release);
    }
}

bool log_queue::flush(std::chrono::milliseconds limit)
{
    state& s = *_state;
    std::unique_lock<std::mutex> lock(s.mutex);
    const std::uint64_t target = s.queued;
    if (s.done >= target)
        return true;
    // A writer that has not moved since a flush gave up on it is not waited for again: a stop
    // waits for each queue once.
    if (s.stalled_at == s.done)
        return false;
    s.signal(true);
    if (s.written.wait_for(lock, limit, [&s, target] { return s.done >= target; }))
        return true;
    s.stalled_at = s.done;
    return false;
}

void log_queue::hand_over()
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    if (_state->waiting)
        _state->signal(false);
}

void log_queue::hand_over_all()
{
    if (!lines_waiting.exchange(false, std::memory_order_acquire))
        return;
    registry& r = queues();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (log_queue* q : r.queues)
        q->hand_over();
}

void log_queue::hand_over_per_loop_turn()
{
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(QThread::currentThread());
    if (!dispatcher || turns_hand_over)
        return;
    turns_hand_over = true;
    // Before the loop sleeps, and as it wakes (a loop that never sleeps still turns).
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [] { hand_over_all(); });
    QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, [] { hand_over_all(); });
    QObject::connect(dispatcher, &QObject::destroyed, [] {
        turns_hand_over = false;
        hand_over_all();
    });
}

log_queue& log_queue::standard_error()
{
    static log_queue* const queue = [] {
        auto* q = new log_queue;  // never destroyed: lines may come until the process ends
        std::atexit([] { standard_error().flush(); });
        return q;
    }();
    return *queue;
}

std::uint64_t log_queue::dropped_total()
{
    return dropped.load(std::memory_order_relaxed);
}

QString lost_lines_note(std::uint64_t lost)
{
    return QStringLiteral("Log lines lost: %1, the log's reader did not keep up")
        .arg(QLocale(QLocale::English).toString(static_cast<qulonglong>(lost)));
}
