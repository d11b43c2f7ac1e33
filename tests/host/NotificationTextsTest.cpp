#include "notification/ConnectionNotifications.h"
#include "notification/PluginNotifications.h"
#include "notification/AnswerTexts.h"

#include <gtest/gtest.h>

using namespace notification;

namespace {

TEST(NotificationTextsTest, connectionNotifications_describeThemselves)
{
    EXPECT_EQ(ConnectReadyNotification(nullptr).describe(), "new connection...");
    EXPECT_EQ(ConnectCloseNotification(nullptr).describe(), "connection closing ...");
    const MsgNotification message(nullptr);
    EXPECT_EQ(message.describe(), message.typeName());
    EXPECT_EQ(message.connection(), nullptr);
}

// The service, the doctor and the harness take these from one header, so
// only this pin notices when one of them changes: pages match them as they
// are, misspellings included.
TEST(NotificationTextsTest, answerTexts_stayByteForByte)
{
    namespace a = notification::answers;
    const std::pair<const char*, const char*> pinned[] = {
        {a::kLoadMsgId, "LoadModule"},
        {a::kLoadSuccess, "Load module success"},
        {a::kInvalidPlugin, "Invalid plugin format"},
        {a::kLoadErrorPrefix, "Load Module error, can't find module.Error code: "},
        {a::kNotLoaded, "Module have not been loaded"},
        {a::kFunctionSuccess, "function success."},
        {a::kFunctionFailed, "function faild."},
        {a::kBadRequest, "Bad request"},
        {a::kInvalidFormat, "Invalid message format"},
        {a::kNoMsgId, "message not have MsgId"},
        {a::kNoOperation, "not find operation(Module or Method)"},
        {a::kInvalidSyntaxMsgId, "InvalidSyntax"},
        {a::kInvalidSyntaxPrefix, "Invalid syntax, reason: "},
    };
    for (const auto& [text, expected] : pinned) {
        EXPECT_STREQ(text, expected);
    }
}

TEST(NotificationTextsTest, describe_ofPluginCommands)
{
    EXPECT_EQ(InvokePluginFunctionNotification("Quintrel", "").describe(),
              "user calling function: Quintrel\nlength of param: 0\n");
    EXPECT_EQ(InvokePluginFunctionNotification("m", "{\"a\":1}").describe(), "user calling function: m\nlength of param: 7\n");

    const LoadPluginNotification loadCommand("x");
    const UnLoadPluginNotification unloadCommand;
    EXPECT_EQ(loadCommand.describe(), loadCommand.typeName());
    EXPECT_EQ(unloadCommand.describe(), unloadCommand.typeName());
    EXPECT_NE(loadCommand.typeName(), unloadCommand.typeName());
}

TEST(NotificationTextsTest, responseText_ofEveryResponseClass)
{
    ResponseNotification unloaded(true);
    EXPECT_EQ(unloaded.responseText(), "Response of :success");
    ResponseNotification failed(false);
    failed.setMsgId("7");
    EXPECT_EQ(failed.responseText(), "Response of 7:faild");

    EXPECT_EQ(InvokeFunctionResponse(false, "plug-in text").responseText(), "plug-in text");
    EXPECT_EQ(LoadModuleResponse(true, "Load module success").responseText(), "Load module success");
}

TEST(NotificationTextsTest, invalidSyntaxResponse_defaultsToInvalidSyntaxAndFailure)
{
    InvalidSyntaxResponse response("Bad request");
    EXPECT_EQ(response.msgId(), "InvalidSyntax");
    EXPECT_FALSE(response.success());
    EXPECT_EQ(response.responseText(), "Invalid syntax, reason: Bad request");
    response.setMsgId("9");
    EXPECT_EQ(response.msgId(), "9");
}

TEST(NotificationTextsTest, classTree_unloadIsNoPluginNotificationButResponsesAreResponses)
{
    const std::shared_ptr<Notification> unload = std::make_shared<UnLoadPluginNotification>();
    EXPECT_EQ(std::dynamic_pointer_cast<PluginNotification>(unload), nullptr);
    for (const std::shared_ptr<Notification>& response :
         {std::shared_ptr<Notification>(std::make_shared<InvalidSyntaxResponse>("r")),
          std::shared_ptr<Notification>(std::make_shared<InvokeFunctionResponse>(true, "t")),
          std::shared_ptr<Notification>(std::make_shared<LoadModuleResponse>(true, "t"))}) {
        EXPECT_NE(std::dynamic_pointer_cast<ResponseNotification>(response), nullptr) << response->typeName();
    }
}

} // namespace
