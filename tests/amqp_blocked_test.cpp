// Publishing under the broker's memory alarm: held back without stalling the event loop.
#include "amqp_peer.h"
#include "rabbit_server.h"

#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

TEST(AmqpBlockedTest, PublicationsWaitWhileTheBrokerBlocksAndGoOutOnceItUnblocks)
{
    test_rabbit& broker = test_rabbit::shared();
    const QString exchange = unique_name("blocked");
    amqp_peer consumer(broker.uri());
    consumer.declare_exchange(exchange);
    consumer.listen(exchange, "#");

    amqp::client publisher;
    QList<bool> blocked;
    QObject::connect(&publisher, &amqp::client::blockedChanged, [&](bool on) { blocked << on; });
    int losses = 0;
    QObject::connect(&publisher, &amqp::client::disconnected, [&] { ++losses; });
    publisher.connectToHost(broker.uri());
    ASSERT_TRUE(wait_until([&] { return publisher.isConnected(); }, 10000));

    // The loop must keep turning throughout: a stalled write would show as a long gap.
    QElapsedTimer since_tick;
    qint64 worst_gap = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { worst_gap = std::max(worst_gap, since_tick.restart()); });
    since_tick.start();
    ticker.start(10);

    broker.ctl({"set_vm_memory_high_watermark", "absolute", "1MB"});
    since_tick.restart();  // rabbitmqctl ran outside the loop
    const QByteArray body(64 * 1024, 'x');
    amqp::exchange* out = publisher.createExchange(exchange);
    int published = 0;
    // Publish until the broker says it blocks us, then a good deal more.
    ASSERT_TRUE(wait_until(
        [&] {
            if (published < 400 && out->publish(body, "k"))
                ++published;
            return blocked.value(0, false) && published == 400;
        },
        20000))
        << "published " << published << ", blocked " << blocked.size();
    EXPECT_TRUE(publisher.isBlocked());
    wait_until([] { return false; }, 500);
    EXPECT_LT(consumer.received().size(), 400);
    EXPECT_LT(worst_gap, 250) << "the event loop stalled while blocked";

    broker.ctl({"set_vm_memory_high_watermark", "0.4"});
    since_tick.restart();
    worst_gap = 0;
    EXPECT_TRUE(wait_until([&] { return consumer.received().size() == 400; }, 30000)) << consumer.received().size();
    EXPECT_EQ(blocked, (QList<bool>{true, false}));
    EXPECT_FALSE(publisher.isBlocked());
    EXPECT_EQ(losses, 0);
    EXPECT_LT(worst_gap, 250) << "the event loop stalled while the held messages went out";
    for (const amqp::message& m : consumer.received())
        ASSERT_EQ(m.payload, body);
}

}  // namespace
