#include "plugin/Protocol.h"

#include "plugin/Utf8.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace plugin {
namespace {

using notification::InvalidSyntaxResponse;
using notification::InvokePluginFunctionNotification;
using notification::LoadPluginNotification;

// A string member's text up to its first NUL, or null when the member is
// missing, not a string, or empty once cut there.
const char* usableString(const rapidjson::Value& object, const char* name)
{
    const auto member = object.FindMember(name);
    if (member == object.MemberEnd() || !member->value.IsString()) {
        return nullptr;
    }
    const char* text = member->value.GetString();
    return text[0] == '\0' ? nullptr : text;
}

// The text up to its first NUL, as valid UTF-8: the text itself when it is,
// else a repaired copy kept in repaired.
std::string_view validUtf8UpToNul(std::string_view text, std::string& repaired)
{
    text = text.substr(0, text.find('\0'));
    if (isValidUtf8(text)) {
        return text;
    }
    repaired = toValidUtf8(text);
    return repaired;
}

} // namespace

std::shared_ptr<notification::PluginNotification> decodeRequest(std::string_view payload)
{
    if (payload.empty()) {
        return std::make_shared<InvalidSyntaxResponse>("Bad request");
    }

    // A request of a few KiB is parsed without a heap allocation: its values
    // go into a buffer on the stack, and the allocator only takes chunks from
    // the heap beyond that.
    char valueBuffer[4096];
    rapidjson::MemoryPoolAllocator<> valueAllocator(valueBuffer, sizeof valueBuffer);
    rapidjson::CrtAllocator parseAllocator;
    rapidjson::Document document(&valueAllocator, 1024, &parseAllocator);
    // Iterative parsing accepts exactly what the recursive parser does, but a
    // deeply nested payload cannot exhaust the stack.
    document.Parse<rapidjson::kParseIterativeFlag>(payload.data(), payload.size());
    if (document.HasParseError()) {
        return std::make_shared<InvalidSyntaxResponse>("Invalid message format");
    }
    if (!document.IsObject()) {
        return std::make_shared<InvalidSyntaxResponse>("message not have MsgId");
    }

    const auto msgId = document.FindMember("MsgId");
    if (msgId == document.MemberEnd() || !msgId->value.IsString()) {
        return std::make_shared<InvalidSyntaxResponse>("message not have MsgId");
    }

    std::shared_ptr<notification::PluginNotification> request;
    if (const char* module = usableString(document, "Module")) {
        request = std::make_shared<LoadPluginNotification>(module);
    } else if (const char* method = usableString(document, "Method")) {
        const char* param = usableString(document, "Param");
        request = std::make_shared<InvokePluginFunctionNotification>(method, param ? param : "{}");
    } else {
        return std::make_shared<InvalidSyntaxResponse>("not find operation(Module or Method)");
    }
    request->setMsgId(msgId->value.GetString());
    return request;
}

void writeResponse(const notification::ResponseNotification& response,
                   const std::function<void(std::string_view)>& consume)
{
    std::string scratch;
    std::string fixedMsgId;
    std::string fixedText;
    const std::string_view msgId = validUtf8UpToNul(response.msgId(), fixedMsgId);
    const std::string_view text = validUtf8UpToNul(response.responseTextView(scratch), fixedText);

    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("MsgId");
    writer.String(msgId.data(), static_cast<rapidjson::SizeType>(msgId.size()));
    writer.Key("Result");
    writer.Bool(response.success());
    writer.Key("Response");
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
    writer.EndObject();
    consume(std::string_view(buffer.GetString(), buffer.GetSize()));
}

std::string writeResponse(const notification::ResponseNotification& response)
{
    std::string answer;
    writeResponse(response, [&answer](std::string_view text) { answer = text; });
    return answer;
}

} // namespace plugin
