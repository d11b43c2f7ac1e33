// An administrator's origin policy, put in place for the real service: the
// file /etc/corvane/allowed-origins inside a private mount namespace
// (tests/run-with-policy-dir.sh), or under Wine the registry value that
// Group Policy writes.

#include "harness/E2eTest.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace e2e;

namespace {

namespace fs = std::filesystem;

// Where a test puts the policy: with a launcher ("wine") the registry of its
// prefix, otherwise the directory that stands over /etc/corvane.
class PolicyStore {
public:
    bool available() const { return !m_launcher.empty() || !m_directory.empty(); }

    void set(const std::vector<std::string>& entries)
    {
        std::string joined;
        for (const std::string& entry : entries) {
            joined += (joined.empty() ? "" : m_launcher.empty() ? "\n" : "\\0") + entry;
        }
        if (m_launcher.empty()) {
            std::ofstream(m_directory + "/allowed-origins") << joined << "\n";
        } else {
            ASSERT_EQ(reg("add " + kKey + " /v AllowedOrigins /t REG_MULTI_SZ /d '" + joined + "' /f"), 0);
        }
    }

    // The broken policies setUnreadable can put in place.
    int unreadableKinds() const { return m_launcher.empty() ? 3 : 1; }

    // A policy that exists but cannot be read as one: a directory in place
    // of the file (root reads any file), a link that leads nowhere, or
    // through another link nowhere; a value of the wrong type.
    void setUnreadable(int kind = 0)
    {
        if (m_launcher.empty()) {
            const std::string file = m_directory + "/allowed-origins";
            if (kind == 0) {
                fs::create_directory(file);
            } else if (kind == 1) {
                fs::create_symlink(m_directory + "/gone", file);
            } else {
                fs::create_symlink(m_directory + "/gone", m_directory + "/link");
                fs::create_symlink(m_directory + "/link", file);
            }
        } else {
            ASSERT_EQ(reg("add " + kKey + " /v AllowedOrigins /t REG_SZ /d https://app.example /f"), 0);
        }
    }

    void clear()
    {
        if (m_launcher.empty()) {
            fs::remove_all(m_directory + "/allowed-origins");
            fs::remove(m_directory + "/link");
        } else {
            reg("delete " + kKey + " /f"); // fails when there is nothing to delete
        }
    }

private:
    static inline const std::string kKey = "'HKLM\\SOFTWARE\\Policies\\Corvane'";

    int reg(const std::string& arguments) const
    {
        return std::system((m_launcher + " reg " + arguments + " >/dev/null 2>&1").c_str());
    }

    std::string m_launcher = harness::environmentOr("CORVANE_TEST_LAUNCHER");
    std::string m_directory = harness::environmentOr("CORVANE_TEST_POLICY_DIR");
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
        } catch (const harness::WsError&) {
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
    for (int kind = -1; kind < store.unreadableKinds(); ++kind) {
        const bool unreadable = kind >= 0;
        SCOPED_TRACE(unreadable ? "unreadable policy " + std::to_string(kind) : "no valid entry");
        if (unreadable) {
            store.setUnreadable(kind);
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
