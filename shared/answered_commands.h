#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QPair>
#include <QString>
#include <QUuid>

#include <cstddef>
#include <deque>

// Commands answered whose acknowledgement went with their channel: the broker delivers each again
// (marked redelivered), and that delivery is acknowledged without running the command twice.
// Known by cmd_id and msg_type together; each is kept for keep_ms, and when capacity is reached
// the oldest gives way, never the newest. A command without a cmd_id is never kept.
class answered_commands {
public:
    static constexpr qint64 keep_ms = 30 * 60 * 1000;
    static constexpr std::size_t default_capacity = 100000;

    explicit answered_commands(std::size_t capacity = default_capacity) : _capacity(capacity) { _clock.start(); }

    void remember(const QUuid& id, const QString& type)
    {
        if (id.isNull())
            return;
        forget_old();
        const qint64 now = _clock.elapsed();
        _when.insert({id, type}, now);
        _order.push_back({{id, type}, now});
        while (_order.size() > _capacity)  // taken ones count too: memory stays bounded
            drop_front();
    }
    // True, and forgotten, when it was remembered.
    bool take(const QUuid& id, const QString& type)
    {
        forget_old();
        return !id.isNull() && _when.remove({id, type}) > 0;
    }
    std::size_t size() const { return static_cast<std::size_t>(_when.size()); }

private:
    using key = QPair<QUuid, QString>;
    void forget_old()
    {
        while (!_order.empty() && _clock.elapsed() - _order.front().second >= keep_ms)
            drop_front();
    }
    void drop_front()
    {
        const auto& [k, stamp] = _order.front();
        const auto it = _when.constFind(k);
        if (it != _when.constEnd() && it.value() == stamp)  // not remembered again since
            _when.erase(it);
        _order.pop_front();
    }

    std::size_t _capacity;
    QElapsedTimer _clock;
    QHash<key, qint64> _when;
    std::deque<QPair<key, qint64>> _order;  // oldest first; entries taken or renewed stay until they expire
};
