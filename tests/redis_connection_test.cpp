#include "redis_connection.h"
#include "redis_transaction.h"
#include "redis_server.h"

#include <QElapsedTimer>
#include <QTcpServer>

#include <gtest/gtest.h>

namespace {

redis::connection_config config_for(quint32 port, const QString& name = QString())
{
    return {QStringLiteral("127.0.0.1"), QString(), port, name};
}

class RedisConnectionTest : public ::testing::Test {
protected:
    test_redis& server = test_redis::shared();
    redis_probe probe{server.port(), 0};

    void SetUp() override
    {
        redis::connection::clear_pool();
        probe.flush();
    }
};

TEST_F(RedisConnectionTest, PipelineKeepsRepliesAndCollectsErrors)
{
    redis::connection c(config_for(server.port()));
    ASSERT_TRUE(c.connect(2000)) << c.last_error().toStdString();
    c.send({"SET", "k", "v"});
    const auto get = c.send({"GET", "k"}, true);
    const auto bad = c.send({"INCR", "k"});
    c.wait_idle(2000);
    EXPECT_EQ(c.take_reply(get).text, "v");
    const auto errors = c.take_errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].first, bad);
    EXPECT_TRUE(errors[0].second.startsWith("ERR"));
    EXPECT_TRUE(c.take_errors().empty());
}

TEST_F(RedisConnectionTest, LargePipelineIsStreamedInOneWait)
{
    redis::connection c(config_for(server.port()));
    const int count = 200000;
    for (int i = 0; i < count; ++i)
        c.send({"SADD", "big", QByteArray::number(i)});
    c.wait_idle(20000);
    EXPECT_EQ(probe.run({"SCARD", "big"}), QByteArray::number(count));
    EXPECT_LE(c.stats().round_trips, 1u);
}

TEST_F(RedisConnectionTest, SmallTransactionIsOneRoundTrip)
{
    redis::connection c(config_for(server.port()));
    ASSERT_TRUE(c.connect(2000));
    c.send({"SELECT", "2"});
    redis::transaction tx(c);
    tx.queue({"SADD", "s", "a"});
    tx.queue({"SADD", "s", "b"});
    EXPECT_TRUE(tx.commit(2000).empty());
    EXPECT_EQ(c.stats().round_trips, 1u);
    EXPECT_EQ(redis_probe(server.port(), 2).members("s"), (QStringList{"a", "b"}));
}

TEST_F(RedisConnectionTest, TransactionReportsFailuresInsideAndRefusesDiscardedOnes)
{
    probe.run({"SET", "str", "x"});
    redis::connection c(config_for(server.port()));
    {
        redis::transaction tx(c);
        tx.queue({"SET", "a", "1"});
        tx.queue({"SADD", "str", "m"});  // WRONGTYPE at execution
        const auto failed = tx.commit(2000);
        ASSERT_EQ(failed.size(), 1u);
        EXPECT_EQ(failed[0].index, 1u);
        EXPECT_TRUE(failed[0].error.startsWith("WRONGTYPE"));
    }
    EXPECT_EQ(probe.run({"GET", "a"}), "1");
    {
        redis::transaction tx(c);
        tx.queue({"SET", "b", "1"});
        tx.queue({"SADD", "only-a-key"});  // refused while queueing: Redis discards everything
        EXPECT_THROW(tx.commit(2000), redis::store_error);
    }
    EXPECT_FALSE(probe.exists("b"));
    {
        c.send({"SELECT", "notanumber"});
        redis::transaction tx(c);
        tx.queue({"SET", "c", "1"});
        EXPECT_THROW(tx.commit(2000), redis::store_error);
    }
}

TEST_F(RedisConnectionTest, NameIsSetAndSocketsAreReused)
{
    {
        redis::connection c(config_for(server.port(), "corvel-test"));
        ASSERT_TRUE(c.connect(2000));
        EXPECT_EQ(c.stats().dials, 1u);
        EXPECT_TRUE(probe.run({"CLIENT", "LIST"}).contains("name=corvel-test"));
        c.send({"SELECT", "3"});
        c.wait_idle(2000);
    }
    redis::connection again(config_for(server.port(), "corvel-test"));
    ASSERT_TRUE(again.connect(2000));
    EXPECT_EQ(again.stats().dials, 0u);
    EXPECT_EQ(again.stats().pooled_reuses, 1u);
    // The reused socket starts in database 0, like a fresh one.
    again.send({"SET", "where", "here"});
    again.wait_idle(2000);
    EXPECT_EQ(probe.run({"GET", "where"}), "here");

    redis::connection other_name(config_for(server.port(), "someone-else"));
    ASSERT_TRUE(other_name.connect(2000));
    EXPECT_EQ(other_name.stats().dials, 1u);
}

TEST_F(RedisConnectionTest, SocketInsideATransactionIsNotPooled)
{
    {
        redis::connection c(config_for(server.port()));
        c.send({"MULTI"});
        c.send({"SET", "never", "1"});
        c.wait_idle(2000);
    }
    redis::connection next(config_for(server.port()));
    ASSERT_TRUE(next.connect(2000));
    EXPECT_EQ(next.stats().dials, 1u);
    next.send({"SET", "x", "1"});
    next.wait_idle(2000);
    EXPECT_FALSE(probe.exists("never"));
}

TEST_F(RedisConnectionTest, PooledSocketClosedByTheServerIsNotHandedOut)
{
    {
        redis::connection c(config_for(server.port(), "to-be-killed"));
        ASSERT_TRUE(c.connect(2000));
    }
    probe.run({"CLIENT", "KILL", "TYPE", "normal", "SKIPME", "yes"});
    redis::connection next(config_for(server.port(), "to-be-killed"));
    ASSERT_TRUE(next.connect(2000));
    EXPECT_EQ(next.stats().dials, 1u);
    EXPECT_EQ(next.stats().pooled_reuses, 0u);
}

TEST_F(RedisConnectionTest, SlowServerHitsTheTimeLimit)
{
    redis::connection c(config_for(server.port()));
    c.send({"BLPOP", "nothing-here", "0.5"});
    QElapsedTimer t;
    t.start();
    EXPECT_THROW(c.wait_idle(100), redis::store_error);
    EXPECT_LT(t.elapsed(), 450);
    EXPECT_FALSE(c.is_connected());
    EXPECT_THROW(c.send({"PING"}), redis::store_error);  // a broken connection stays broken
}

TEST_F(RedisConnectionTest, RefusedConnectionIsAStoreFailure)
{
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost, 0);
    const quint32 port = closed.serverPort();
    closed.close();
    redis::connection c(config_for(port));
    EXPECT_FALSE(c.connect(500));
    EXPECT_FALSE(c.last_error().isEmpty());
    EXPECT_THROW(c.send({"PING"}), redis::store_error);
    redis::connection lazy(config_for(port));
    EXPECT_THROW(lazy.send({"PING"}), redis::store_error);
}

TEST_F(RedisConnectionTest, WrongPasswordFailsTheConnect)
{
    redis::connection c({QStringLiteral("127.0.0.1"), QStringLiteral("wrong"), server.port(), QString()});
    EXPECT_FALSE(c.connect(2000));
    EXPECT_TRUE(c.last_error().contains("AUTH")) << c.last_error().toStdString();
}

TEST_F(RedisConnectionTest, KeysListsEveryMatchOnceAcrossPages)
{
    redis_probe db2(server.port(), 2);
    for (int i = 0; i < 5000; ++i)
        db2.run({"SET", "tmp:" + QByteArray::number(i), "1"});
    db2.run({"SET", "other", "1"});
    probe.run({"SET", "tmp:in-db-0", "1"});

    redis::connection c(config_for(server.port()));
    const QList<QByteArray> names = c.keys(2, "tmp*", 10000);
    EXPECT_EQ(names.size(), 5000);
    EXPECT_EQ(QSet<QByteArray>(names.begin(), names.end()).size(), 5000);
    EXPECT_FALSE(names.contains("other"));
    EXPECT_EQ(c.keys(2, "tmp*", 10000, 1).size(), 1);
    EXPECT_TRUE(c.keys(2, "none*", 10000).isEmpty());
}

TEST_F(RedisConnectionTest, ServerRestartBreaksTheConnectionAndANewOneWorks)
{
    test_redis own;
    redis::connection c(config_for(own.port()));
    ASSERT_TRUE(c.connect(2000));
    own.stop();
    c.send({"PING"});
    EXPECT_THROW(c.wait_idle(2000), redis::store_error);
    own.start();
    redis::connection fresh(config_for(own.port()));
    fresh.send({"PING"});
    EXPECT_NO_THROW(fresh.wait_idle(2000));
}

}  // namespace
