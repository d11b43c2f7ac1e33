// The request decoder against the document parser it replaced: for any
// payload both give the same outcome and the same members, whichever way the
// decoder takes (its reader alone, or the level-by-level check of deep
// documents, forced here from the first levels on).

#include "FuzzCheck.h"

#include "plugin/Protocol.h"

#include <rapidjson/document.h>
#include <rapidjson/memorystream.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

using namespace notification;

namespace {

struct Outcome {
    std::string rejection; // empty for a request
    std::string msgId, module, method, param;

    bool operator==(const Outcome& other) const
    {
        return rejection == other.rejection && msgId == other.msgId && module == other.module &&
               method == other.method && param == other.param;
    }
};

Outcome rejected(std::string reason)
{
    Outcome outcome;
    outcome.rejection = InvalidSyntaxResponse(std::move(reason)).responseText();
    return outcome;
}

const char* usableString(const rapidjson::Value& object, const char* name)
{
    const auto member = object.FindMember(name);
    if (member == object.MemberEnd() || !member->value.IsString()) {
        return nullptr;
    }
    const char* text = member->value.GetString();
    return text[0] == '\0' ? nullptr : text;
}

// The decoder as it was: the whole document built, then looked up.
Outcome documentDecode(std::string_view payload)
{
    if (payload.empty()) {
        return rejected("Bad request");
    }
    if (payload.find('\0') != std::string_view::npos) {
        return rejected("Invalid message format");
    }
    std::string_view text = payload;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    rapidjson::Document document;
    rapidjson::MemoryStream stream(text.data(), text.size());
    document.ParseStream<rapidjson::kParseIterativeFlag, rapidjson::UTF8<>>(stream);
    if (document.HasParseError()) {
        return rejected("Invalid message format");
    }
    if (!document.IsObject()) {
        return rejected("message not have MsgId");
    }
    const auto msgId = document.FindMember("MsgId");
    if (msgId == document.MemberEnd() || !msgId->value.IsString()) {
        return rejected("message not have MsgId");
    }
    Outcome outcome;
    outcome.msgId = msgId->value.GetString();
    if (const char* module = usableString(document, "Module")) {
        outcome.module = module;
    } else if (const char* method = usableString(document, "Method")) {
        outcome.method = method;
        const char* param = usableString(document, "Param");
        outcome.param = param ? param : "{}";
    } else {
        return rejected("not find operation(Module or Method)");
    }
    return outcome;
}

Outcome outcomeOf(const std::shared_ptr<PluginNotification>& decoded)
{
    FUZZ_CHECK(decoded != nullptr);
    Outcome outcome;
    if (const auto invalid = std::dynamic_pointer_cast<InvalidSyntaxResponse>(decoded)) {
        outcome.rejection = invalid->responseText();
        return outcome;
    }
    outcome.msgId = decoded->msgId();
    if (const auto load = std::dynamic_pointer_cast<LoadPluginNotification>(decoded)) {
        outcome.module = load->moduleName();
    } else {
        const auto call = std::dynamic_pointer_cast<InvokePluginFunctionNotification>(decoded);
        FUZZ_CHECK(call != nullptr);
        outcome.method = call->functionName();
        outcome.param = call->param();
    }
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view payload(reinterpret_cast<const char*>(data), size);
    const Outcome expected = documentDecode(payload);
    FUZZ_CHECK(outcomeOf(plugin::decodeRequest(payload)) == expected);
    for (std::size_t depth = 0; depth < 4; ++depth) {
        FUZZ_CHECK(outcomeOf(plugin::decodeRequest(payload, depth)) == expected);
    }
    return 0;
}
