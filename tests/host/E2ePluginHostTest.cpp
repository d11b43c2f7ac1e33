// The host interface: a plug-in that asks gets the origin of the connection
// it serves from the host, never from the page's parameter; plug-ins that do
// not ask answer as they would without it (the echo plug-in has no CorvaneSetHost).

#include "harness/E2eTest.h"

#include <gtest/gtest.h>

using namespace e2e;

namespace {

class PluginHostTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceOptions options;
        options.plugins = {"echo", "Hello"};
        client.setRequestHeader("Origin", "https://a.example");
        startService(options);
    }

    static std::string origin(WsClient& on, const std::string& param = "{}")
    {
        return on.request("{\"MsgId\":\"o\",\"Method\":\"Origin\",\"Param\":\"" + param + "\"}");
    }
};

TEST_F(PluginHostTest, eachCallGetsItsOwnConnectionsOrigin_oneModuleServingSeveral)
{
    ASSERT_EQ(client.request(loadRequest("Hello")), kLoadSuccess);
    WsClient other;
    other.setRequestHeader("Origin", "null");
    other.connect();
    WsClient none;
    none.connect();
    ASSERT_EQ(other.request(loadRequest("Hello")), kLoadSuccess);
    ASSERT_EQ(none.request(loadRequest("Hello")), kLoadSuccess);

    // Interleaved on purpose: the module is one in the process.
    EXPECT_EQ(origin(client), answer("o", true, "https://a.example"));
    EXPECT_EQ(origin(other), answer("o", true, "null"));
    EXPECT_EQ(origin(none), answer("o", true, "(none)"));
    EXPECT_EQ(origin(client, "{\\\"origin\\\":\\\"https://b.example\\\"}"), answer("o", true, "https://a.example"));

    // A plug-in without the export on the same connection: answers as ever.
    ASSERT_EQ(client.request(loadRequest("echo")), kLoadSuccess);
    EXPECT_EQ(client.request("{\"MsgId\":\"e\",\"Method\":\"echo\",\"Param\":\"x\"}"), answer("e", true, "x"));
    disconnect(other);
    disconnect(none);
}

} // namespace
