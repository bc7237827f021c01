#include "log_summaries.h"

#include <QLocale>

log_summaries::admission log_summaries::admit(const QString& kind, clock::time_point now)
{
    auto it = _kinds.find(kind);
    if (it == _kinds.end()) {
        it = _kinds.insert(kind, kind_state{now});
    } else if (now - it->started >= _interval) {
        // Its summary was taken by now: the owner takes the due ones before each line.
        *it = kind_state{now};
    }
    if (it->written < lines_whole) {
        ++it->written;
        return admission::write;
    }
    if (++it->left_out > 1)
        return admission::counted;
    const clock::time_point due = it->started + _interval;
    if (!_next_due || due < *_next_due)
        _next_due = due;
    return admission::counted_first;
}

QStringList log_summaries::take(clock::time_point now, which what)
{
    QStringList lines;
    if (what == which::due && (!_next_due || now < *_next_due))
        return lines;
    for (auto it = _kinds.begin(); it != _kinds.end(); ++it) {
        if (it->left_out == 0 || (what == which::due && now - it->started < _interval))
            continue;
        lines << summary(it.key(), it->left_out);
        it->left_out = 0;  // an interval over: the kind's next line begins a new one
    }
    find_next_due();
    return lines;
}

void log_summaries::find_next_due()
{
    _next_due.reset();
    for (const kind_state& k : _kinds) {
        const clock::time_point due = k.started + _interval;
        if (k.left_out > 0 && (!_next_due || due < *_next_due))
            _next_due = due;
    }
}

QString log_summaries::summary(const QString& kind, std::uint64_t left_out) const
{
    const long long ms = _interval.count();
    const QString span = ms % 1000 == 0 ? QStringLiteral("%1 s").arg(ms / 1000) : QStringLiteral("%1 ms").arg(ms);
    return QStringLiteral("%1: ... and %2 more like it in the last %3")
        .arg(kind, QLocale(QLocale::English).toString(static_cast<qulonglong>(left_out)), span);
}
