// Corvane.exe under Wine brings its service back after a crash: a plug-in
// that dies inside Invoke ends one answer, not the service for the session.

#include "harness/E2eTest.h"

#include <gtest/gtest.h>

#include <signal.h>

using namespace e2e;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class SupervisorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (harness::environmentOr("CORVANE_TEST_LAUNCHER").empty()) {
            GTEST_SKIP() << "drives Corvane.exe under Wine: run by ctest -L wine (scripts/test-windows.sh)";
        }
    }

    static ServiceOptions withEcho()
    {
        ServiceOptions options;
        options.plugins = {"echo"};
        return options;
    }

    // Loads echo on a new connection and has it crash the service; true when
    // the connection then ended without an answer.
    static bool crashOnce(milliseconds connectWithin)
    {
        WsClient client;
        if (!eventually(
                [&] {
                    try {
                        client.connect("127.0.0.1", 1237, "/", milliseconds(1000));
                        return true;
                    } catch (const harness::WsError&) {
                        return false;
                    }
                },
                connectWithin)) {
            return false;
        }
        if (client.request(loadRequest("echo")) != kLoadSuccess) {
            return false;
        }
        client.sendText("{\"MsgId\":\"crash\",\"Method\":\"accessViolation\"}");
        const auto after = client.receive(milliseconds(10000));
        return after && after->opcode == harness::Opcode::Close;
    }

    static bool echoServed()
    {
        try {
            WsClient client;
            client.connect("127.0.0.1", 1237, "/", milliseconds(1000));
            const bool served = client.request(loadRequest("echo")) == kLoadSuccess &&
                                client.request("{\"MsgId\":\"e\",\"Method\":\"echo\",\"Param\":\"back\"}") ==
                                    answer("e", true, "back");
            disconnect(client);
            return served;
        } catch (const harness::WsError&) {
            return false;
        }
    }
};

TEST_F(SupervisorTest, crashInInvoke_endsThatAnswerAndTheServiceIsBackWithinThreeSecondsWithALogLine)
{
    ServiceProcess service(withEcho());
    ASSERT_TRUE(crashOnce(milliseconds(1000)));
    const auto crashed = Clock::now();

    ASSERT_TRUE(eventually(echoServed, milliseconds(5000)));
    EXPECT_LT(Clock::now() - crashed, milliseconds(3000));
    EXPECT_TRUE(service.running()) << "the supervisor itself ended";
    const std::string errors = service.standardError();
    EXPECT_NE(errors.find("exit code 3221225477 (0xC0000005)"), std::string::npos) << errors;
    EXPECT_NE(errors.find("starting it again in 1 s"), std::string::npos) << errors;
}

TEST_F(SupervisorTest, fiveQuickCrashes_supervisorGivesUpAndSaysSoLast)
{
    ServiceProcess service(withEcho());
    for (int crash = 1; crash <= 5; ++crash) {
        // The pauses before the restarts: 1, 2, 4 and 8 s.
        ASSERT_TRUE(crashOnce(milliseconds(20000))) << "crash " << crash;
    }
    const auto code = service.waitExit(milliseconds(10000));
    ASSERT_TRUE(code) << "the supervisor still runs after five crashes";
    EXPECT_NE(*code, 0);
    EXPECT_FALSE(harness::isListening("127.0.0.1", 1237));

    std::string errors = service.standardError();
    while (!errors.empty() && (errors.back() == '\n' || errors.back() == '\r')) {
        errors.pop_back();
    }
    const std::string last = errors.substr(errors.rfind('\n') + 1);
    EXPECT_NE(last.find("5 of 5 crashes"), std::string::npos) << errors;
    EXPECT_NE(last.find("giving up"), std::string::npos) << errors;
}

TEST_F(SupervisorTest, killingTheSupervisorAlone_endsTheServiceAndFreesThePortWithinASecond)
{
    ServiceProcess service(withEcho());
    ASSERT_TRUE(echoServed());
    // Only the supervisor's process, not its process group: the job must
    // take the service down with it.
    ASSERT_EQ(::kill(service.pid(), SIGKILL), 0);
    ASSERT_TRUE(service.waitExit(milliseconds(5000)));
    const auto killed = Clock::now();
    EXPECT_TRUE(eventually([] { return !harness::isListening("127.0.0.1", 1237); }, milliseconds(1000)))
        << "still listening " << std::chrono::duration_cast<milliseconds>(Clock::now() - killed).count()
        << " ms after the supervisor was killed";
}

} // namespace
