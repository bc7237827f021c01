#pragma once

#include "redis_address_source.h"
#include "redis_client.h"
#include "sentinel_vote.h"

#include <QList>
#include <QPair>
#include <QTimer>

#include <memory>
#include <vector>

namespace redis {

struct sentinel_config {
    sentinel_config(QList<QPair<QString, quint32>> sentinels = {}, QByteArray master = {}, QString password = {},
                    tls_settings tls = {})
        : sentinels(std::move(sentinels)),
          master(std::move(master)),
          password(std::move(password)),
          tls(std::move(tls))
    {
    }
    QList<QPair<QString, quint32>> sentinels;  // host and port of each
    QByteArray master;                         // the name the sentinels know the master by
    QString password;                          // AUTH to every sentinel when not empty
    QString user;                              // with password: an ACL user of the sentinels
    tls_settings tls;                          // to every sentinel
};

// Finds the master that a majority of a group of sentinels names, and follows its fail-overs.
//
// locate() asks every sentinel at once (SENTINEL get-master-addr-by-name) and answers, to every
// caller waiting meanwhile, the address that more than half of the configured sentinels name; a
// sentinel that does not answer agrees with no one. When no address can have that many, the
// callers are told why. A sentinel that named another address than the majority is a dissenter
// until it agrees again: its events are ignored.
//
// Every sentinel is listened to for its events about our master, since only the one leading a
// fail-over tells its steps. From the moment one begins (+try-failover, +selected-slave) the
// master may still take writes that the promoted replica will never have: moving() tells
// clients to let go, and locate() answers only once the majority names an address a sentinel
// announced (+promoted-slave, +switch-master; asked again every confirm_interval_ms), that
// sentinel gives the fail-over up (-failover-abort-*) or fence_limit_ms has passed. A
// sentinel whose fence ran out raises none for fence_limit_ms more. An announcement that comes
// without a fence raises one in the same way: nothing moves before the others are asked.
//
// Nothing a sentinel does holds us for long: a question not answered whole within
// question_limit_ms (connecting included, however the bytes trickle) counts as no answer;
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
    static constexpr int confirm_interval_ms = 500;
    static constexpr int probe_interval_ms = 1000;
    static constexpr int probe_limit_ms = 2000;
    // A sentinel's answers and events are a few hundred bytes.
    static constexpr std::size_t reply_limit_bytes = 4096;

signals:
    // What a sentinel said is not what the majority says, and is ignored. Both texts are fit for
    // a log line: a configured address, and a text whose pieces from the peer are checked or escaped.
    void disagreement(const QString& sentinel, const QString& what);

private:
    enum class fence { open, failing_over };
    enum class standing { unknown, agrees, dissents };
    struct member;
    struct round;

    connection_config sentinel_at(std::size_t index) const;
    void start_round();
    void ask(std::size_t index, const std::shared_ptr<round>& r);
    void counted(round& r, std::size_t index);
    void judge(const round& r, std::size_t index);
    void decide(const round& r);
    void settle(const master_address& where);
    void listen(std::size_t index);
    void probe_listeners();
    void event(std::size_t index, const QByteArray& channel, const QByteArray& text);
    bool claimed(const master_address& where) const;
    void raise(std::size_t index);
    void lift();
    void fence_ran_out();

    sentinel_config _config;
    QStringList _names;  // "host:port" of each sentinel, as configured
    std::vector<std::unique_ptr<member>> _members;
    std::shared_ptr<round> _round;  // the latest
    master_address _master;         // the address last agreed on
    std::vector<found> _waiting;
    fence _fence = fence::open;
    std::size_t _fencer = 0;  // the sentinel whose fail-over holds us
    QTimer _fence_limit;
    QTimer _confirm;
    QTimer _probe_interval;
};

}  // namespace redis
