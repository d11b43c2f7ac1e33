#include "plugin/Protocol.h"

#include "plugin/Utf8.h"

#include <rapidjson/document.h>
#include <rapidjson/memorystream.h>
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

} // namespace

std::shared_ptr<notification::PluginNotification> decodeRequest(std::string_view payload)
{
    if (payload.empty()) {
        return std::make_shared<InvalidSyntaxResponse>("Bad request");
    }

    // The parser takes a NUL byte for the end of its input, so whatever
    // follows one would pass unread; no JSON text holds a raw NUL.
    if (payload.find('\0') != std::string_view::npos) {
        return std::make_shared<InvalidSyntaxResponse>("Invalid message format");
    }
    // A whole UTF-8 byte order mark in front is ignored, as JSON readers may.
    // RapidJSON's own skipping would drop any one of its bytes alone, so the
    // text is parsed from a plain byte stream instead.
    std::string_view text = payload;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    // Iterative parsing accepts exactly what the recursive parser does, but a
    // deeply nested payload cannot exhaust the stack.
    rapidjson::Document document;
    rapidjson::MemoryStream stream(text.data(), text.size());
    document.ParseStream<rapidjson::kParseIterativeFlag, rapidjson::UTF8<>>(stream);
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

std::string writeResponse(const notification::ResponseNotification& response)
{
    const std::string msgId = toValidUtf8(response.msgId().c_str());
    const std::string text = toValidUtf8(response.responseText().c_str());

    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("MsgId");
    writer.String(msgId.c_str(), static_cast<rapidjson::SizeType>(msgId.size()));
    writer.Key("Result");
    writer.Bool(response.success());
    writer.Key("Response");
    writer.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

} // namespace plugin
