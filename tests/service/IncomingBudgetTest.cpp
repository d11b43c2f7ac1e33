#include "server/IncomingBudget.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using server::IncomingBudget;
using Clock = IncomingBudget::Clock;
using std::chrono::seconds;

struct FakeMessage : server::UnfinishedMessage {
    std::size_t reserved() const override { return bytes; }
    void dropPayload() override
    {
        dropped = true;
        bytes = 0;
    }
    std::size_t bytes = 0;
    bool dropped = false;
};

class IncomingBudgetTest : public ::testing::Test {
protected:
    void start(int i) { budget.begin(&messages[i], owners[static_cast<std::size_t>(i)], t0); }
    void grow(int i, std::size_t reserved, std::size_t received, Clock::time_point at)
    {
        messages[i].bytes = reserved;
        budget.progress(&messages[i], received, at);
    }
    bool victimIs(std::size_t at, int i) const
    {
        return victims.at(at).owner.lock() == owners.at(static_cast<std::size_t>(i));
    }

    std::vector<std::shared_ptr<void>> owners{std::make_shared<int>(0), std::make_shared<int>(1),
                                              std::make_shared<int>(2)};
    std::vector<IncomingBudget::Victim> victims;
    IncomingBudget budget{100, seconds(30), [this](const IncomingBudget::Victim& victim) { victims.push_back(victim); }};
    FakeMessage messages[3];
    Clock::time_point t0 = Clock::now();
};

TEST_F(IncomingBudgetTest, overrun_givesUpTheLargestMessageWhoeverGrew)
{
    for (int i = 0; i < 3; ++i) {
        start(i);
    }
    grow(0, 60, 60, t0);
    grow(1, 30, 30, t0);
    grow(1, 20, 20, t0); // a buffer never counts less than it took
    EXPECT_TRUE(victims.empty());
    grow(2, 11, 11, t0); // 101 bytes: the first goes, not the one that grew
    ASSERT_EQ(victims.size(), 1u);
    EXPECT_TRUE(victimIs(0, 0));
    EXPECT_EQ(victims[0].held, 60u);
    EXPECT_EQ(victims[0].total, 101u);
    EXPECT_FALSE(victims[0].stalled);
    EXPECT_TRUE(messages[0].dropped);
    EXPECT_FALSE(messages[1].dropped || messages[2].dropped);
    EXPECT_EQ(budget.held(), 41u);

    // A message given up counts no more, whatever it reports, and ending
    // it is no second release.
    grow(0, 90, 90, t0);
    budget.end(&messages[0]);
    EXPECT_EQ(budget.held(), 41u);
    budget.end(&messages[1]); // received whole
    EXPECT_EQ(budget.held(), 11u);
    grow(2, 100, 100, t0);
    EXPECT_EQ(victims.size(), 1u);
    grow(2, 101, 101, t0); // one message alone over the budget
    ASSERT_EQ(victims.size(), 2u);
    EXPECT_TRUE(victimIs(1, 2));
    EXPECT_EQ(budget.held(), 0u);
}

TEST_F(IncomingBudgetTest, reviewCountsRoomReservedUnannounced_andOfEqualOnesTheLessReceivedGoes)
{
    start(0);
    start(1);
    grow(0, 60, 40, t0);
    grow(1, 10, 10, t0);
    // The reader reserved room for a further frame of the second message
    // without telling: only a review sees it.
    messages[1].bytes = 60;
    EXPECT_TRUE(victims.empty());
    budget.review(t0 + seconds(1));
    ASSERT_EQ(victims.size(), 1u);
    EXPECT_TRUE(victimIs(0, 1));
    EXPECT_TRUE(messages[1].dropped && !messages[0].dropped);
    EXPECT_EQ(budget.held(), 60u);
}

TEST_F(IncomingBudgetTest, stalledMessages_areGivenUpOnceAfterTheTimeout_arrivingBytesRestartTheirClock)
{
    start(0);
    start(1);
    grow(0, 5, 5, t0 + seconds(20));
    // Room reserved for a frame is no progress: its bytes must arrive.
    grow(1, 50, 0, t0 + seconds(20));
    EXPECT_EQ(budget.held(), 55u);
    budget.review(t0 + seconds(29));
    EXPECT_TRUE(victims.empty());

    budget.review(t0 + seconds(30));
    ASSERT_EQ(victims.size(), 1u);
    EXPECT_TRUE(victimIs(0, 1));
    EXPECT_TRUE(victims[0].stalled);
    EXPECT_TRUE(messages[1].dropped);

    budget.review(t0 + seconds(60));
    ASSERT_EQ(victims.size(), 2u);
    EXPECT_TRUE(victimIs(1, 0));
    EXPECT_EQ(victims[1].held, 5u);
    budget.review(t0 + seconds(90));
    EXPECT_EQ(victims.size(), 2u);
    EXPECT_EQ(budget.held(), 0u);
}

} // namespace
