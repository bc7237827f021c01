#include "amqp_peer.h"
#include "commands/clients_devices_command.h"
#include "commands/device_parameters_command.h"
#include "promotion/staging_promotion.h"
#include "redis_server.h"
#include "store/replica_wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

namespace {

model::command command_of(const QByteArray& data)
{
    model::command cmd;
    cmd._data = QJsonDocument::fromJson(data);
    return cmd;
}

QList<QByteArray> joined(const QList<QList<QByteArray>>& cmds)
{
    QList<QByteArray> out;
    for (const auto& c : cmds)
        out.append(join_command(c));
    return out;
}

class CommandHandlersTest : public ::testing::Test {
protected:
    test_redis& server = test_redis::shared();
    redis_probe probe{server.port()};
    QTemporaryDir dir;
    logger log{dir.filePath("handlers.log"), QString()};
    QTimer timer;
    redis::client store{{QStringLiteral("127.0.0.1"), QString(), server.port(), QString()}};
    replica_wait no_wait{store, 0, 1000};
    staging_promotion no_sequence{store, no_wait, log, timer, QString()};
    const handler_context context{store, no_wait, log, no_sequence};

    void SetUp() override { probe.flush(); }

    // Runs one command to its outcome.
    static command_result run(ICommandHandler& handler, const QByteArray& data)
    {
        std::optional<command_result> out;
        handler.exec(command_of(data), [&](command_result r) { out = std::move(r); });
        EXPECT_TRUE(wait_until([&] { return out.has_value(); }, 20000));
        return out.value_or(command_result::retry("no outcome"));
    }

    QJsonObject clients_devices(const QByteArray& data)
    {
        ClientsDevicesCommand handler(context);
        return run(handler, data).data;
    }

    // What the server received for one command, from SELECT to EXEC.
    template <class Handler>
    QList<QByteArray> received(Handler& handler, const QByteArray& data, QJsonObject* result = nullptr)
    {
        redis_monitor monitor(server.port());
        const QJsonObject r = run(handler, data).data;
        if (result)
            *result = r;
        return joined(monitor.until("EXEC"));
    }

    QByteArray log_text()
    {
        log.flush();  // the lines logged so far, written by the log's thread
        QFile f(dir.filePath("handlers.log"));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }
};

TEST_F(CommandHandlersTest, ClientsDevicesSendsTheDocumentedTransaction)
{
    ClientsDevicesCommand handler(context);
    QJsonObject result{{"x", 1}};
    const QList<QByteArray> seen =
        received(handler, R"([{"api_key":"K","modem_ids":[101,102],"station_ids":[7],"role":"R"}])", &result);
    EXPECT_EQ(seen, (QList<QByteArray>{"SELECT 2", "MULTI", "SADD tmp:dev:clients:101 K", "SADD tmp:dev:clients:102 K",
                                       "SADD tmp:bs:clients:7 K", "SADD tmp:client:bs:K 7",
                                       "SADD tmp:client:devices:K 101 102", "RENAME tmp:client:bs:K client:bs:K",
                                       "RENAME tmp:client:devices:K client:devices:K",
                                       "HSET client:properties:K role R", "EXEC"}));
    EXPECT_TRUE(result.isEmpty());
    EXPECT_EQ(probe.members("client:devices:K"), (QStringList{"101", "102"}));
    EXPECT_EQ(probe.members("client:bs:K"), (QStringList{"7"}));
    EXPECT_EQ(probe.hget("client:properties:K", "role"), "R");
    EXPECT_EQ(probe.members("tmp:dev:clients:101"), (QStringList{"K"}));
    EXPECT_EQ(probe.members("tmp:bs:clients:7"), (QStringList{"K"}));
    EXPECT_EQ(probe.keys("tmp:client:*"), QStringList());
    EXPECT_TRUE(timer.isActive());
}

TEST_F(CommandHandlersTest, WithASequenceKeyEveryCommandMarksItAndAQuietSequenceIsPromotedBeforeANewOne)
{
    // A Redis that may evict the mark is named at ERROR at start-up.
    probe.run({"CONFIG", "SET", "maxmemory-policy", "volatile-lru"});
    probe.run({"CONFIG", "SET", "maxmemory", "1gb"});
    staging_promotion promotion(store, no_wait, log, timer, QStringLiteral("corvel:sequence"), {300, 60000, 200});
    const bool warned = wait_until([&] { return store.idle(); }, 5000) &&
                        log_text().contains("Redis evicts keys when full (maxmemory 1073741824, maxmemory-policy "
                                            "volatile-lru): the sequence mark corvel:sequence may go");
    probe.run({"CONFIG", "SET", "maxmemory", "0"});
    probe.run({"CONFIG", "SET", "maxmemory-policy", "noeviction"});
    EXPECT_TRUE(warned) << log_text().constData();
    const sequence_mark& sequence = promotion.sequence();
    // A sequence another instance wrote and left unpromoted.
    probe.run({"SADD", "tmp:dev:clients:1", "old"});
    probe.run({"SET", "corvel:sequence", "other/1", "PX", QByteArray::number(sequence_mark_ttl_ms - 1000)});
    ASSERT_TRUE(wait_until([&] { return sequence.observed_long_enough(); }, 5000));

    ClientsDevicesCommand handler({store, no_wait, log, promotion});
    EXPECT_EQ(run(handler, R"([{"api_key":"N","modem_ids":[2]}])").what, command_result::outcome::done);
    EXPECT_EQ(probe.members("dev:clients:1"), (QStringList{"old"}));
    EXPECT_EQ(probe.members("tmp:dev:clients:2"), (QStringList{"N"}));
    EXPECT_EQ(probe.run({"GET", "corvel:sequence"}), sequence.mark().value(2));
    EXPECT_GT(probe.run({"PTTL", "corvel:sequence"}).toLongLong(), sequence_mark_ttl_ms - 5000);
}

TEST_F(CommandHandlersTest, ACommandAfterAQuietSequenceWaitsUntilThisInstanceCanPromoteIt)
{
    probe.run({"SADD", "tmp:dev:clients:1", "old"});
    probe.run({"SET", "corvel:sequence", "other/1", "PX", QByteArray::number(sequence_mark_ttl_ms - 5000)});
    // Redis has not answered this instance for the quiet time yet (it has just started, or Redis
    // came back): it may not promote that sequence, and the command written now would join it.
    staging_promotion promotion(store, no_wait, log, timer, QStringLiteral("corvel:sequence"), {1000, 100, 200});
    ClientsDevicesCommand handler({store, no_wait, log, promotion});
    wait_until([&] { return false; }, 200);
    EXPECT_EQ(run(handler, R"([{"api_key":"N","modem_ids":[2]}])").what, command_result::outcome::retry);
    EXPECT_EQ(probe.keys("tmp:dev:clients:2"), QStringList());
    ASSERT_TRUE(wait_until([&] { return promotion.sequence().observed_long_enough(); }, 5000));
    EXPECT_EQ(run(handler, R"([{"api_key":"N","modem_ids":[2]}])").what, command_result::outcome::done);
    EXPECT_EQ(probe.members("dev:clients:1"), (QStringList{"old"}));
    EXPECT_EQ(probe.members("tmp:dev:clients:2"), (QStringList{"N"}));
}

TEST_F(CommandHandlersTest, EmptyOrNonArrayPayloadSendsAnEmptyTransaction)
{
    for (const QByteArray data : {"[]", "{\"api_key\":\"K\"}", "not json"}) {
        ClientsDevicesCommand handler(context);
        QJsonObject result{{"x", 1}};
        EXPECT_EQ(received(handler, data, &result), (QList<QByteArray>{"SELECT 2", "MULTI", "EXEC"}))
            << data.constData();
        EXPECT_TRUE(result.isEmpty());
        EXPECT_TRUE(timer.isActive());
        timer.stop();
    }
}

TEST_F(CommandHandlersTest, ClientSetsAreReplacedWholeAndClientsWithoutModemsKeepTheRestOfTheCommand)
{
    clients_devices(R"([{"api_key":"A","modem_ids":[1,2],"station_ids":[9],"role":"admin"}])");
    clients_devices(R"([{"api_key":"A","modem_ids":[],"station_ids":[]},
                        {"api_key":"B","modem_ids":[3,3],"station_ids":[9]}, 17])");
    EXPECT_FALSE(probe.exists("client:devices:A"));
    EXPECT_EQ(probe.members("client:bs:A"), (QStringList{"NULL"}));
    EXPECT_EQ(probe.hget("client:properties:A", "role"), "admin");  // untouched without "role"
    EXPECT_EQ(probe.members("client:devices:B"), (QStringList{"3"}));
    EXPECT_EQ(probe.members("tmp:dev:clients:3"), (QStringList{"B"}));
    EXPECT_EQ(probe.members("tmp:bs:clients:9"), (QStringList{"A", "B"}));  // staging sets grow over a sequence
    EXPECT_EQ(probe.members("client:bs:"), (QStringList{"NULL"}));          // the element 17
}

TEST_F(CommandHandlersTest, SameClientTwiceInOneCommandTakesTheLaterSets)
{
    clients_devices(R"([{"api_key":"K","modem_ids":[1],"station_ids":[5],"role":"first"},
                        {"api_key":"K","modem_ids":[2],"station_ids":[]}])");
    EXPECT_EQ(probe.members("client:devices:K"), (QStringList{"2"}));
    EXPECT_EQ(probe.members("client:bs:K"), (QStringList{"NULL"}));
    EXPECT_EQ(probe.hget("client:properties:K", "role"), "first");
}

TEST_F(CommandHandlersTest, FailedCommandInsideTheTransactionIsLoggedAndTheRestApplies)
{
    probe.run({"SET", "tmp:dev:clients:1", "not a set"});
    const QJsonObject result = clients_devices(R"([{"api_key":"K","modem_ids":[1,2]}])");
    EXPECT_TRUE(result.isEmpty());
    EXPECT_EQ(probe.members("client:devices:K"), (QStringList{"1", "2"}));
    const QByteArray text = log_text();
    EXPECT_TRUE(text.contains(" Error : clients_devices: Redis command 1 of 6 in the transaction failed: WRONGTYPE"))
        << text.constData();
}

TEST_F(CommandHandlersTest, HugeCommandIsWrittenWhole)
{
    QJsonArray clients;
    for (int i = 0; i < 10000; ++i)
        clients.append(QJsonObject{{"api_key", QString("c%1").arg(i)},
                                   {"modem_ids", QJsonArray{i * 10, i * 10 + 1}},
                                   {"station_ids", QJsonArray{i}}});
    clients_devices(QJsonDocument(clients).toJson());
    // Per client its two sets; per modem and per station a staging set.
    EXPECT_EQ(probe.run({"DBSIZE"}), "50000");
    EXPECT_EQ(probe.members("client:devices:c9999"), (QStringList{"99990", "99991"}));
}

TEST_F(CommandHandlersTest, StoreGoneMidwayIsAFailureNotASuccess)
{
    test_redis own;
    redis::client own_store({QStringLiteral("127.0.0.1"), QString(), own.port(), QString()});
    replica_wait own_wait(own_store, 0, 1000);
    const handler_context own_context{own_store, own_wait, log, no_sequence};
    ClientsDevicesCommand clients(own_context);
    DevicesParamsCommand params(own_context);
    EXPECT_EQ(run(params, "[]").what, command_result::outcome::done);
    own.stop();
    const command_result failed = run(clients, R"([{"api_key":"K","modem_ids":[1]}])");
    EXPECT_EQ(failed.what, command_result::outcome::retry);
    EXPECT_FALSE(failed.reason.isEmpty());
    EXPECT_FALSE(timer.isActive());
    EXPECT_EQ(run(params, R"([{"modem_id":1}])").what, command_result::outcome::retry);
}

TEST_F(CommandHandlersTest, WithReplicasToWaitForACommandIsDoneOnlyOnceOneHasItsWrite)
{
    test_redis master, replica;
    redis::client own_store({QStringLiteral("127.0.0.1"), QString(), master.port(), QString()});
    // Below WAIT's timeout: Redis is silent that long, not frozen. WAIT's own is wide enough for a
    // replica's acknowledgement on a loaded machine.
    own_store.set_silence_limit(500);
    replica_wait one_replica(own_store, 1, 1500);
    DevicesParamsCommand params({own_store, one_replica, log, no_sequence});
    const command_result alone = run(params, R"([{"modem_id":1,"hw_type":"a"}])");
    EXPECT_EQ(alone.what, command_result::outcome::retry);
    EXPECT_TRUE(alone.reason.contains("only 0 of 1 replicas")) << alone.reason.toStdString();
    EXPECT_EQ(own_store.stats().dials, 1u);

    redis_probe(replica.port()).run({"REPLICAOF", "127.0.0.1", QByteArray::number(master.port())});
    ASSERT_TRUE(wait_until(
        [&] {
            return redis_probe(master.port()).run({"INFO", "replication"}).contains("state=online");
        },
        20000));
    EXPECT_EQ(run(params, R"([{"modem_id":2,"hw_type":"b"}])").what, command_result::outcome::done);
    EXPECT_EQ(redis_probe(replica.port()).run({"HGET", "dev:properties:2", "hw_type"}), "b");
}

TEST_F(CommandHandlersTest, PromotionTimerFiresOneIntervalAfterTheLastCommandOfASequence)
{
    timer.setInterval(300);
    timer.setTimerType(Qt::PreciseTimer);
    int fired = 0;
    QElapsedTimer since_last;
    qint64 fired_after = -1;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        ++fired;
        fired_after = since_last.elapsed();
    });
    const auto run_loop_for = [](int ms) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    };

    clients_devices("[]");
    run_loop_for(200);
    DevicesParamsCommand params(context);
    run(params, "[]");  // other commands leave the timer alone
    clients_devices(R"([{"api_key":"K","modem_ids":[1]}])");
    since_last.start();
    run_loop_for(200);
    EXPECT_EQ(fired, 0);  // 400 ms after the first command, but only 200 after the last
    run_loop_for(400);
    EXPECT_EQ(fired, 1);
    EXPECT_GE(fired_after, 290);
}

TEST_F(CommandHandlersTest, DeviceParametersWritesOneHashPerModem)
{
    probe.run({"HSET", "dev:properties:5", "other", "kept"});
    DevicesParamsCommand handler(context);
    QJsonObject result;
    const QList<QByteArray> seen = received(
        handler,
        R"([{"modem_id":5,"hw_type":"a","protocol":"b"}, 3, "x", {"modem_id":5,"protocol":"p"}, {"hw_type":"h"}])",
        &result);
    EXPECT_EQ(seen, (QList<QByteArray>{"SELECT 2", "MULTI", "HMSET dev:properties:5 hw_type a protocol b",
                                       "HMSET dev:properties:5 hw_type  protocol p",
                                       "HMSET dev:properties:0 hw_type h protocol ", "EXEC"}));
    EXPECT_EQ(result, (QJsonObject{{"result", true}}));
    EXPECT_EQ(probe.hget("dev:properties:5", "hw_type"), "");
    EXPECT_EQ(probe.hget("dev:properties:5", "protocol"), "p");
    EXPECT_EQ(probe.hget("dev:properties:5", "other"), "kept");
    EXPECT_FALSE(timer.isActive());

    QJsonObject empty_result;
    EXPECT_EQ(received(handler, "[]", &empty_result), (QList<QByteArray>{"SELECT 2", "MULTI", "EXEC"}));
    EXPECT_EQ(empty_result, (QJsonObject{{"result", true}}));
}

}  // namespace
