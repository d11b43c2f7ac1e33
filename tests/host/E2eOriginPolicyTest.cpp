// An administrator's origin policy, put in place for the real service: the
// file /etc/corvane/allowed-origins inside a private mount namespace
// (tests/run-with-policy-dir.sh), or under Wine the registry value that
// Group Policy writes.

#include "E2eTest.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace e2e;
using testsupport::ServiceOptions;
using testsupport::ServiceProcess;
using testsupport::WsClient;

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Runs a command to its end; its exit code, or -1.
int runCommand(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Where a test puts the policy: a launcher ("wine") means the registry of
// its prefix, otherwise the directory that stands over /etc/corvane.
class PolicyStore {
public:
    PolicyStore()
        : m_launcher(envOr("CORVANE_TEST_LAUNCHER"))
        , m_directory(envOr("CORVANE_TEST_POLICY_DIR"))
    {
    }

    bool available() const { return !m_launcher.empty() || !m_directory.empty(); }

    void set(const std::vector<std::string>& entries)
    {
        if (m_launcher.empty()) {
            std::ofstream(m_directory + "/allowed-origins") << join(entries, "\n") << "\n";
        } else {
            ASSERT_EQ(reg({"add", kKey, "/v", "AllowedOrigins", "/t", "REG_MULTI_SZ", "/d", join(entries, "\\0"), "/f"}),
                      0);
        }
    }

    // A policy that exists but cannot be read as one: a directory in place
    // of the file (root reads any file), a value of the wrong type.
    void setUnreadable()
    {
        if (m_launcher.empty()) {
            fs::create_directory(m_directory + "/allowed-origins");
        } else {
            ASSERT_EQ(reg({"add", kKey, "/v", "AllowedOrigins", "/t", "REG_SZ", "/d", "https://app.example", "/f"}), 0);
        }
    }

    void clear()
    {
        if (m_launcher.empty()) {
            std::error_code ignored;
            fs::remove_all(m_directory + "/allowed-origins", ignored);
        } else {
            reg({"delete", kKey, "/f"}); // fails when there is nothing to delete
        }
    }

private:
    static constexpr const char* kKey = "HKLM\\SOFTWARE\\Policies\\Corvane";

    static std::string envOr(const char* name)
    {
        const char* value = std::getenv(name);
        return value == nullptr ? std::string() : std::string(value);
    }

    static std::string join(const std::vector<std::string>& parts, const std::string& separator)
    {
        std::string out;
        for (const std::string& part : parts) {
            out += (out.empty() ? "" : separator) + part;
        }
        return out;
    }

    int reg(std::vector<std::string> args) const
    {
        std::istringstream launcher(m_launcher);
        std::vector<std::string> command;
        for (std::string word; launcher >> word;) {
            command.push_back(word);
        }
        command.push_back("reg");
        command.insert(command.end(), args.begin(), args.end());
        return runCommand(command);
    }

    std::string m_launcher;
    std::string m_directory;
};

class OriginPolicyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!store.available()) {
            GTEST_SKIP() << "no place for a test policy: run through tests/run-with-policy-dir.sh (a private mount "
                            "namespace) or with CORVANE_TEST_LAUNCHER=wine";
        }
        store.clear();
    }

    void TearDown() override
    {
        if (service) {
            expectCleanStop(*service);
        }
        if (store.available()) {
            store.clear();
        }
    }

    void startService()
    {
        ServiceOptions options;
        options.plugins = {"echo"};
        service = std::make_unique<ServiceProcess>(options);
    }

    // The status of a handshake with this Origin (none when empty); an
    // accepted connection must also be served.
    static int handshake(const std::string& origin)
    {
        WsClient client;
        if (!origin.empty()) {
            client.setRequestHeader("Origin", origin);
        }
        try {
            client.connect();
        } catch (const testsupport::WsError&) {
            return client.handshakeStatus();
        }
        EXPECT_EQ(client.request(loadRequest("echo")), kLoadSuccess) << origin;
        disconnect(client);
        return client.handshakeStatus();
    }

    PolicyStore store;
    std::unique_ptr<ServiceProcess> service;
};

TEST_F(OriginPolicyTest, noPolicy_acceptsEveryOrigin)
{
    startService();
    EXPECT_EQ(handshake("https://anything.example"), 101);
    EXPECT_EQ(handshake("null"), 101);
}

TEST_F(OriginPolicyTest, policy_refusesUnlistedOriginsWith403AndServesListedOnes)
{
    store.set({"# the intranet application", "https://app.example", "https://*.corp.example",
               "https://bad.example/path"});
    startService();

    EXPECT_EQ(handshake("https://evil.example"), 403);
    EXPECT_EQ(handshake("https://corp.example"), 403);
    EXPECT_EQ(handshake("https://bad.example"), 403);
    EXPECT_EQ(handshake("https://app.example:443"), 101);
    EXPECT_EQ(handshake("https://team.corp.example"), 101);
    EXPECT_EQ(handshake(""), 101);
    // A refusal ends only that handshake.
    EXPECT_EQ(handshake("https://evil.example"), 403);
    EXPECT_EQ(handshake("https://app.example"), 101);

    EXPECT_TRUE(eventually([&] {
        return service->standardOutput().find("refused: \"https://evil.example\"") != std::string::npos;
    })) << service->standardOutput();
    const std::string errors = service->standardError();
    EXPECT_NE(errors.find("line 4: \"https://bad.example/path\" has a path"), std::string::npos) << errors;
}

TEST_F(OriginPolicyTest, policyWithoutUsableEntry_refusesEveryOriginButNotAHandshakeWithout)
{
    for (const bool unreadable : {true, false}) {
        SCOPED_TRACE(unreadable ? "unreadable policy" : "no valid entry");
        if (unreadable) {
            store.setUnreadable();
        } else {
            store.set({"app.example"});
        }
        startService();

        EXPECT_EQ(handshake("https://app.example"), 403);
        EXPECT_EQ(handshake(""), 101);
        const std::string errors = service->standardError();
        EXPECT_NE(errors.find(unreadable ? "cannot be read" : "holds no valid entry"), std::string::npos) << errors;

        expectCleanStop(*service);
        service.reset();
        store.clear();
    }
}

} // namespace
