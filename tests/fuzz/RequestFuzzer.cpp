// The request path: any payload decodes to exactly one notification, which
// agrees with a separate SAX reading of the payload, and every answer the
// writer makes, from decoded requests or from arbitrary fields, is valid
// UTF-8 holding one object with MsgId, Result and Response in that order.

#include "FuzzCheck.h"
#include "Utf8Check.h"

#include "plugin/Protocol.h"

#include <rapidjson/reader.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

using namespace notification;

namespace {

std::string upToNul(std::string_view text)
{
    return std::string(text.substr(0, text.find('\0')));
}

struct Member {
    bool seen = false;
    bool isString = false;
    std::string text;   // up to the first NUL
    bool usable() const { return isString && !text.empty(); }
};

// The first occurrence of each member the protocol names, at the top level.
class RequestReader : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, RequestReader> {
public:
    bool topIsObject = false;
    Member msgId, module, method, param;

    bool Default() { return value(false, {}); }
    bool String(const char* text, rapidjson::SizeType length, bool) { return value(true, { text, length }); }
    bool StartObject()
    {
        topIsObject = topIsObject || m_depth == 0;
        value(false, {});
        ++m_depth;
        return true;
    }
    bool StartArray()
    {
        value(false, {});
        ++m_depth;
        return true;
    }
    bool EndObject(rapidjson::SizeType) { --m_depth; return true; }
    bool EndArray(rapidjson::SizeType) { --m_depth; return true; }
    bool Key(const char* text, rapidjson::SizeType length, bool)
    {
        if (m_depth == 1) {
            const std::string_view name(text, length);
            m_pending = name == "MsgId" ? &msgId : name == "Module" ? &module
                      : name == "Method" ? &method : name == "Param" ? &param : nullptr;
        }
        return true;
    }

private:
    bool value(bool isString, std::string_view text)
    {
        if (m_depth == 1 && m_pending != nullptr && !m_pending->seen) {
            m_pending->seen = true;
            m_pending->isString = isString;
            m_pending->text = upToNul(text);
        }
        m_pending = nullptr;
        return true;
    }

    int m_depth = 0;
    Member* m_pending = nullptr;
};

struct Answer {
    std::string msgId;
    bool result = false;
    std::string response;
};

// Accepts exactly {"MsgId":string,"Result":bool,"Response":string}.
class AnswerReader : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, AnswerReader> {
public:
    Answer answer;

    bool Default() { return false; }
    bool StartObject() { return m_step++ == 0; }
    bool Key(const char* text, rapidjson::SizeType length, bool)
    {
        static const char* const kNames[] = { "MsgId", "Result", "Response" };
        if (m_step % 2 == 0 || m_step > 5) {
            return false;
        }
        return std::string_view(text, length) == kNames[m_step++ / 2];
    }
    bool String(const char* text, rapidjson::SizeType length, bool)
    {
        if (m_step != 2 && m_step != 6) {
            return false;
        }
        (m_step == 2 ? answer.msgId : answer.response).assign(text, length);
        ++m_step;
        return true;
    }
    bool Bool(bool value)
    {
        answer.result = value;
        return m_step++ == 4;
    }
    bool EndObject(rapidjson::SizeType members) { return m_step++ == 7 && members == 3; }

private:
    int m_step = 0;
};

// Writes the response and checks the answer's shape and that it carries the
// notification's fields, cut at their first NUL, wherever they were valid
// UTF-8 (invalid bytes are replaced, and the validation flag proves the rest).
Answer writeAndCheck(const ResponseNotification& response)
{
    const std::string written = plugin::writeResponse(response);
    FUZZ_CHECK(written.find('\0') == std::string::npos);
    FUZZ_CHECK(written.front() == '{' && written.back() == '}');
    AnswerReader reader;
    rapidjson::Reader parser;
    rapidjson::StringStream in(written.c_str());
    FUZZ_CHECK(!parser.Parse<rapidjson::kParseValidateEncodingFlag>(in, reader).IsError());

    FUZZ_CHECK(reader.answer.result == response.success());
    const std::string msgId = upToNul(response.msgId());
    FUZZ_CHECK(!isUtf8(msgId) || reader.answer.msgId == msgId);
    const std::string text = upToNul(response.responseText());
    FUZZ_CHECK(!isUtf8(text) || reader.answer.response == text);
    return reader.answer;
}

// The rejection reason a payload must get, or "" when it is a request.
std::string expectedRejection(std::string_view payload, const RequestReader& request, bool parsed)
{
    if (payload.empty()) {
        return "Bad request";
    }
    // A NUL byte is never part of JSON text.
    if (!parsed || payload.find('\0') != std::string_view::npos) {
        return "Invalid message format";
    }
    if (!request.topIsObject || !request.msgId.isString) {
        return "message not have MsgId";
    }
    if (!request.module.usable() && !request.method.usable()) {
        return "not find operation(Module or Method)";
    }
    return "";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view payload(reinterpret_cast<const char*>(data), size);
    const std::shared_ptr<PluginNotification> decoded = plugin::decodeRequest(payload);
    FUZZ_CHECK(decoded != nullptr);

    RequestReader request;
    std::string text(payload);
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {   // a JSON reader may ignore a byte order mark
        text.erase(0, 3);
    }
    rapidjson::StringStream in(text.c_str());
    rapidjson::Reader parser;
    const bool parsed = !parser.Parse<rapidjson::kParseIterativeFlag>(in, request).IsError();
    const std::string reason = expectedRejection(payload, request, parsed);

    const auto rejected = std::dynamic_pointer_cast<InvalidSyntaxResponse>(decoded);
    const auto load = std::dynamic_pointer_cast<LoadPluginNotification>(decoded);
    const auto call = std::dynamic_pointer_cast<InvokePluginFunctionNotification>(decoded);
    FUZZ_CHECK((rejected != nullptr) + (load != nullptr) + (call != nullptr) == 1);

    if (rejected) {
        FUZZ_CHECK(!reason.empty());
        const Answer answer = writeAndCheck(*rejected);
        FUZZ_CHECK(answer.msgId == "InvalidSyntax" && !answer.result);
        FUZZ_CHECK(answer.response == "Invalid syntax, reason: " + reason);
    } else {
        FUZZ_CHECK(reason.empty());
        FUZZ_CHECK(decoded->msgId() == request.msgId.text);
    }
    if (load) {
        FUZZ_CHECK(request.module.usable() && load->moduleName() == request.module.text);
    }
    if (call) {
        FUZZ_CHECK(!request.module.usable() && call->functionName() == request.method.text);
        FUZZ_CHECK(call->param() == (request.param.usable() ? request.param.text : "{}"));
        // The answer of a plug-in that returns no text names the method.
        InvokeFunctionResponse answer(true, "[ " + call->functionName() + " ] function success.");
        answer.setMsgId(call->msgId());
        writeAndCheck(answer);
    }

    // Every response class, with the payload's halves as its fields.
    const std::string_view msgId = payload.substr(0, size / 2);
    const std::string_view field = payload.substr(size / 2);
    const bool success = size % 2 == 1;
    InvokeFunctionResponse invoked(success, std::string(field));
    LoadModuleResponse loaded(success, std::string(field));
    InvalidSyntaxResponse invalid { std::string(field) };
    ResponseNotification unloaded(success);
    for (ResponseNotification* response : { static_cast<ResponseNotification*>(&invoked),
                                            static_cast<ResponseNotification*>(&loaded),
                                            static_cast<ResponseNotification*>(&invalid), &unloaded }) {
        response->setMsgId(std::string(msgId));
        writeAndCheck(*response);
    }
    return 0;
}
