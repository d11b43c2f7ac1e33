// When the service really maps and unmaps plug-in modules. The tracked
// plug-ins log every load and unload the dynamic loader performs, so these
// tests see releases, not just answers.

#include "harness/E2eTest.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace e2e;

namespace {

const char* const kLog = "tracked.log";

class ModuleLifecycleTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceOptions options;
        options.plugins = {"tracked_a", "tracked_b", "noinvoke", "fatalinit", "garbage", "echo"};
        options.environment["CORVANE_TRACKED_LOG"] = std::string("@DIR@/") + kLog;
        startService(options);
    }

    std::string log() const { return service->fileText(kLog); }

    bool logBecomes(const std::string& expected)
    {
        return eventually([&] { return log() == expected; });
    }

    std::string call(WsClient& on) { return on.request("{\"MsgId\":\"c\",\"Method\":\"which\"}"); }
};

TEST_F(ModuleLifecycleTest, successfulLoad_releasesThePreviousModule)
{
    ASSERT_EQ(client.request(loadRequest("tracked_a")), kLoadSuccess);
    EXPECT_EQ(call(client), answer("c", true, "tracked_a"));

    ASSERT_EQ(client.request(loadRequest("tracked_b")), kLoadSuccess);
    EXPECT_EQ(log(), "tracked_a load\ntracked_b load\ntracked_a unload\n");
    EXPECT_EQ(call(client), answer("c", true, "tracked_b"));

    EXPECT_EQ(client.close(), 1000);
    EXPECT_TRUE(logBecomes("tracked_a load\ntracked_b load\ntracked_a unload\ntracked_b unload\n")) << log();
}

TEST_F(ModuleLifecycleTest, loadOfLibraryWithoutInvoke_releasesThePreviousModuleAndStopsCalls)
{
    ASSERT_EQ(client.request(loadRequest("tracked_a")), kLoadSuccess);
    EXPECT_EQ(client.request(loadRequest("noinvoke")), answer("LoadModule", false, "Invalid plugin format"));
    EXPECT_EQ(log(), "tracked_a load\ntracked_a unload\n");
    EXPECT_EQ(call(client), harness::notLoaded("c"));
}

// Libraries that end the process when loaded late: the file is read, never run.
TEST_F(ModuleLifecycleTest, libraryWithoutInvokeThatEndsTheProcessWhenLoaded_answersAsAHarmlessOneAndNeverRuns)
{
    const std::string harmless = client.request(loadRequest("noinvoke"));
    ASSERT_EQ(harmless, answer("LoadModule", false, "Invalid plugin format"));
    const bool linux = harness::environmentOr("CORVANE_TEST_LAUNCHER").empty();
    for (const char* name : {"fatalinit", linux ? "libasan.so.8" : "kernel32", linux ? "libc.so.6" : "fatalinit.dll"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(client.request(loadRequest("tracked_a")), kLoadSuccess);
        EXPECT_EQ(client.request(loadRequest(name)), harmless);
        EXPECT_EQ(call(client), harness::notLoaded("c"));
    }
    EXPECT_EQ(log(), "tracked_a load\ntracked_a unload\n"
                     "tracked_a load\ntracked_a unload\n"
                     "tracked_a load\ntracked_a unload\n");
    WsClient other;
    other.connect();
    EXPECT_EQ(other.request(loadRequest("echo")), kLoadSuccess);
    EXPECT_TRUE(service->running());
}

TEST_F(ModuleLifecycleTest, failedLoads_keepTheCurrentModuleUntilClose)
{
    ASSERT_EQ(client.request(loadRequest("tracked_a")), kLoadSuccess);
    EXPECT_EQ(client.request(loadRequest("missing")), loadError(126));
    EXPECT_EQ(client.request(loadRequest("garbage")), loadError(193));
    EXPECT_EQ(client.request(loadRequest("dir/tracked_b")), loadError(123));

    EXPECT_EQ(call(client), answer("c", true, "tracked_a"));
    EXPECT_EQ(log(), "tracked_a load\n");

    EXPECT_EQ(client.close(), 1000);
    EXPECT_TRUE(logBecomes("tracked_a load\ntracked_a unload\n")) << log();
}

TEST_F(ModuleLifecycleTest, loadingTheSameModuleAgain_leaksNoReference)
{
    ASSERT_EQ(client.request(loadRequest("tracked_a")), kLoadSuccess);
    ASSERT_EQ(client.request(loadRequest("tracked_a")), kLoadSuccess);
    EXPECT_EQ(client.close(), 1000);
    EXPECT_TRUE(logBecomes("tracked_a load\ntracked_a unload\n")) << log();
}

TEST_F(ModuleLifecycleTest, connectionsHoldTheirOwnReference)
{
    WsClient other;
    other.connect();
    ASSERT_EQ(client.request(loadRequest("tracked_a")), kLoadSuccess);
    ASSERT_EQ(other.request(loadRequest("tracked_a")), kLoadSuccess);

    EXPECT_EQ(other.close(), 1000);
    // The first connection still uses it.
    EXPECT_EQ(call(client), answer("c", true, "tracked_a"));
    EXPECT_EQ(log(), "tracked_a load\n");

    EXPECT_EQ(client.close(), 1000);
    EXPECT_TRUE(logBecomes("tracked_a load\ntracked_a unload\n")) << log();
}

TEST_F(ModuleLifecycleTest, connectionsAreIsolatedAndAReconnectStartsEmpty)
{
    WsClient other;
    other.connect();
    ASSERT_EQ(client.request(loadRequest("echo")), kLoadSuccess);

    EXPECT_EQ(other.request("{\"MsgId\":\"o\",\"Method\":\"echo\"}"), harness::notLoaded("o"));
    EXPECT_EQ(client.request("{\"MsgId\":\"m\",\"Method\":\"echo\",\"Param\":\"mine\"}"), answer("m", true, "mine"));

    EXPECT_EQ(client.close(), 1000);
    WsClient again;
    again.connect();
    EXPECT_EQ(again.request("{\"MsgId\":\"r\",\"Method\":\"echo\"}"), harness::notLoaded("r"));
    EXPECT_EQ(again.request(loadRequest("echo")), kLoadSuccess);
    EXPECT_EQ(again.request("{\"MsgId\":\"r\",\"Method\":\"echo\",\"Param\":\"back\"}"), answer("r", true, "back"));
}

} // namespace

// What the export check found is remembered per file; a file rewritten in
// place keeps its path and inode but is another file, read again before it
// is loaded. Loaded on the strength of the old answer, it would end the
// service.
TEST_F(ModuleLifecycleTest, pluginRewrittenInPlace_isCheckedAgainBeforeItIsLoaded)
{
    if (!harness::environmentOr("CORVANE_TEST_LAUNCHER").empty()) {
        GTEST_SKIP() << "only the Linux loader remembers the check";
    }
    ASSERT_EQ(client.request(loadRequest("tracked_a")), kLoadSuccess);
    EXPECT_EQ(client.close(), 1000);
    ASSERT_TRUE(logBecomes("tracked_a load\ntracked_a unload\n")) << log();

    const std::string fatal = harness::readTextFile(service->directory() + "/" +
                                                    harness::ServiceProcess::moduleFileName("fatalinit"));
    ASSERT_FALSE(fatal.empty());
    {
        std::ofstream rewrite(service->directory() + "/" + harness::ServiceProcess::moduleFileName("tracked_a"),
                              std::ios::binary | std::ios::trunc);
        rewrite << fatal;
    }
    WsClient again;
    again.connect();
    EXPECT_EQ(again.request(loadRequest("tracked_a")), answer("LoadModule", false, "Invalid plugin format"));
    EXPECT_EQ(again.request(loadRequest("echo")), kLoadSuccess);
    EXPECT_TRUE(service->running());
}
