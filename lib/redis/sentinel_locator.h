#pragma once

#include "redis_address_source.h"
#include "redis_client.h"

#include <QList>
#include <QPair>
#include <QTimer>

#include <memory>
#include <vector>

namespace redis {

struct sentinel_config {
    sentinel_config(QList<QPair<QString, quint32>> sentinels = {}, QByteArray master = {}, QString password = {}, tls_settings tls = {})
        : sentinels(std::move(sentinels)), master(std::move(master)), password(std::move(password)), tls(std::move(tls))
    {
    }
    QList<QPair<QString, quint32>> sentinels;  // host and port of each
    QByteArray master;                         // the name the sentinels know the master by
    QString password;                          // AUTH to the sentinels when not empty
    tls_settings tls;                          // to every sentinel
};

// Finds the master that a group of sentinels names, and follows its fail-overs.
//
// locate() asks the sentinels in turn, beginning with the one that answered last, until one
// names the master (SENTINEL get-master-addr-by-name); every caller waiting meanwhile gets that
// answer.
//
// Every sentinel is listened to for its events about our master, since only the one leading a
// fail-over tells its steps. From the moment one begins (+try-failover, +selected-slave) the
// master may still take writes that the promoted replica will never have: moving() tells
// clients to let go, and locate() answers only once the new master is known (+promoted-slave,
// +switch-master), the fail-over is given up (-failover-abort-*) or fence_limit_ms has passed.
//
// Nothing a sentinel does holds us for long: a question not answered whole within
// question_limit_ms (connecting included, however the bytes trickle) goes to the next sentinel;
// a listening link is sent PING every probe_interval_ms and made again when the answer is not
// whole within probe_limit_ms; a reply costing more than reply_limit_bytes is a protocol fault.
class sentinel_locator : public address_source {
    Q_OBJECT
public:
    explicit sentinel_locator(sentinel_config config, QObject* parent = nullptr);
    ~sentinel_locator() override;

    void locate(found done) override;
    int locate_limit_ms() const override;

    static constexpr int resubscribe_ms = 1000;
    static constexpr int fence_limit_ms = 30000;
    static constexpr int question_limit_ms = 2000;
    static constexpr int probe_interval_ms = 1000;
    static constexpr int probe_limit_ms = 2000;
    // A sentinel's answers and events are a few hundred bytes.
    static constexpr std::size_t reply_limit_bytes = 4096;

    struct probe;

private:
    enum class fence { open, failing_over };

    void ask(std::size_t index, std::size_t tried, const QString& errors);
    void probe_listeners();
    void answer(const QString& host, quint32 port, const QString& error);
    void listen(std::size_t index);
    void event(const QByteArray& channel, const QByteArray& text);
    void lift(const QString& host, quint32 port);
    connection_config sentinel_at(std::size_t index) const;

    sentinel_config _config;
    std::vector<std::unique_ptr<client>> _sentinels;  // one connection each, for the questions
    std::vector<std::unique_ptr<client>> _listeners;  // one each, subscribed to its events
    std::vector<std::shared_ptr<probe>> _probes;       // of each listener's link
    QTimer _probe_interval;
    QTimer _question_limit;  // of the question out
    std::size_t _asked = 0;  // the sentinel it is out to
    std::size_t _preferred = 0;  // the sentinel that answered last
    std::vector<found> _waiting;
    bool _asking = false;
    fence _fence = fence::open;
    QTimer _fence_limit;
};

}  // namespace redis
