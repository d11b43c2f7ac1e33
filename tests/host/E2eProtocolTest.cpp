// Every answer of the request protocol, byte for byte, against the real
// service with real plug-ins.

#include "harness/E2eTest.h"

#include <gtest/gtest.h>

using namespace e2e;

namespace {

class ProtocolTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceOptions options;
        options.plugins = {"echo", "noinvoke", "garbage", "refusing"};
        startService(options);
    }
};

TEST_F(ProtocolTest, rejectedRequests_areAnsweredWithTheirReasonAndKeepTheConnection)
{
    EXPECT_EQ(client.request(""), invalidSyntax("Bad request"));
    EXPECT_EQ(client.request("   "), invalidSyntax("Invalid message format"));
    EXPECT_EQ(client.request("{\"MsgId\":\"1\"} {}"), invalidSyntax("Invalid message format"));
    EXPECT_EQ(client.request("{\"MsgId\":\"1\",}"), invalidSyntax("Invalid message format"));
    EXPECT_EQ(client.request("{}"), invalidSyntax("message not have MsgId"));
    EXPECT_EQ(client.request("[]"), invalidSyntax("message not have MsgId"));
    EXPECT_EQ(client.request("null"), invalidSyntax("message not have MsgId"));
    EXPECT_EQ(client.request("{\"MsgId\":7,\"Module\":\"echo\"}"), invalidSyntax("message not have MsgId"));
    EXPECT_EQ(client.request("{\"Method\":\"echo\"}"), invalidSyntax("message not have MsgId"));
    EXPECT_EQ(client.request("{\"MsgId\":\"1\"}"), invalidSyntax("not find operation(Module or Method)"));
    EXPECT_EQ(client.request("{\"MsgId\":\"1\",\"Module\":\"\",\"Method\":5}"),
              invalidSyntax("not find operation(Module or Method)"));
    // Still serving after all of that.
    EXPECT_EQ(client.request(loadRequest("echo")), kLoadSuccess);
}

TEST_F(ProtocolTest, callBeforeLoad_isAnsweredModuleNotLoaded)
{
    EXPECT_EQ(client.request("{\"MsgId\":\"18\",\"Method\":\"echo\",\"Param\":\"x\"}"),
              harness::notLoaded("18"));
}

TEST_F(ProtocolTest, loadFailures_reportTheLoaderError)
{
    EXPECT_EQ(client.request(loadRequest("missing")), loadError(126));
    EXPECT_EQ(client.request(loadRequest("garbage")), loadError(193));
    // Past the export check, the loader's own refusal: an unresolved symbol
    // on Linux, DllMain returning FALSE on Windows.
    const bool linux = harness::environmentOr("CORVANE_TEST_LAUNCHER").empty();
    EXPECT_EQ(client.request(loadRequest("refusing")), loadError(linux ? 193 : 1114));
    EXPECT_EQ(client.request(loadRequest("noinvoke")), answer("LoadModule", false, "Invalid plugin format"));
    EXPECT_EQ(client.request("{\"MsgId\":\"2\",\"Method\":\"echo\"}"),
              harness::notLoaded("2"));
}

TEST_F(ProtocolTest, moduleNamesThatLeaveTheDirectory_areRefusedWithoutLoading)
{
    const std::string echoPath = service->directory() + "/" + ServiceProcess::moduleFileName("echo");
    for (const std::string& name : {echoPath, std::string("./echo"), std::string("..\\\\echo"), std::string("c:echo")}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(client.request(loadRequest(name)), loadError(123));
    }
    EXPECT_EQ(client.request("{\"MsgId\":\"3\",\"Method\":\"echo\"}"), harness::notLoaded("3"));
}

TEST_F(ProtocolTest, invalidUtf8ModuleInBinaryMessage_isRefusedAndServiceGoesOn)
{
    client.sendBinary("{\"MsgId\":\"1\",\"Module\":\"ec\xFFho\"}");
    const auto reply = client.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->opcode, harness::Opcode::Text);
    EXPECT_EQ(reply->payload, loadError(123));
    EXPECT_EQ(client.request(loadRequest("echo")), kLoadSuccess);
}

TEST_F(ProtocolTest, calls_answerWithThePluginsTextOrTheStatusText)
{
    ASSERT_EQ(client.request("{\"MsgId\":\"17\",\"Module\":\"echo\",\"Method\":\"failSilently\"}"), kLoadSuccess);

    // rc 0 with a text; the parameter reaches the plug-in unchanged.
    EXPECT_EQ(client.request("{\"MsgId\":\"18\",\"Method\":\"echo\",\"Param\":\"[1,2]\"}"), answer("18", true, "[1,2]"));
    // rc 0 without a text.
    EXPECT_EQ(client.request("{\"MsgId\":\"19\",\"Method\":\"unknown\"}"),
              answer("19", true, "[ unknown ] function success."));
    // rc -1 with and without a text.
    EXPECT_EQ(client.request("{\"MsgId\":\"20\",\"Method\":\"failWithText\"}"),
              answer("20", false, "echo failed on purpose"));
    EXPECT_EQ(client.request("{\"MsgId\":\"21\",\"Method\":\"failSilently\"}"),
              answer("21", false, "[ failSilently ] function faild."));
    // An exception escaping Invoke is a failed call, and it is still answered.
    EXPECT_EQ(client.request("{\"MsgId\":\"22\",\"Method\":\"throw\"}"), answer("22", false, "[ throw ] function faild."));
    // An empty MsgId is echoed as it is.
    EXPECT_EQ(client.request("{\"MsgId\":\"\",\"Method\":\"unknown\"}"), answer("", true, "[ unknown ] function success."));
}

TEST_F(ProtocolTest, parameterRules_applyOnTheWire)
{
    ASSERT_EQ(client.request(loadRequest("echo")), kLoadSuccess);
    EXPECT_EQ(client.request("{\"MsgId\":\"a\",\"Method\":\"echo\"}"), answer("a", true, "{}"));
    EXPECT_EQ(client.request("{\"MsgId\":\"a\",\"Method\":\"echo\",\"Param\":\"\"}"), answer("a", true, "{}"));
    EXPECT_EQ(client.request("{\"MsgId\":\"a\",\"Method\":\"echo\",\"Param\":{\"k\":1}}"), answer("a", true, "{}"));
    EXPECT_EQ(client.request("{\"MsgId\":\"a\",\"MsgId\":\"b\",\"Method\":\"echo\",\"Param\":\"p\"}"),
              answer("a", true, "p"));
    EXPECT_EQ(client.request("{\"MsgId\":\"a\",\"Module\":\"\",\"Method\":\"method\"}"), answer("a", true, "method"));
    EXPECT_EQ(client.request("{\"MsgId\":\"a\",\"Method\":\"echo\",\"Param\":\"cut\\u0000here\"}"),
              answer("a", true, "cut"));
}

TEST_F(ProtocolTest, answerTexts_areEscapedAndValidUtf8)
{
    ASSERT_EQ(client.request(loadRequest("echo")), kLoadSuccess);
    EXPECT_EQ(client.request("{\"MsgId\":\"q\\\"\\n\\u00e9\",\"Method\":\"echo\",\"Param\":\"a/b\\\\c\\u0001\"}"),
              "{\"MsgId\":\"q\\\"\\n\xC3\xA9\",\"Result\":true,\"Response\":\"a/b\\\\c\\u0001\"}");
    EXPECT_EQ(client.request("{\"MsgId\":\"u\",\"Method\":\"invalidUtf8\"}"),
              answer("u", true, "bad \xEF\xBF\xBD( and \xEF\xBF\xBD end"));
    EXPECT_EQ(client.request("{\"MsgId\":\"n\",\"Method\":\"embeddedNul\"}"), answer("n", true, "before"));
    const std::string huge = client.request("{\"MsgId\":\"h\",\"Method\":\"huge\"}");
    EXPECT_EQ(huge, answer("h", true, std::string(4u << 20, 'x')));
}

} // namespace
