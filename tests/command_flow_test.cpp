// The command flow's rules, with the broker and the store played by the test: which handler runs
// when, what is published, and how each delivery is settled.
#include "amqp_peer.h"
#include "command_flow.h"

#include <QJsonArray>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <vector>

namespace {

QUuid id_of(int n)
{
    return QUuid(static_cast<uint>(n), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
}

// The consumer's side: every settlement, in order ("ack 3", "ack 5 multiple", "reject 2", ...).
struct settlements : delivery_settlement {
    QStringList seen;
    void ack_message(uint64_t tag, bool multiple) override
    {
        seen << QStringLiteral("ack %1%2").arg(tag).arg(multiple ? " multiple" : "");
    }
    void reject_message(uint64_t tag) override { seen << QStringLiteral("reject %1").arg(tag); }
    void requeue_message(uint64_t tag) override { seen << QStringLiteral("requeue %1").arg(tag); }
    QStringList take()
    {
        QStringList out;
        out.swap(seen);
        return out;
    }
};

// The publisher's side: responses by publication id, the command's number in each.
struct publications : response_publication {
    bool up = true;
    quint64 last_id = 0;
    std::map<quint64, int> published;  // publication id → command number
    std::vector<QByteArray> kept;      // the texts as handed over, kept as a publication waiting to go out keeps them
    static int number_in(const QByteArray& text)
    {
        return static_cast<int>(
            QJsonDocument::fromJson(text).object().value("cmd_id").toString().mid(1, 8).toUInt(nullptr, 16));
    }
    QString routing_key_problem(const QByteArray& key) const override
    {
        return key == "unroutable" ? QStringLiteral("too long") : QString();
    }
    quint64 publish_response(const QByteArray& text, const QByteArray&) override
    {
        if (!up)
            return 0;
        published[++last_id] = number_in(text);
        kept.push_back(text);
        return last_id;
    }
    bool can_publish() const override { return up; }
    quint64 id_of_command(int n) const
    {
        for (auto it = published.rbegin(); it != published.rend(); ++it)
            if (it->second == n)
                return it->first;
        return 0;
    }
};

// Handlers that finish when the test says: command number → its completion.
struct handlers {
    std::map<int, ICommandHandler::completion> running;
    std::map<int, std::shared_ptr<const bool>> delivery_gone;  // of each command's last run
    int runs = 0;
    struct handler : ICommandHandler {
        handlers& owner;
        explicit handler(handlers& o) : owner(o) {}
        void exec(const model::command& c, completion finished) override
        {
            ++owner.runs;
            owner.running[static_cast<int>(c._id.data1)] = std::move(finished);
            owner.delivery_gone[static_cast<int>(c._id.data1)] = delivery_gone();
        }
    };
    TCmdHandlerBuildFunc factory()
    {
        return [this](QString type) -> std::shared_ptr<ICommandHandler> {
            if (type != "t")
                throw std::runtime_error("no such type");
            return std::make_shared<handler>(*this);
        };
    }
    void finish(int n, command_result r)
    {
        auto done = std::move(running.at(n));
        running.erase(n);
        done(std::move(r));
    }
};

class CommandFlowTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    logger log{dir.filePath("flow.log"), QString()};
    settlements broker;
    publications out;
    handlers store;
    TCmdHandlerBuildFunc factory = store.factory();
    command_flow flow{log, broker, out, factory, nullptr, 5};

    void deliver(uint64_t tag, int n, const QString& type = "t", const QString& sender = "peer",
                 bool redelivered = false)
    {
        model::command c{id_of(n), type, sender, QJsonDocument(QJsonArray())};
        flow.take(delivery{tag, "in", "{}", QJsonObject(), QString(), redelivered}, c);
    }
    void redeliver(uint64_t tag, int n, const QString& type = "t") { deliver(tag, n, type, "peer", true); }
    void done(int n) { store.finish(n, command_result::done({})); }
    void confirm(int n) { flow.response_confirmed(out.id_of_command(n), false); }
};

TEST_F(CommandFlowTest, OutcomesInAnyOrderAreAnsweredAndSettledInDeliveryOrder)
{
    deliver(1, 1);
    deliver(2, 2, "nope");  // no handler: rejected in its turn
    flow.take(delivery{3, "in", "[", QJsonObject(), "the body is not JSON"}, model::command{});
    deliver(4, 4, "t", "unroutable");
    deliver(5, 5);
    deliver(6, 6);
    done(6);
    done(5);
    EXPECT_TRUE(out.published.empty());  // 1 still runs
    EXPECT_TRUE(broker.take().isEmpty());
    done(1);
    EXPECT_EQ(out.published, (std::map<quint64, int>{{1, 1}, {2, 5}, {3, 6}}));
    for (const auto& [id, n] : out.published)  // each text still its own once the next is written
        EXPECT_EQ(publications::number_in(out.kept.at(id - 1)), n);
    EXPECT_EQ(broker.take(), (QStringList{"reject 2", "reject 3", "reject 4"}));
    // Acknowledged only once confirmed, and then over contiguous tags only.
    confirm(5);
    confirm(6);
    EXPECT_TRUE(broker.take().isEmpty());
    confirm(1);
    EXPECT_EQ(broker.take(), (QStringList{"ack 1", "ack 6 multiple"}));
    EXPECT_EQ(flow.unsettled(), 0u);
}

TEST_F(CommandFlowTest, HeldCommandIsTriedAgainFirstWithEverythingBehindItInOrder)
{
    deliver(1, 1);
    deliver(2, 2);
    done(2);
    store.finish(1, command_result::retry("store down"));
    deliver(3, 3);  // behind the held ones, not run
    EXPECT_EQ(store.runs, 2);
    EXPECT_EQ(flow.held_count(), 3u);
    EXPECT_TRUE(out.published.empty());
    ASSERT_TRUE(wait_until([&] { return store.running.size() == 3; }, 1000));
    done(3);
    done(2);
    done(1);
    EXPECT_EQ(out.published, (std::map<quint64, int>{{1, 1}, {2, 2}, {3, 3}}));
    flow.response_confirmed(3, true);
    EXPECT_EQ(broker.take(), (QStringList{"ack 3 multiple"}));
}

TEST_F(CommandFlowTest, ResponsesLostWithThePublisherArePublishedAgainOnceItIsBack)
{
    deliver(1, 1);
    deliver(2, 2);
    done(1);
    out.up = false;
    done(2);  // cannot go out now
    flow.responses_unconfirmed();
    out.up = true;
    flow.publisher_connected();
    EXPECT_EQ(out.published, (std::map<quint64, int>{{1, 1}, {2, 1}, {3, 2}}));
    flow.response_confirmed(1, false);  // from the lost channel: ignored
    EXPECT_TRUE(broker.take().isEmpty());
    flow.response_confirmed(3, true);
    EXPECT_EQ(broker.take(), (QStringList{"ack 2 multiple"}));
}

TEST_F(CommandFlowTest, RedeliveredStaleCommandIsTakenOverAndNoLowerOpenTagIsAckedWithIt)
{
    deliver(9, 1);
    deliver(10, 2);
    EXPECT_FALSE(*store.delivery_gone[1]);
    flow.forget_deliveries();
    EXPECT_TRUE(*store.delivery_gone[1] && *store.delivery_gone[2]);  // what they have not written, they never write
    deliver(1, 3);                                                    // new on the new channel, before the redeliveries
    redeliver(2, 1);
    redeliver(3, 2);
    EXPECT_EQ(store.runs, 3);  // the redeliveries carry on with the first runs
    done(1);
    done(2);
    flow.response_confirmed(out.id_of_command(2), true);
    // 2 and 3 are settled, 1 is not: each on its own.
    EXPECT_EQ(broker.take(), (QStringList{"ack 2", "ack 3"}));
    done(3);
    confirm(3);
    EXPECT_EQ(broker.take(), (QStringList{"ack 1"}));

    // Answered while stale, redelivered after: acknowledged without running again.
    deliver(4, 5);
    flow.forget_deliveries();
    done(5);
    confirm(5);
    EXPECT_TRUE(broker.take().isEmpty());
    deliver(1, 5);         // not marked redelivered: a new command that reuses the id, run
    redeliver(2, 5, "u");  // another type under the same id: not the one answered
    redeliver(3, 5);
    EXPECT_EQ(broker.take(), (QStringList{"ack 3"}));
    EXPECT_EQ(store.runs, 5);
}

TEST_F(CommandFlowTest, ACommandTheStoreAloneRefusesIsGivenUpAnsweredFalseAndRejected)
{
    const auto refused = [&](int n) { store.finish(n, command_result::refused("OOM")); };
    deliver(1, 1);
    deliver(2, 2);
    // The whole store refuses: never given up, however often.
    for (int round = 0; round < 2 * command_flow::store_refusals_given_up; ++round) {
        ASSERT_TRUE(wait_until([&] { return store.running.size() == 2; }, 1000));
        refused(1);
        refused(2);
    }
    // Only 1 is refused: held while it has tries left, then given up once 2 is taken behind it.
    ASSERT_TRUE(wait_until([&] { return store.running.size() == 2; }, 1000));
    refused(1);
    EXPECT_TRUE(out.published.empty());  // waits to hear of 2
    done(2);
    ASSERT_EQ(out.published.size(), 2u);
    EXPECT_EQ(out.published.begin()->second, 1);
    EXPECT_EQ(flow.counters().types.at(0).by_outcome[3], 1u);  // given_up
    confirm(2);
    confirm(1);
    EXPECT_EQ(broker.take(), (QStringList{"reject 1", "ack 2"}));

    // A WAIT that falls short is not a refusal: the command was written, never given up for it.
    deliver(3, 3);
    deliver(4, 4);
    for (int round = 0; round <= command_flow::store_refusals_given_up; ++round) {
        ASSERT_TRUE(wait_until([&] { return store.running.size() == 2; }, 1000));
        store.finish(3, command_result::retry("WAIT fell short"));
        done(4);
    }
    EXPECT_EQ(out.published.size(), 2u);
    EXPECT_EQ(flow.held_count(), 2u);
}

TEST_F(CommandFlowTest, ARedeliveryIsSettledOnceUnderItsNewTagWhateverStageItsChannelWentAt)
{
    deliver(1, 1);
    deliver(2, 2, "nope");  // rejected once 1 has its outcome
    flow.forget_deliveries();
    done(1);  // 2 rejected while its delivery is gone
    confirm(1);
    redeliver(7, 2, "nope");
    EXPECT_EQ(broker.take(), (QStringList{"reject 7"}));

    deliver(3, 3);
    deliver(4, 4, "nope");
    done(3);                   // 4 rejected now, 3 waits for its confirmation
    flow.forget_deliveries();  // the reject may have gone with the channel
    redeliver(8, 4, "nope");
    EXPECT_EQ(broker.take(), (QStringList{"reject 4", "reject 8"}));
    EXPECT_EQ(store.runs, 2);

    // Held when the channel goes: it comes again and runs, settled under its new tag only.
    confirm(3);
    deliver(5, 5);
    store.finish(5, command_result::retry("store down"));
    flow.forget_deliveries();
    EXPECT_EQ(flow.held_count(), 0u);
    redeliver(9, 5);
    done(5);
    confirm(5);
    EXPECT_EQ(broker.take(), (QStringList{"ack 9"}));
}

TEST_F(CommandFlowTest, CommandsHeldTooCloseToTheConsumerTimeOutGoBackOnceAndNothingIsTakenUntilResumed)
{
    int returned = 0;
    QObject::connect(&flow, &command_flow::held_returned, [&] { ++returned; });
    flow.set_consumer_timeout(200);
    deliver(1, 1);
    deliver(2, 2);
    // Tried again and again while the store stays down.
    for (int tries = 0; returned == 0 && tries < 200; ++tries) {
        if (store.running.count(1))
            store.finish(1, command_result::retry("store down"));
        wait_until([&] { return returned == 1 || store.running.count(1) > 0; }, 1000);
    }
    ASSERT_EQ(returned, 1);
    EXPECT_EQ(broker.take(), (QStringList{"requeue 1", "requeue 2"}));
    EXPECT_EQ(flow.unsettled(), 0u);
    deliver(3, 1);  // already on its way before consuming paused
    EXPECT_EQ(broker.take(), (QStringList{"requeue 3"}));
    flow.resume();
    deliver(4, 1);
    done(1);
    confirm(1);
    EXPECT_EQ(broker.take(), (QStringList{"ack 4"}));
    EXPECT_EQ(returned, 1);
}

TEST(AnsweredCommands, TheOldestGiveWayAndNoIdIsNeverKept)
{
    answered_commands kept(2);
    for (int n : {1, 2, 3})
        kept.remember(id_of(n), "t");
    kept.remember(QUuid(), "t");
    EXPECT_EQ(kept.size(), 2u);
    EXPECT_FALSE(kept.take(id_of(1), "t"));
    EXPECT_FALSE(kept.take(id_of(3), "u"));
    EXPECT_TRUE(kept.take(id_of(3), "t"));
    EXPECT_FALSE(kept.take(id_of(3), "t"));
}

TEST_F(CommandFlowTest, StopCarriesAnsweredCommandsThroughAndGivesTheRestBack)
{
    int drained = 0;
    QObject::connect(&flow, &command_flow::drained, [&] { ++drained; });
    deliver(1, 1);
    deliver(2, 2);
    deliver(3, 3);
    done(1);
    store.finish(2, command_result::retry("store down"));  // held, and 3 behind it
    flow.finish();
    deliver(4, 4);
    EXPECT_EQ(broker.take(), (QStringList{"requeue 2", "requeue 3", "requeue 4"}));
    EXPECT_EQ(drained, 0);
    confirm(1);
    EXPECT_EQ(broker.take(), (QStringList{"ack 1"}));
    EXPECT_EQ(drained, 1);
}

}  // namespace
