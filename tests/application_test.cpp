#include "amqp_peer.h"
#include "application.h"
#include "redis_server.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class ApplicationTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString log_path = dir.filePath("corvel.log");

    std::unique_ptr<Application> start(quint32 redis_port, const QByteArray& more_redis_settings = {})
    {
        const QString ini = dir.filePath("corvel.ini");
        QFile f(ini);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write("[GENERAL_SETTINGS]\nLOG_FILE_PATH=" + log_path.toUtf8() +
                "\nLOG_LEVEL=DEBUG\n[REDIS_SETTINGS]\nPORT=" + QByteArray::number(redis_port) + "\n" +
                more_redis_settings);
        f.close();
        args = {QByteArray("corvel"), QByteArray("-c"), ini.toUtf8()};
        for (QByteArray& a : args)
            argv.push_back(a.data());
        argc = static_cast<int>(argv.size());
        return std::make_unique<Application>(argc, argv.data());
    }

    QByteArray log_text()
    {
        QFile f(log_path);
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }

    static void run_loop_for(int ms)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }

    QList<QByteArray> args;
    std::vector<char*> argv;
    int argc = 0;
};

TEST_F(ApplicationTest, PromotionTimerIsConfiguredAndIdleWithoutStagingKeys)
{
    redis_probe(test_redis::shared().port()).flush();
    auto app = start(test_redis::shared().port());
    QTimer& timer = app->promotion_timer();
    ASSERT_TRUE(
        wait_until([&] { return app->injector().handlers().store.idle(); }, 5000));  // the look for staging keys
    EXPECT_TRUE(timer.isSingleShot());
    EXPECT_EQ(timer.interval(), 21000);
    EXPECT_EQ(timer.timerType(), Qt::PreciseTimer);
    EXPECT_FALSE(timer.isActive());
}

TEST_F(ApplicationTest, UnreachableStoreAtStartUpIsLoggedAndLeavesTheTimerIdle)
{
    quint32 port;
    {
        test_redis gone;
        port = gone.port();
    }
    auto app = start(port);
    EXPECT_TRUE(
        wait_until([&] { return log_text().contains(" Error : Cannot look for staging keys at start-up: "); }, 5000))
        << log_text().constData();
    EXPECT_FALSE(app->promotion_timer().isActive());
}

TEST_F(ApplicationTest, StartUpWarnsOfKeysNothingReadsAndOfFewerReplicasThanEachWriteWaitsFor)
{
    auto app = start(test_redis::shared().port(), "WAIT_REPLICAS=1\nWAIT_REPLICA=1\n");
    EXPECT_TRUE(wait_until([&] { return log_text().contains(" replica(s) connected"); }, 5000))
        << log_text().constData();
    const QByteArray text = log_text();
    EXPECT_TRUE(text.contains(" Warning : Configuration file " + dir.filePath("corvel.ini").toUtf8() +
                              ": REDIS_SETTINGS/WAIT_REPLICA: unknown key, not read; did you mean WAIT_REPLICAS?\r\n"))
        << text.constData();
    EXPECT_TRUE(
        text.contains(" Warning : REDIS_SETTINGS/WAIT_REPLICAS is 1 but the master has 0 replica(s) connected: "))
        << text.constData();
}

TEST_F(ApplicationTest, FailedPromotionIsTriedAgain)
{
    test_redis own;
    redis_probe(own.port()).run({"SADD", "tmp:bs:clients:7", "K"});
    auto app = start(own.port());
    QTimer& timer = app->promotion_timer();
    // Found, but not armed: they may be the open sequence of an instance this one stands by for.
    ASSERT_TRUE(wait_until(
        [&] {
            return log_text().contains("Staging keys found at start-up; promoted once this instance takes a delivery");
        },
        5000))
        << log_text().constData();
    EXPECT_FALSE(timer.isActive());
    own.stop();
    timer.start(50);
    run_loop_for(150);
    EXPECT_TRUE(log_text().contains(" Error : Promotion of the staging keys failed, next try in 21000 ms: "))
        << log_text().constData();
    EXPECT_TRUE(timer.isActive());
    own.start();  // without persistence the staging key is gone; put it back as if it had survived
    redis_probe probe(own.port());
    probe.run({"SADD", "tmp:bs:clients:7", "K"});
    timer.start(50);
    run_loop_for(300);
    EXPECT_EQ(probe.members("bs:clients:7"), (QStringList{"K"}));
    EXPECT_FALSE(timer.isActive());
}

TEST_F(ApplicationTest, ExceptionEscapingAnEventHandlerIsLoggedAndTheLoopGoesOn)
{
    auto app = start(test_redis::shared().port());
    bool after = false;
    QTimer::singleShot(0, [] { throw std::runtime_error("boom in a slot"); });
    QTimer::singleShot(20, [&] { after = true; });
    QTimer::singleShot(40, [] { throw stop_application(); });
    QCoreApplication::exec();  // returns only through stop_application
    EXPECT_TRUE(after);
    EXPECT_TRUE(log_text().contains(" Error : Exception dropped in event handling: boom in a slot"))
        << log_text().constData();
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
