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
    QList<QPair<QString, quint32>> sentinels;  // host and port of each
    QByteArray master;                         // the name the sentinels know the master by
    QString password;                          // AUTH to the sentinels when not empty
};

// Finds the master that a group of sentinels names, and says when they switch to another.
//
// locate() asks the sentinels in turn, beginning with the one that answered last, until one
// names the master (SENTINEL get-master-addr-by-name); every caller waiting meanwhile gets that
// answer. One sentinel at a time is listened to for +switch-master; moved() follows at once when
// it names our master. A lost subscription goes on with the next sentinel after a second.
class sentinel_locator : public address_source {
    Q_OBJECT
public:
    explicit sentinel_locator(sentinel_config config, QObject* parent = nullptr);
    ~sentinel_locator() override;

    void locate(found done) override;

    static constexpr int resubscribe_ms = 1000;

private:
    void ask(std::size_t index, std::size_t tried, const QString& errors);
    void answer(const QString& host, quint32 port, const QString& error);
    void subscribe();
    void switched(const QByteArray& message);
    connection_config sentinel_at(std::size_t index) const;

    sentinel_config _config;
    std::vector<std::unique_ptr<client>> _sentinels;  // one connection each, for the questions
    std::unique_ptr<client> _listener;                // subscribed to +switch-master
    std::size_t _listening_to = 0;
    std::size_t _preferred = 0;  // the sentinel that answered last
    std::vector<found> _waiting;
    QTimer _resubscribe;
};

}  // namespace redis
