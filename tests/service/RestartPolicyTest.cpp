#include "server/Supervisor.h"

#include <gtest/gtest.h>

namespace {

using server::RestartPolicy;
using Action = RestartPolicy::Decision::Action;
using std::chrono::minutes;
using std::chrono::seconds;

constexpr std::uint32_t kAccessViolation = 0xC0000005u;

TEST(RestartPolicyTest, ownExitCodesStopAndAnythingElseRestarts)
{
    RestartPolicy policy;
    const auto t = RestartPolicy::Clock::now();
    for (const std::uint32_t code : {0u, 1u, 2u}) {
        EXPECT_EQ(policy.onExit(code, t, t + seconds(1)).action, Action::stop) << code;
    }
    // The service's own failures are restarted like crashes: they may pass.
    for (const std::uint32_t code : {3u, server::kExitStartFailed, server::kExitFailed, 255u, kAccessViolation,
                                     0xFFFFFFFFu}) {
        EXPECT_EQ(RestartPolicy().onExit(code, t, t + seconds(1)).action, Action::restart) << code;
    }
}

TEST(RestartPolicyTest, pauseDoublesToThirtySecondsAndFifthCrashInTenMinutesGivesUp)
{
    RestartPolicy policy;
    auto t = RestartPolicy::Clock::now();
    // Crashes three minutes apart: never five within ten minutes.
    for (const int expected : {1, 2, 4, 8, 16, 30, 30}) {
        const auto decision = policy.onExit(kAccessViolation, t, t + minutes(3));
        t += minutes(3);
        ASSERT_EQ(decision.action, Action::restart);
        EXPECT_EQ(decision.pause, seconds(expected));
    }
    // A run of ten minutes starts the pauses over.
    EXPECT_EQ(policy.onExit(kAccessViolation, t, t + minutes(10)).pause, seconds(1));
    t += minutes(10);

    RestartPolicy quick;
    for (int crash = 1; crash <= 4; ++crash) {
        t += seconds(5);
        EXPECT_EQ(quick.onExit(kAccessViolation, t, t).action, Action::restart) << crash;
    }
    const auto fifth = quick.onExit(kAccessViolation, t + seconds(5), t + seconds(5));
    EXPECT_EQ(fifth.action, Action::giveUp);
    EXPECT_EQ(fifth.crashesInWindow, 5);
}

TEST(RestartPolicyTest, crashesOlderThanTenMinutesDoNotCount)
{
    RestartPolicy policy;
    auto t = RestartPolicy::Clock::now();
    for (int crash = 0; crash < 4; ++crash) {
        policy.onExit(kAccessViolation, t, t);
    }
    t += minutes(10) + seconds(1);
    const auto later = policy.onExit(kAccessViolation, t, t);
    EXPECT_EQ(later.action, Action::restart);
    EXPECT_EQ(later.crashesInWindow, 1);
}

TEST(RestartPolicyTest, exitCodeIsNamedInDecimalAndHex)
{
    EXPECT_EQ(server::describeExitCode(kAccessViolation), "3221225477 (0xC0000005)");
}

} // namespace
