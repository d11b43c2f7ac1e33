#include "SoakTraffic.h"

#include "harness/Answers.h"

#include <iterator>

namespace soak {
namespace {

using harness::answer;
using harness::invalidSyntax;

template <std::size_t N>
const char* pick(const char* const (&choices)[N], std::mt19937& random)
{
    return choices[std::uniform_int_distribution<std::size_t>(0, N - 1)(random)];
}

bool chance(std::mt19937& random, double p)
{
    return std::bernoulli_distribution(p)(random);
}

std::string alphanumeric(std::mt19937& random, std::size_t size)
{
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 ";
    std::uniform_int_distribution<std::size_t> index(0, sizeof kChars - 2);
    std::string text(size, ' ');
    for (char& c : text) {
        c = kChars[index(random)];
    }
    return text;
}

// A Param member as a page writes it, and the Response text the echo
// plug-in's answer must carry for it (as it appears inside the answer).
struct ParamCase {
    const char* member; // null: no Param member
    const char* response;
};

const ParamCase kParams[] = {
    {nullptr, "{}"},
    {R"("")", "{}"},
    {"5", "{}"},
    {R"({"a":1})", "{}"},
    {R"("say \"hi\"")", R"(say \"hi\")"},
    {R"("back\\slash")", R"(back\\slash)"},
    {R"("line\nfeed\ttab")", R"(line\nfeed\ttab)"},
    {R"("caf\u00e9")", "caf\xC3\xA9"},
    {"\"\xE7\x8E\x8B\xE5\xB0\x8F\xE6\x98\x8E\"", "\xE7\x8E\x8B\xE5\xB0\x8F\xE6\x98\x8E"},
    {R"("a\/b")", "a/b"},
    {R"("\u0001")", R"(\u0001)"},
    {R"("{\"name\":\"Ada\"}")", R"({\"name\":\"Ada\"})"},
};

// How often each kind of request comes, in percent. Calls are drawn as one
// share and take their kind from the module loaded at the time.
struct Share {
    Kind kind;
    int percent;
};

const Share kShares[] = {
    {Kind::Empty, 3},         {Kind::InvalidJson, 6},    {Kind::BinaryGarbage, 4}, {Kind::NoMsgId, 5},
    {Kind::NoOperation, 4},   {Kind::LoadNotFound, 4},   {Kind::LoadBadName, 3},   {Kind::LoadNotLibrary, 2},
    {Kind::LoadNoInvoke, 3},  {Kind::LoadSuccess, 10},   {Kind::CallText, 56},
};

} // namespace

const char* kindName(Kind kind)
{
    switch (kind) {
    case Kind::Empty: return "empty message";
    case Kind::InvalidJson: return "invalid JSON";
    case Kind::BinaryGarbage: return "binary garbage";
    case Kind::NoMsgId: return "no MsgId";
    case Kind::NoOperation: return "no operation";
    case Kind::LoadNotFound: return "load: not found (126)";
    case Kind::LoadBadName: return "load: refused name (123)";
    case Kind::LoadNotLibrary: return "load: not a library (193)";
    case Kind::LoadNoInvoke: return "load: no Invoke";
    case Kind::LoadSuccess: return "load: success";
    case Kind::CallNotLoaded: return "call: not loaded";
    case Kind::CallText: return "call: success, text";
    case Kind::CallNoText: return "call: success, no text";
    case Kind::CallFailText: return "call: failure, text";
    case Kind::CallFailNoText: return "call: failure, no text";
    case Kind::Count: break;
    }
    return "?";
}

Conversation::Conversation(std::string idPrefix)
    : m_idPrefix(std::move(idPrefix))
{
}

Request Conversation::next(std::mt19937& random)
{
    const std::string msgId = m_idPrefix + std::to_string(++m_sequence);
    int roll = std::uniform_int_distribution<int>(0, 99)(random);
    Kind kind = Kind::CallText;
    for (const Share& share : kShares) {
        if (roll < share.percent) {
            kind = share.kind;
            break;
        }
        roll -= share.percent;
    }

    Request r;
    r.kind = kind;
    switch (kind) {
    case Kind::Empty:
        r.expected = invalidSyntax("Bad request");
        return r;
    case Kind::InvalidJson: {
        static const char* const kBroken[] = {
            "not json", R"({"MsgId":"1",})", R"({"MsgId":"1"} {})", "   ", R"({"MsgId":"1","Method":"echo")", "[1,2",
        };
        // A leading '}' can start no JSON value, whatever follows.
        r.payload = chance(random, 0.3) ? "}" + alphanumeric(random, 1 + random() % 200) : pick(kBroken, random);
        r.expected = invalidSyntax("Invalid message format");
        return r;
    }
    case Kind::BinaryGarbage: {
        // 0xFF starts no JSON value and no UTF-8 sequence.
        r.payload = "\xFF";
        const std::size_t size = random() % 300;
        for (std::size_t i = 0; i < size; ++i) {
            r.payload.push_back(static_cast<char>(random() & 0xFF));
        }
        r.binaryOnly = true;
        r.expected = invalidSyntax("Invalid message format");
        return r;
    }
    case Kind::NoMsgId: {
        static const char* const kWithout[] = {
            R"({"Method":"echo"})", R"({"MsgId":7,"Method":"echo"})", "[]", "null", R"("text")",
            R"({"msgid":"x","Module":"echo"})",
        };
        r.payload = pick(kWithout, random);
        r.expected = invalidSyntax("message not have MsgId");
        return r;
    }
    case Kind::NoOperation: {
        static const char* const kTails[] = {"", R"(,"Module":"","Method":5)", R"(,"Param":"x")"};
        r.msgId = msgId;
        r.payload = "{\"MsgId\":\"" + msgId + "\"" + pick(kTails, random) + "}";
        r.expected = invalidSyntax("not find operation(Module or Method)");
        return r;
    }
    case Kind::LoadNotFound:
    case Kind::LoadBadName:
    case Kind::LoadNotLibrary:
    case Kind::LoadNoInvoke:
    case Kind::LoadSuccess:
        return load(kind, random, msgId);
    default:
        return call(random, msgId);
    }
}

Request Conversation::load(Kind kind, std::mt19937& random, const std::string& msgId)
{
    Request r;
    r.kind = kind;
    r.msgId = msgId;
    std::string module;
    switch (kind) {
    case Kind::LoadNotFound:
        module = "missing" + std::to_string(random() % 1000);
        r.expected = harness::loadError(126);
        break;
    case Kind::LoadBadName: {
        static const char* const kNames[] = {"../echo", "dir/tracked_b", "c:echo", R"(..\\echo)", "ec\xFFho"};
        module = pick(kNames, random);
        r.binaryOnly = module == "ec\xFFho";
        r.expected = harness::loadError(123);
        break;
    }
    case Kind::LoadNotLibrary:
        module = "garbage";
        r.expected = harness::loadError(193);
        break;
    case Kind::LoadNoInvoke:
        module = "noinvoke";
        r.expected = answer("LoadModule", false, "Invalid plugin format");
        m_loaded.clear();
        break;
    default: {
        static const char* const kModules[] = {"echo", "echo", "tracked_a", "tracked_b"};
        module = pick(kModules, random);
        r.expected = harness::kLoadSuccess;
        m_loaded = module;
        break;
    }
    }
    r.payload = harness::loadRequest(module, msgId);
    return r;
}

Request Conversation::call(std::mt19937& random, const std::string& msgId)
{
    static const char* const kMethods[] = {"echo", "echo", "echo", "method", "failWithText", "failSilently", "throw",
                                           "unknown"};
    std::string method = pick(kMethods, random);
    if (method == "unknown") {
        method = "m" + std::to_string(random() % 100000);
    }
    std::string param;
    std::string echoed;
    if (chance(random, 0.5)) {
        const std::string text = alphanumeric(random, 1 + random() % 4096);
        param = ",\"Param\":\"" + text + "\"";
        echoed = text;
    } else {
        const ParamCase& c = kParams[random() % std::size(kParams)];
        if (c.member != nullptr) {
            param = std::string(",\"Param\":") + c.member;
        }
        echoed = c.response;
    }

    Request r;
    r.msgId = msgId;
    r.payload = "{\"MsgId\":\"" + msgId + "\",\"Method\":\"" + method + "\"" + param + "}";
    if (m_loaded.empty()) {
        r.kind = Kind::CallNotLoaded;
        r.expected = harness::notLoaded(msgId);
    } else if (m_loaded != "echo") {
        // The tracked plug-ins answer every method with their own name.
        r.kind = Kind::CallText;
        r.expected = answer(msgId, true, m_loaded);
    } else if (method == "echo" || method == "method") {
        r.kind = Kind::CallText;
        r.expected = answer(msgId, true, method == "echo" ? echoed : method);
    } else if (method == "failWithText") {
        r.kind = Kind::CallFailText;
        r.expected = answer(msgId, false, "echo failed on purpose");
    } else if (method == "failSilently" || method == "throw") {
        r.kind = Kind::CallFailNoText;
        r.expected = answer(msgId, false, "[ " + method + " ] function faild.");
    } else {
        r.kind = Kind::CallNoText;
        r.expected = answer(msgId, true, "[ " + method + " ] function success.");
    }
    return r;
}

} // namespace soak
