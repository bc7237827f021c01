#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <optional>

// Counts the lines of each kind of a repeating ERROR line. Within an interval that begins with a
// kind's first line, the first lines_whole of that kind are written whole; the others are only
// counted, and once the interval is over one line says how many were left out. Not thread-safe:
// its owner locks.
class log_summaries {
public:
    using clock = std::chrono::steady_clock;
    static constexpr int lines_whole = 5;

    explicit log_summaries(std::chrono::milliseconds interval) : _interval(interval) {}
    void set_interval(std::chrono::milliseconds interval) { _interval = interval; }

    enum class admission {
        write,          // to be written whole
        counted,        // left out, counted
        counted_first,  // left out, the first of its interval: a summary is now due at next_due()
    };
    admission admit(const QString& kind, clock::time_point now);

    // The summary lines of the intervals over by now (of every interval with lines left out,
    // when everything is to go), each given once.
    enum class which { due, all };
    QStringList take(clock::time_point now, which what);
    std::optional<clock::time_point> next_due() const { return _next_due; }

private:
    struct kind_state {
        clock::time_point started;
        int written = 0;
        std::uint64_t left_out = 0;
    };
    QString summary(const QString& kind, std::uint64_t left_out) const;
    void find_next_due();

    std::chrono::milliseconds _interval;
    QHash<QString, kind_state> _kinds;
    std::optional<clock::time_point> _next_due;  // the earliest end of an interval with lines left out
};
