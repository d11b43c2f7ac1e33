// Where Corvane.exe writes the WebSocket library's logs, under Wine: into
// %LOCALAPPDATA%\Corvane\corvane.log when it has no standard handles, as
// when Explorer or the Run key starts it; to the standard streams when a
// starter redirected them.

#include "harness/E2eTest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace e2e;

namespace {

namespace fs = std::filesystem;

std::string launcher()
{
    return harness::environmentOr("CORVANE_TEST_LAUNCHER");
}

// The first line a command prints, without its line end.
std::string firstLineOf(const std::string& command)
{
    std::string line;
    if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        if (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
            line = buffer;
        }
        ::pclose(pipe);
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

const std::string kAnswer = harness::notLoaded("logged-1");

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (launcher().empty()) {
            GTEST_SKIP() << "drives Corvane.exe under Wine: run by ctest -L wine (scripts/test-windows.sh)";
        }
        const std::string windowsPath = firstLineOf(launcher() + " cmd.exe /c echo %LOCALAPPDATA% 2>/dev/null");
        const std::string unixPath = firstLineOf(launcher() + " winepath.exe -u '" + windowsPath + "' 2>/dev/null");
        ASSERT_FALSE(unixPath.empty()) << "no Unix path for %LOCALAPPDATA% (" << windowsPath << ")";
        logDirectory = fs::path(unixPath) / "Corvane";
        fs::remove_all(logDirectory);
    }

    // One request; the access log shows the connection and the answer in
    // full (the library logs the frames it sends, not those it receives).
    static void talk()
    {
        WsClient client;
        client.connect();
        EXPECT_EQ(client.request("{\"MsgId\":\"logged-1\",\"Method\":\"Hello\"}"), kAnswer);
        disconnect(client);
    }

    fs::path logDirectory;
};

TEST_F(LogFileTest, withoutStandardHandles_logsGoToTheUserLogFile)
{
    // Started the way Explorer starts a program: no standard handles at all.
    // /wait keeps the launcher alive for as long as the service runs.
    const std::string plainLauncher = launcher();
    ::setenv("CORVANE_TEST_LAUNCHER", (plainLauncher + " start /wait /unix").c_str(), 1);
    ServiceProcess service;
    ::setenv("CORVANE_TEST_LAUNCHER", plainLauncher.c_str(), 1);
    talk();

    const fs::path log = logDirectory / "corvane.log";
    EXPECT_TRUE(eventually([&] { return harness::readTextFile(log.string()).find("[disconnect]") != std::string::npos; }));
    const std::string text = harness::readTextFile(log.string());
    EXPECT_NE(text.find("[connect] WebSocket Connection 127.0.0.1:"), std::string::npos) << text;
    EXPECT_NE(text.find(kAnswer), std::string::npos) << text;
    service.kill();
}

TEST_F(LogFileTest, withRedirectedStreams_logsStayThere)
{
    ServiceProcess service;
    talk();

    EXPECT_TRUE(eventually([&] { return service.standardOutput().find("[disconnect]") != std::string::npos; }));
    EXPECT_NE(service.standardOutput().find(kAnswer), std::string::npos);
    EXPECT_FALSE(fs::exists(logDirectory / "corvane.log"));
    service.kill();
}

} // namespace
