#include "amqp_peer.h"
#include "promotion/staging_rename.h"
#include "redis_client.h"
#include "redis_server.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

namespace {

class PromotionTest : public ::testing::Test {
protected:
    test_redis& server = test_redis::shared();
    redis_probe probe{server.port()};
    QTemporaryDir dir;
    logger log{dir.filePath("promotion.log"), QString()};
    redis::client store{{QStringLiteral("127.0.0.1"), QString(), server.port(), QString()}};
    redis::client lister{store.config()};

    void SetUp() override { probe.flush(); }

    std::optional<promotion_result> result;
    enum class mode { look, promote };
    void submit(mode m, std::optional<sequence_guard> guard = std::nullopt)
    {
        result.reset();
        const auto done = [this](promotion_result r) { result = r; };
        if (m == mode::look)
            look_for_staging_keys(store, done);
        else
            store.submit(std::make_unique<staging_rename>(store, lister, log, done, guard));
    }
    promotion_result::outcome finish()
    {
        EXPECT_TRUE(wait_until([&] { return result.has_value(); }, 20000));
        return result ? result->what : promotion_result::outcome::failed;
    }
    promotion_result run(mode m)
    {
        submit(m);
        EXPECT_EQ(finish(), promotion_result::outcome::done) << (result ? result->error.toStdString() : "");
        return result.value_or(promotion_result{});
    }
    int promote_staging_keys() { return static_cast<int>(run(mode::promote).keys); }
    bool has_staging_keys() { return run(mode::look).keys > 0; }
};

TEST_F(PromotionTest, EmptyStoreSendsAnEmptyTransaction)
{
    redis_monitor monitor(server.port());
    EXPECT_EQ(promote_staging_keys(), 0);
    QList<QByteArray> seen;
    for (const auto& cmd : monitor.until("EXEC"))
        seen.append(join_command(cmd));
    // The listing selects the database too; the transaction then begins with its own SELECT.
    ASSERT_GE(seen.size(), 3);
    EXPECT_EQ(seen.mid(seen.size() - 3), (QList<QByteArray>{"SELECT 2", "MULTI", "EXEC"}));
    EXPECT_FALSE(has_staging_keys());
}

TEST_F(PromotionTest, EveryStagingKeyReplacesItsLiveKey)
{
    probe.run({"SADD", "tmp:dev:clients:101", "A", "B"});
    probe.run({"SADD", "tmp:bs:clients:7", "A"});
    probe.run({"SADD", "dev:clients:101", "old"});
    probe.run({"SADD", "dev:clients:102", "untouched"});
    probe.run({"SET", "tmpx:a", "odd"});
    redis_probe db0(server.port(), 0);
    db0.run({"SADD", "tmp:dev:clients:1", "other database"});

    EXPECT_TRUE(has_staging_keys());
    EXPECT_EQ(promote_staging_keys(), 3);

    EXPECT_EQ(probe.members("dev:clients:101"), (QStringList{"A", "B"}));
    EXPECT_EQ(probe.members("bs:clients:7"), (QStringList{"A"}));
    EXPECT_EQ(probe.members("dev:clients:102"), (QStringList{"untouched"}));
    EXPECT_EQ(probe.run({"GET", ":a"}), "odd");  // its first four bytes are dropped, whatever they are
    EXPECT_EQ(probe.keys("tmp*"), QStringList());
    EXPECT_TRUE(db0.exists("tmp:dev:clients:1"));
    EXPECT_FALSE(has_staging_keys());
}

TEST_F(PromotionTest, ManyKeysMoveInOneTransaction)
{
    for (int i = 0; i < 3000; ++i)
        probe.run({"SADD", "tmp:dev:clients:" + QByteArray::number(i), "c"});
    redis_monitor monitor(server.port());
    EXPECT_EQ(promote_staging_keys(), 3000);
    int multis = 0;
    int renames = 0;
    for (const auto& cmd : monitor.until("EXEC")) {
        multis += cmd.value(0) == "MULTI";
        renames += cmd.value(0) == "RENAME";
    }
    EXPECT_EQ(multis, 1);
    EXPECT_EQ(renames, 3000);
    EXPECT_EQ(probe.run({"DBSIZE"}), "3000");
    EXPECT_EQ(probe.members("dev:clients:2999"), (QStringList{"c"}));
}

// Another instance promoted them between the listing and the renames: every rename fails, and the
// log tells a few of them and counts the others.
TEST_F(PromotionTest, KeysGoneBeforeTheRenamesAreLoggedInAFewLines)
{
    for (int i = 0; i < 3000; ++i)
        probe.run({"SADD", "tmp:dev:clients:" + QByteArray::number(i), "c"});
    redis_monitor monitor(server.port());
    submit(mode::promote);
    // A turn that writes reads in a later one: once SCAN is out, its page is not read yet.
    ASSERT_TRUE(wait_until([&] { return lister.stats().writes > 0; }, 5000));
    monitor.until("SCAN");
    probe.flush();
    EXPECT_EQ(finish(), promotion_result::outcome::done);
    ASSERT_TRUE(log.flush());
    QFile file(dir.filePath("promotion.log"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QList<QByteArray> errors;
    for (const QByteArray& line : lines)
        if (line.contains(" Error : "))
            errors << line.mid(line.indexOf(" Error : ") + 9).trimmed();
    ASSERT_EQ(errors.size(), 6) << errors.join('\n').constData();
    EXPECT_TRUE(errors[0].startsWith("promotion: Redis command 1 of ") &&
                errors[0].endsWith("failed: ERR no such key"));
    EXPECT_EQ(errors[5], "promotion: " + QByteArray::number(static_cast<qulonglong>(result->keys) - 5) +
                             " more Redis commands in the transaction failed");
}

TEST_F(PromotionTest, GuardedPromotionWaitsForTheSequenceToGoQuietAndYieldsToAnyWrite)
{
    using outcome = promotion_result::outcome;
    const sequence_guard guard{"corvel:sequence", 21000, false};
    const auto written_ago = [&](long long ms) {
        probe.run({"SET", guard.key, "other/1", "PX", QByteArray::number(sequence_mark_ttl_ms - ms)});
    };
    probe.run({"SADD", "tmp:dev:clients:1", "A"});

    submit(mode::promote, guard);
    EXPECT_EQ(finish(), outcome::not_due);  // nothing marked
    written_ago(1000);
    submit(mode::promote, guard);
    EXPECT_EQ(finish(), outcome::not_due);
    EXPECT_TRUE(probe.exists("tmp:dev:clients:1"));

    // Changed after that look: had the look left the key watched, this EXEC would not run.
    written_ago(30000);
    submit(mode::promote, guard);
    EXPECT_EQ(finish(), outcome::done);
    EXPECT_EQ(probe.members("dev:clients:1"), (QStringList{"A"}));
    EXPECT_FALSE(probe.exists(guard.key));

    // A write by another instance once the key is watched: Redis runs none of the renames.
    probe.run({"SADD", "tmp:dev:clients:2", "B"});
    written_ago(30000);
    redis_monitor monitor(server.port());
    submit(mode::promote, guard);
    QCoreApplication::processEvents();  // one turn: it writes WATCH and PTTL, and reads nothing yet
    monitor.until("PTTL");
    written_ago(30000);
    EXPECT_EQ(finish(), outcome::conflict);
    EXPECT_TRUE(probe.exists("tmp:dev:clients:2"));

    // Redis refuses writes (maxmemory, noeviction), so the writer's last commands may be missing:
    // RENAME would still go through, but the promotion must not.
    written_ago(30000);
    probe.run({"CONFIG", "SET", "maxmemory", "1"});
    submit(mode::promote, guard);
    const outcome under_pressure = finish();
    probe.run({"CONFIG", "SET", "maxmemory", "0"});
    EXPECT_EQ(under_pressure, outcome::failed);
    EXPECT_TRUE(probe.exists("tmp:dev:clients:2"));
}

}  // namespace
