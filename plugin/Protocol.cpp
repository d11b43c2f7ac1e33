#include "plugin/Protocol.h"

#include "plugin/Utf8.h"

#include <rapidjson/document.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

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

// Whether the JSON writer copies text as it is: it escapes only quotes,
// backslashes and control characters. Looked at eight bytes at a time.
bool writtenVerbatim(std::string_view text)
{
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHighBits = 0x8080808080808080u;
    // Nonzero when a byte of word is below n (n <= 0x80).
    const auto anyByteBelow = [](std::uint64_t word, std::uint64_t n) {
        return (word - n * kOnes) & ~word & kHighBits;
    };
    std::size_t i = 0;
    for (std::uint64_t word = 0; i + sizeof word <= text.size(); i += sizeof word) {
        std::memcpy(&word, text.data() + i, sizeof word);
        if ((anyByteBelow(word, 0x20) | anyByteBelow(word ^ ('"' * kOnes), 1) |
             anyByteBelow(word ^ ('\\' * kOnes), 1)) != 0) {
            return false;
        }
    }
    for (; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == '"' || c == '\\') {
            return false;
        }
    }
    return true;
}

// The answer's text as the JSON writer produces it. Unlike rapidjson's
// StringBuffer it does not reserve the worst case of escaping (six times the
// text) before each string, only what is written: a 1 MiB answer takes
// 1 MiB. The text ends up in a std::string without a copy.
class AnswerText {
public:
    using Ch = char;

    explicit AnswerText(std::size_t expectedSize)
        : m_text(expectedSize, '\0')
        , m_next(m_text.data())
        , m_end(m_next + m_text.size())
    {
    }

    void Put(char c)
    {
        if (m_next == m_end) {
            grow();
        }
        *m_next++ = c;
    }
    void Flush() {}

    std::string take() &&
    {
        m_text.resize(static_cast<std::size_t>(m_next - m_text.data()));
        return std::move(m_text);
    }

private:
    void grow()
    {
        const auto used = static_cast<std::size_t>(m_next - m_text.data());
        m_text.resize(std::max<std::size_t>(2 * m_text.size(), 64));
        m_next = m_text.data() + used;
        m_end = m_text.data() + m_text.size();
    }

    std::string m_text;
    char* m_next;
    char* m_end;
};

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
    // A request of a few KiB is parsed without a heap allocation: its values
    // go into a buffer on the stack, and the allocator only takes chunks from
    // the heap beyond that.
    char valueBuffer[4096];
    rapidjson::MemoryPoolAllocator<> valueAllocator(valueBuffer, sizeof valueBuffer);
    rapidjson::CrtAllocator parseAllocator;
    rapidjson::Document document(&valueAllocator, 1024, &parseAllocator);
    // Iterative parsing accepts exactly what the recursive parser does, but a
    // deeply nested payload cannot exhaust the stack.
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
    std::string scratch;
    std::string fixedMsgId;
    std::string fixedText;
    const std::string_view msgId = validUtf8UpToNul(response.msgId(), fixedMsgId);
    const std::string_view text = validUtf8UpToNul(response.responseTextView(scratch), fixedText);

    if (writtenVerbatim(msgId) && writtenVerbatim(text)) {
        // Exactly what the writer below makes of these texts, in one pass.
        std::string answer;
        answer.reserve(msgId.size() + text.size() + 48);
        answer.append(R"({"MsgId":")").append(msgId).append(R"(","Result":)");
        answer.append(response.success() ? "true" : "false").append(R"(,"Response":")").append(text).append(R"("})");
        return answer;
    }

    // Something to escape: the library's writer does that.
    AnswerText answer(msgId.size() + text.size() + 48);
    rapidjson::Writer<AnswerText> writer(answer);
    writer.StartObject();
    writer.Key("MsgId");
    writer.String(msgId.data(), static_cast<rapidjson::SizeType>(msgId.size()));
    writer.Key("Result");
    writer.Bool(response.success());
    writer.Key("Response");
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
    writer.EndObject();
    return std::move(answer).take();
}

} // namespace plugin
