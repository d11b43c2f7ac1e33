#pragma once

// The requests corvane_soak sends and, for each, the answer the service owes
// it, byte for byte. The answers are written out by hand from the protocol's
// table of outcomes, never produced by the service's own code.

#include <cstdint>
#include <random>
#include <string>

namespace soak {

// One kind per outcome row (a call's answer depends on the loaded module).
enum class Kind {
    Empty,
    InvalidJson,
    BinaryGarbage,
    NoMsgId,
    NoOperation,
    LoadNotFound,
    LoadBadName,
    LoadNotLibrary,
    LoadNoInvoke,
    LoadSuccess,
    CallNotLoaded,
    CallText,
    CallNoText,
    CallFailText,
    CallFailNoText,
    Count
};

const char* kindName(Kind kind);

struct Request {
    Kind kind = Kind::Empty;
    std::string payload;
    // Not valid UTF-8, so it may travel only in binary frames (the library
    // fails a connection on a text frame that is not UTF-8).
    bool binaryOnly = false;
    // The request's MsgId when it carries a string one, else empty.
    std::string msgId;
    // The service's answer.
    std::string expected;
};

// One connection's requests. Each request drawn also moves the module state
// on as the service must: a successful load switches the module that answers
// calls, a library without Invoke leaves none, other failed loads keep it.
class Conversation {
public:
    explicit Conversation(std::string idPrefix);
    Request next(std::mt19937& random);

private:
    Request call(std::mt19937& random, const std::string& msgId);
    Request load(Kind kind, std::mt19937& random, const std::string& msgId);

    std::string m_idPrefix;
    std::uint64_t m_sequence = 0;
    std::string m_loaded; // the module whose Invoke answers calls; empty if none
};

} // namespace soak
