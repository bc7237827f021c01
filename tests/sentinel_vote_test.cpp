// Which master address a round of sentinel answers agrees on, without servers.
#include "sentinel_vote.h"

#include <gtest/gtest.h>

namespace {

// "h:1" names an address, "!why" is a failed answer; answers are given to voters 0, 1, ... in
// turn, "-" skipping one (still out).
struct vote_case {
    std::size_t voters;
    QStringList answers;
    redis::master_vote::outcome expected;
    QString agreed;  // with agreed
    QList<int> dissenters;
};

TEST(SentinelVote, AnAddressIsAgreedOnlyByMoreThanHalfOfAllConfiguredSentinels)
{
    using o = redis::master_vote::outcome;
    const QList<vote_case> cases{
        {1, {"a:1"}, o::agreed, "a:1", {}},
        {1, {"!refused"}, o::no_quorum, "", {}},
        {3, {"a:1", "a:1"}, o::agreed, "a:1", {}},  // the third need not answer
        {3, {"a:1", "b:1"}, o::open, "", {}},
        {3, {"a:1", "b:1", "a:1"}, o::agreed, "a:1", {1}},
        {3, {"a:1", "a:2", "a:1"}, o::agreed, "a:1", {1}},  // the port counts
        {3, {"a:1", "b:1", "c:1"}, o::no_quorum, "", {}},
        {3, {"a:1", "!no whole answer"}, o::open, "", {}},
        {3, {"!no whole answer", "!refused"}, o::no_quorum, "", {}},  // decided with one still out
        {2, {"a:1", "!refused"}, o::no_quorum, "", {}},               // two sentinels: both must agree
        {2, {"a:1", "a:1"}, o::agreed, "a:1", {}},
        {4, {"a:1", "a:1", "b:1"}, o::open, "", {}},  // three of four
        {5, {"a:1", "b:1", "a:1", "!refused", "a:1"}, o::agreed, "a:1", {1}},
    };
    for (const vote_case& c : cases) {
        redis::master_vote vote(c.voters);
        for (int i = 0; i < c.answers.size(); ++i) {
            const QString& a = c.answers[i];
            if (a.startsWith('!'))
                vote.failed(i, a.mid(1));
            else if (a != "-")
                vote.named(i, {a.section(':', 0, 0), a.section(':', 1).toUInt()});
        }
        const QString name = QString::number(c.voters) + ": " + c.answers.join(", ");
        EXPECT_EQ(vote.result(), c.expected) << name.toStdString();
        EXPECT_EQ(vote.agreed().empty() ? QString() : vote.agreed().text(), c.agreed) << name.toStdString();
        for (std::size_t i = 0; i < c.voters; ++i)
            EXPECT_EQ(vote.dissents(i), c.dissenters.contains(int(i))) << name.toStdString() << " voter " << i;
    }
    // A second answer from the same sentinel in one round is not a second vote.
    redis::master_vote twice(3);
    twice.named(0, {"a", 1});
    twice.named(0, {"a", 1});
    EXPECT_EQ(twice.result(), o::open);
    EXPECT_EQ(twice.tally({"s0", "s1", "s2"}), "s0 names a:1; s1: not answered yet; s2: not answered yet");
}

}  // namespace
