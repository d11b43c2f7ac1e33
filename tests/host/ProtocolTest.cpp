#include "plugin/Protocol.h"

#include <gtest/gtest.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

using namespace notification;
using plugin::decodeRequest;
using plugin::writeResponse;

namespace {

// The rejection reason of a decoded request, or "" if it was accepted.
std::string rejection(std::string_view payload)
{
    auto decoded = decodeRequest(payload);
    auto rejected = std::dynamic_pointer_cast<InvalidSyntaxResponse>(decoded);
    if (!rejected) {
        return "";
    }
    EXPECT_EQ(rejected->msgId(), "InvalidSyntax");
    const std::string prefix = "Invalid syntax, reason: ";
    return rejected->responseText().substr(prefix.size());
}

std::shared_ptr<InvokePluginFunctionNotification> asCall(std::string_view payload)
{
    auto call = std::dynamic_pointer_cast<InvokePluginFunctionNotification>(decodeRequest(payload));
    EXPECT_NE(call, nullptr) << payload;
    return call;
}

TEST(ProtocolTest, decodeRequest_rejectsInTheOrderOfTheChecks)
{
    EXPECT_EQ(rejection(""), "Bad request");
    for (const char* malformed : {" ", "{", "{}{}", "{\"MsgId\":\"1\",}", "NaN", "{\"MsgId\":'1'}", "/**/{}",
                                  "\xBF{}", "\xEF\xBB{}", "\xEF\xBB\xBF"}) {
        EXPECT_EQ(rejection(malformed), "Invalid message format") << malformed;
    }
    // Only a whole UTF-8 byte order mark may stand in front of the value.
    EXPECT_EQ(rejection("\xEF\xBB\xBF{}"), "message not have MsgId");
    // A NUL byte after the value must not hide what follows it.
    const char afterNul[] = "{\"MsgId\":\"1\",\"Method\":\"m\"}\0{\"MsgId\":\"2\",\"Module\":\"x\"}";
    EXPECT_EQ(rejection(std::string_view(afterNul, sizeof afterNul - 1)), "Invalid message format");
    for (const char* noId : {"{}", "[]", "null", "\"text\"", "42", "{\"MsgId\":7,\"Module\":\"q\"}",
                             "{\"MsgId\":null,\"Method\":\"m\"}", "{\"msgid\":\"1\",\"Method\":\"m\"}"}) {
        EXPECT_EQ(rejection(noId), "message not have MsgId") << noId;
    }
    for (const char* noOperation : {"{\"MsgId\":\"1\"}", "{\"MsgId\":\"1\",\"Module\":\"\",\"Method\":\"\"}",
                                    "{\"MsgId\":\"1\",\"Module\":5,\"Method\":[\"m\"]}",
                                    "{\"MsgId\":\"1\",\"Module\":\"\\u0000x\"}", "{\"MsgId\":\"1\",\"Param\":\"p\"}"}) {
        EXPECT_EQ(rejection(noOperation), "not find operation(Module or Method)") << noOperation;
    }
}

TEST(ProtocolTest, decodeRequest_moduleWinsOverMethodAndCarriesTheMsgId)
{
    auto loadCommand = std::dynamic_pointer_cast<LoadPluginNotification>(
        decodeRequest("{\"Method\":\"m\",\"MsgId\":\"17\",\"Module\":\"Quintrel\",\"Other\":1}"));
    ASSERT_NE(loadCommand, nullptr);
    EXPECT_EQ(loadCommand->moduleName(), "Quintrel");
    EXPECT_EQ(loadCommand->msgId(), "17");

    auto call = asCall("{\"MsgId\":\"\",\"Module\":\"\",\"Method\":\"GetCert\"}");
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call->functionName(), "GetCert");
    EXPECT_EQ(call->msgId(), "");
}

TEST(ProtocolTest, decodeRequest_parameterRules)
{
    const auto param = [](const std::string& member) {
        auto call = asCall("{\"MsgId\":\"a\",\"Method\":\"m\"" + member + "}");
        return call ? call->param() : std::string("<not a call>");
    };
    EXPECT_EQ(param(""), "{}");
    EXPECT_EQ(param(",\"Param\":\"\""), "{}");
    EXPECT_EQ(param(",\"Param\":{\"k\":1}"), "{}");
    EXPECT_EQ(param(",\"Param\":[1]"), "{}");
    EXPECT_EQ(param(",\"Param\":3"), "{}");
    EXPECT_EQ(param(",\"Param\":\"[1,2]\""), "[1,2]");
    EXPECT_EQ(param(",\"Param\":\"cut\\u0000rest\""), "cut");
    EXPECT_EQ(param(",\"Param\":\"first\",\"Param\":\"second\""), "first");

    auto call = asCall("{\"MsgId\":\"a\\u0000b\",\"MsgId\":\"c\",\"Method\":\"m\\u0000n\",\"Method\":\"x\"}");
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call->msgId(), "a");
    EXPECT_EQ(call->functionName(), "m");
}

TEST(ProtocolTest, decodeRequest_survivesDeepNesting)
{
    EXPECT_EQ(rejection(std::string(100000, '[')), "Invalid message format");
    EXPECT_EQ(rejection(std::string(100000, '[') + std::string(100000, ']')), "message not have MsgId");
    std::string nestedObjects;
    for (int i = 0; i < 100000; ++i) {
        nestedObjects += "{\"a\":";
    }
    EXPECT_EQ(rejection(nestedObjects), "Invalid message format");
}

// Everything a decoded request carries, as one text.
std::string outcome(const std::shared_ptr<PluginNotification>& decoded)
{
    if (auto rejected = std::dynamic_pointer_cast<InvalidSyntaxResponse>(decoded)) {
        return rejected->responseText();
    }
    if (auto load = std::dynamic_pointer_cast<LoadPluginNotification>(decoded)) {
        return "load " + load->moduleName() + " as " + decoded->msgId();
    }
    auto call = std::dynamic_pointer_cast<InvokePluginFunctionNotification>(decoded);
    return call ? "call " + call->functionName() + "(" + call->param() + ") as " + decoded->msgId() : "nothing";
}

TEST(ProtocolTest, decodeRequest_documentsTooDeepForTheReaderGetTheSameRows)
{
    // Checked level by level from the first level on, each gets what the
    // reader alone gives it.
    for (const char* payload :
         {"{\"MsgId\":\"1\",\"Module\":\"q\",\"deep\":[{\"a\":[1,{\"b\":\"\\\"]}\"}]}],\"Method\":\"m\"}",
          "{\"x\":{\"MsgId\":\"in\"},\"MsgId\":\"out\",\"Method\":\"m\",\"Param\":\"p\\u0000q\"}",
          "{\"MsgId\":[\"1\"],\"Method\":\"m\"}", "{\"MsgId\":\"1\",\"Method\":{\"m\":1}}",
          "[{\"MsgId\":\"1\",\"Method\":\"m\"}]", " {\"MsgId\" : \"1\" , \"Method\" : \"m\" , \"e\" : [ ] , \"o\" : { } } ",
          "{\"MsgId\":\"1\",\"Method\":\"m\",\"x\":[[[1e400]]]}", "{\"MsgId\":\"1\",\"Method\":\"m\",\"x\":[[\"\\u12\"]]}",
          "{\"MsgId\":\"1\",\"Method\":\"m\",\"x\":[[-0.5e+3,true,false,null]]}",
          "{\"MsgId\":\"1\",\"Method\":\"m\",\"x\":[[01]]}", "{\"MsgId\":\"1\",\"Method\":\"m\",\"x\":[[1,]]}",
          "{\"MsgId\":\"1\",\"Method\":\"m\",\"x\":[{\"k\" 1}]}", "{\"MsgId\":\"1\",\"Method\":\"m\",\"x\":[{1:2}]}",
          "{\"MsgId\":\"1\",\"Method\":\"m\",\"x\":[[tru]]}", "{\"MsgId\":\"1\",\"Method\":\"m\",\"x\":[[\"a\tb\"]]}",
          "{\"MsgId\":\"1\",\"Method\":\"m\",\"x\":[}]}", "{\"MsgId\":\"1\",\"Method\":\"m\",\"x\":{]}",
          "{\"MsgId\":\"1\",\"Method\":\"m\",\"x\":[[\"\\ud800\"]]}", "{\"MsgId\":\"1\",\"Method\":\"m\"}]",
          "[[]] x", "[[\"open", "[1 2]", "{\"a\":1,}", "[]", "\"text\"", "{}", "\xEF\xBB\xBF[[{}]]"}) {
        const std::string expected = outcome(decodeRequest(payload));
        for (std::size_t depth = 0; depth < 3; ++depth) {
            EXPECT_EQ(outcome(decodeRequest(payload, depth)), expected) << payload << " from level " << depth;
        }
    }
}

TEST(ProtocolTest, writeResponse_isCompactInFixedOrder)
{
    auto response = std::make_shared<InvokeFunctionResponse>(true, "text");
    response->setMsgId("18");
    EXPECT_EQ(writeResponse(*response), "{\"MsgId\":\"18\",\"Result\":true,\"Response\":\"text\"}");
    EXPECT_EQ(writeResponse(InvalidSyntaxResponse("Bad request")),
              "{\"MsgId\":\"InvalidSyntax\",\"Result\":false,\"Response\":\"Invalid syntax, reason: Bad request\"}");
}

TEST(ProtocolTest, writeResponse_escapesLikeTheDefaultWriter)
{
    InvokeFunctionResponse response(false, "q\" b\\ s/ \b\t\n\f\r \x01\x1F \xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(writeResponse(response),
              "{\"MsgId\":\"\",\"Result\":false,\"Response\":"
              "\"q\\\" b\\\\ s/ \\b\\t\\n\\f\\r \\u0001\\u001F \xC3\xA9\xE2\x82\xAC\"}");
}

// The same answer from the library's plain writer.
std::string plainlyWritten(const std::string& msgId, bool success, const std::string& text)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("MsgId");
    writer.String(msgId.c_str(), static_cast<rapidjson::SizeType>(msgId.size()));
    writer.Key("Result");
    writer.Bool(success);
    writer.Key("Response");
    writer.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
    writer.EndObject();
    return buffer.GetString();
}

TEST(ProtocolTest, writeResponse_isThePlainWritersTextForEveryAsciiByteAnywhere)
{
    for (int byte = 1; byte < 0x80; ++byte) {
        for (std::size_t at = 0; at < 17; ++at) {
            std::string text(20, 'x');
            text[at] = static_cast<char>(byte);
            InvokeFunctionResponse response(byte % 2 == 0, text + "\xC3\xA9");
            response.setMsgId(text);
            ASSERT_EQ(writeResponse(response), plainlyWritten(text, byte % 2 == 0, text + "\xC3\xA9"))
                << "byte " << byte << " at " << at;
        }
    }
}

TEST(ProtocolTest, writeResponse_replacesInvalidUtf8AndCutsAtNul)
{
    InvokeFunctionResponse response(true, std::string("a\xFF" "b\xC3", 4));
    response.setMsgId(std::string("id\0hidden", 9));
    EXPECT_EQ(writeResponse(response),
              "{\"MsgId\":\"id\",\"Result\":true,\"Response\":\"a\xEF\xBF\xBD" "b\xEF\xBF\xBD\"}");
}

} // namespace
