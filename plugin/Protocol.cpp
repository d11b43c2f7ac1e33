#include "plugin/Protocol.h"

#include "notification/AnswerTexts.h"
#include "plugin/Utf8.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace plugin {

namespace answers = notification::answers;

namespace {

using notification::InvalidSyntaxResponse;
using notification::InvokePluginFunctionNotification;
using notification::LoadPluginNotification;

// The first occurrence of a top-level member the protocol reads.
struct Member {
    bool seen = false;
    bool isString = false;
    std::string text; // up to its first NUL

    // A string that is not empty once cut at its first NUL.
    const char* usable() const { return isString && !text.empty() ? text.c_str() : nullptr; }
};

// Keeps, of all the reader reports, whether the document is an object and
// the four members the protocol reads; nothing else is built. Past
// maxDepth levels it stops the reader: its stack costs eight bytes a level,
// and the document is checked another way (shallowCopyIfValid).
class RequestHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, RequestHandler> {
public:
    explicit RequestHandler(std::size_t maxDepth)
        : m_maxDepth(maxDepth)
    {
    }

    bool topIsObject = false;
    bool tooDeep = false;
    Member msgId, module, method, param;

    bool Default() { return value(false, {}); }
    bool String(const char* text, rapidjson::SizeType length, bool) { return value(true, {text, length}); }
    bool StartObject()
    {
        topIsObject = topIsObject || m_depth == 0;
        value(false, {});
        return enter();
    }
    bool StartArray()
    {
        value(false, {});
        return enter();
    }
    bool EndObject(rapidjson::SizeType) { return leave(); }
    bool EndArray(rapidjson::SizeType) { return leave(); }
    bool Key(const char* text, rapidjson::SizeType length, bool)
    {
        if (m_depth == 1) {
            const std::string_view name(text, length);
            m_pending = name == "MsgId"    ? &msgId
                        : name == "Module" ? &module
                        : name == "Method" ? &method
                        : name == "Param"  ? &param
                                           : nullptr;
        }
        return true;
    }

private:
    bool enter()
    {
        tooDeep = ++m_depth > m_maxDepth;
        return !tooDeep;
    }
    bool leave()
    {
        --m_depth;
        return true;
    }
    bool value(bool isString, std::string_view text)
    {
        if (m_depth == 1 && m_pending != nullptr && !m_pending->seen) {
            m_pending->seen = true;
            m_pending->isString = isString;
            m_pending->text.assign(text.substr(0, text.find('\0')));
        }
        m_pending = nullptr;
        return true;
    }

    std::size_t m_maxDepth;
    std::size_t m_depth = 0;
    Member* m_pending = nullptr;
};

using Reader = rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>>;

// Whether the reader takes text alone as one scalar (string, number or
// literal), as it would take it inside a document.
bool readerTakesScalar(Reader& reader, std::string_view text)
{
    rapidjson::BaseReaderHandler<rapidjson::UTF8<>> ignore;
    rapidjson::MemoryStream stream(text.data(), text.size());
    return !reader.Parse<rapidjson::kParseIterativeFlag>(stream, ignore).IsError();
}

bool isJsonSpace(char c)
{
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

// Where a scalar that starts at text[at] ends: after the closing quote of a
// string (npos when there is none), else at the first character that can
// follow a value. What lies between is judged by the reader.
std::size_t scalarEnd(std::string_view text, std::size_t at)
{
    if (text[at] == '"') {
        for (std::size_t i = at + 1; i < text.size(); ++i) {
            if (text[i] == '\\') {
                ++i;
            } else if (text[i] == '"') {
                return i + 1;
            }
        }
        return std::string_view::npos;
    }
    std::size_t i = at;
    while (i < text.size() && !isJsonSpace(text[i]) && std::string_view(",:[]{}\"").find(text[i]) == std::string_view::npos) {
        ++i;
    }
    return i;
}

// For a document too deep for the reader's stack: whether it is one JSON
// value exactly as the reader would take it, and if so the same document
// with every value below the top level replaced by 0, which the protocol
// reads the same. The nesting is checked here with one bit a level; every
// string, number and literal is handed to the reader alone.
std::optional<std::string> shallowCopyIfValid(std::string_view text)
{
    enum class Expect { value, valueOrClose, key, keyOrClose, colon, commaOrClose, end };
    Reader reader;
    std::vector<bool> inObject; // one entry a level
    std::string shallow;
    Expect expect = Expect::value;
    // The top-level container is level 1; below it nothing is copied.
    const auto copying = [&] { return inObject.size() <= 1; };
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (isJsonSpace(c)) {
            ++i;
            continue;
        }
        const bool atValue = expect == Expect::value || expect == Expect::valueOrClose;
        if ((c == ']' || c == '}') && (expect == Expect::commaOrClose || expect == Expect::valueOrClose ||
                                      expect == Expect::keyOrClose)) {
            if (inObject.empty() || inObject.back() != (c == '}') ||
                (expect == Expect::valueOrClose && c != ']') || (expect == Expect::keyOrClose && c != '}')) {
                return std::nullopt;
            }
            inObject.pop_back();
            if (copying()) {
                shallow += inObject.size() == 1 ? '0' : c;
            }
            expect = inObject.empty() ? Expect::end : Expect::commaOrClose;
            ++i;
        } else if (c == ',' && expect == Expect::commaOrClose) {
            if (copying()) {
                shallow += c;
            }
            expect = inObject.back() ? Expect::key : Expect::value;
            ++i;
        } else if (c == ':' && expect == Expect::colon) {
            if (copying()) {
                shallow += c;
            }
            expect = Expect::value;
            ++i;
        } else if ((c == '[' || c == '{') && atValue) {
            if (inObject.size() == 0) {
                shallow += c;
            }
            inObject.push_back(c == '{');
            expect = c == '{' ? Expect::keyOrClose : Expect::valueOrClose;
            ++i;
        } else if (atValue || ((expect == Expect::key || expect == Expect::keyOrClose) && c == '"')) {
            const std::size_t end = scalarEnd(text, i);
            if (end == std::string_view::npos || end == i || !readerTakesScalar(reader, text.substr(i, end - i))) {
                return std::nullopt;
            }
            if (copying()) {
                shallow.append(text.substr(i, end - i));
            }
            expect = !atValue ? Expect::colon : inObject.empty() ? Expect::end : Expect::commaOrClose;
            i = end;
        } else {
            return std::nullopt;
        }
    }
    if (expect != Expect::end) {
        return std::nullopt;
    }
    return shallow;
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
    return decodeRequest(payload, kReaderDepth);
}

std::shared_ptr<notification::PluginNotification> decodeRequest(std::string_view payload, std::size_t readerDepth)
{
    if (payload.empty()) {
        return std::make_shared<InvalidSyntaxResponse>(answers::kBadRequest);
    }

    // The parser takes a NUL byte for the end of its input, so whatever
    // follows one would pass unread; no JSON text holds a raw NUL.
    if (payload.find('\0') != std::string_view::npos) {
        return std::make_shared<InvalidSyntaxResponse>(answers::kInvalidFormat);
    }
    // A whole UTF-8 byte order mark in front is ignored, as JSON readers may.
    // RapidJSON's own skipping would drop any one of its bytes alone, so the
    // text is parsed from a plain byte stream instead.
    std::string_view text = payload;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    RequestHandler request(readerDepth);
    {
        Reader reader;
        rapidjson::MemoryStream stream(text.data(), text.size());
        // Iterative parsing accepts exactly what the recursive parser does, but
        // a deeply nested payload cannot exhaust the stack.
        if (reader.Parse<rapidjson::kParseIterativeFlag>(stream, request).IsError()) {
            if (!request.tooDeep) {
                return std::make_shared<InvalidSyntaxResponse>(answers::kInvalidFormat);
            }
            const std::optional<std::string> shallow = shallowCopyIfValid(text);
            if (!shallow) {
                return std::make_shared<InvalidSyntaxResponse>(answers::kInvalidFormat);
            }
            request = RequestHandler(1);
            rapidjson::MemoryStream shallowStream(shallow->data(), shallow->size());
            (void)reader.Parse<rapidjson::kParseIterativeFlag>(shallowStream, request);
        }
    }
    if (!request.topIsObject || !request.msgId.isString) {
        return std::make_shared<InvalidSyntaxResponse>(answers::kNoMsgId);
    }

    std::shared_ptr<notification::PluginNotification> result;
    if (const char* module = request.module.usable()) {
        result = std::make_shared<LoadPluginNotification>(module);
    } else if (const char* method = request.method.usable()) {
        const char* param = request.param.usable();
        result = std::make_shared<InvokePluginFunctionNotification>(method, param ? param : "{}");
    } else {
        return std::make_shared<InvalidSyntaxResponse>(answers::kNoOperation);
    }
    result->setMsgId(std::move(request.msgId.text));
    return result;
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
