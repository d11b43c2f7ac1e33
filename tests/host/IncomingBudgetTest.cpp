#include "server/IncomingBudget.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using server::IncomingBudget;
using Clock = IncomingBudget::Clock;
using std::chrono::seconds;

struct FakeMessage : server::UnfinishedMessage {
    void dropPayload() override { dropped = true; }
    bool dropped = false;
};

class IncomingBudgetTest : public ::testing::Test {
protected:
    std::shared_ptr<void> connection(int i) { return owners.at(static_cast<std::size_t>(i)); }
    bool victimIs(std::size_t at, int i) const { return victims.at(at).owner.lock() == owners.at(static_cast<std::size_t>(i)); }

    std::vector<std::shared_ptr<void>> owners{std::make_shared<int>(0), std::make_shared<int>(1),
                                              std::make_shared<int>(2)};
    std::vector<IncomingBudget::Victim> victims;
    IncomingBudget budget{100, [this](const IncomingBudget::Victim& victim) { victims.push_back(victim); }};
    FakeMessage messages[3];
    Clock::time_point t0 = Clock::now();
};

TEST_F(IncomingBudgetTest, overrun_givesUpTheLargestMessageWhoeverGrew)
{
    for (int i = 0; i < 3; ++i) {
        budget.begin(&messages[i], connection(i), t0);
    }
    budget.progress(&messages[0], 60, 60, t0);
    budget.progress(&messages[1], 30, 30, t0);
    EXPECT_TRUE(victims.empty());
    budget.progress(&messages[1], 30, 30, t0); // no growth: nothing changes
    budget.progress(&messages[1], 20, 20, t0); // the buffer never counts less than it took
    budget.progress(&messages[2], 11, 11, t0); // 101 bytes: the first, not the one that grew
    ASSERT_EQ(victims.size(), 1u);
    EXPECT_TRUE(victimIs(0, 0));
    EXPECT_EQ(victims[0].held, 60u);
    EXPECT_EQ(victims[0].total, 101u);
    EXPECT_TRUE(messages[0].dropped);
    EXPECT_FALSE(messages[1].dropped || messages[2].dropped);
    EXPECT_EQ(budget.held(), 41u);

    // A message given up counts no more, whatever it reports, and ending
    // it is no second release.
    budget.progress(&messages[0], 90, 90, t0);
    budget.end(&messages[0]);
    EXPECT_EQ(budget.held(), 41u);
    budget.end(&messages[1]); // received whole
    EXPECT_EQ(budget.held(), 11u);
    budget.progress(&messages[2], 100, 100, t0);
    EXPECT_EQ(victims.size(), 1u);
    budget.progress(&messages[2], 101, 101, t0); // one message alone over the budget
    ASSERT_EQ(victims.size(), 2u);
    EXPECT_TRUE(victimIs(1, 2));
    EXPECT_EQ(budget.held(), 0u);

    // Of two as large, the one that has received less is given up.
    FakeMessage first, second;
    budget.begin(&first, connection(0), t0);
    budget.begin(&second, connection(1), t0);
    budget.progress(&first, 60, 40, t0);
    budget.progress(&second, 60, 10, t0);
    ASSERT_EQ(victims.size(), 3u);
    EXPECT_TRUE(victimIs(2, 1));
    EXPECT_TRUE(second.dropped && !first.dropped);
}

TEST_F(IncomingBudgetTest, stalledMessages_areGivenUpOnceAfterTheTimeout_growthRestartsTheirClock)
{
    budget.begin(&messages[0], connection(0), t0);
    budget.begin(&messages[1], connection(1), t0);
    budget.progress(&messages[0], 5, 5, t0 + seconds(20));
    // Room reserved for a frame is no progress: its bytes must arrive.
    budget.progress(&messages[1], 50, 0, t0 + seconds(20));
    EXPECT_EQ(budget.held(), 55u);
    EXPECT_TRUE(budget.giveUpStalled(t0 + seconds(29), seconds(30)).empty());

    auto stalled = budget.giveUpStalled(t0 + seconds(30), seconds(30));
    ASSERT_EQ(stalled.size(), 1u);
    EXPECT_EQ(stalled[0].owner.lock(), connection(1));
    EXPECT_TRUE(messages[1].dropped);

    stalled = budget.giveUpStalled(t0 + seconds(60), seconds(30));
    ASSERT_EQ(stalled.size(), 1u);
    EXPECT_EQ(stalled[0].owner.lock(), connection(0));
    EXPECT_EQ(stalled[0].held, 5u);
    EXPECT_TRUE(budget.giveUpStalled(t0 + seconds(90), seconds(30)).empty());
    EXPECT_EQ(budget.held(), 0u);
    EXPECT_TRUE(victims.empty()); // the timeout is the caller's to act on
}

} // namespace
