#pragma once

// The client side of RFC 6455 as pure functions on bytes: the opening
// handshake's key and accept value, the upgrade request and the check of
// its answer, masked client frames, close codes, and an incremental decoder
// of the server's frames with a bound on message size. No sockets: the
// test harness drives it over POSIX sockets, the doctor over Asio.

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace websocket {

enum class Opcode : std::uint8_t {
    Continuation = 0x0,
    Text = 0x1,
    Binary = 0x2,
    Close = 0x8,
    Ping = 0x9,
    Pong = 0xA,
};

// Close codes a client sends or reports.
inline constexpr int kCloseNormal = 1000;
inline constexpr int kCloseProtocolError = 1002;
inline constexpr int kCloseTooBig = 1009;
// Reported, never sent: a close frame without a code, and a connection
// that ended without a close frame.
inline constexpr int kCloseNoStatus = 1005;
inline constexpr int kCloseAbnormal = 1006;

// A fresh Sec-WebSocket-Key: 16 random bytes in base64.
std::string newKey();
// The Sec-WebSocket-Accept a server owes for key.
std::string acceptFor(std::string_view key);

// GET path with the upgrade headers for key, then each extra header.
std::string upgradeRequest(const std::string& host, int port, const std::string& path, const std::string& key,
                           const std::map<std::string, std::string>& extraHeaders = {});

struct ResponseHead {
    std::string statusLine;                     // "HTTP/1.1 426 Upgrade Required"
    int status = 0;                             // 426
    std::map<std::string, std::string> headers; // names in lower case, values trimmed
};

// Where the head in data ends (just after its blank line), or npos while
// it is incomplete.
std::size_t headEnd(std::string_view data);
// Parses a head up to (not necessarily including) its blank line.
ResponseHead parseHead(std::string_view head);

enum class Upgrade {
    accepted,
    refused,      // a status other than 101
    wrongAccept,  // Sec-WebSocket-Accept missing or not the one owed for the key
    notWebSocket, // no "Upgrade: websocket"
};
Upgrade checkUpgrade(const ResponseHead& head, std::string_view key);

// One client frame, masked with a fresh random mask.
std::string encodeFrame(bool fin, Opcode opcode, std::string_view payload);
// The same with a given mask, for tests that must know the bytes.
std::string encodeFrame(bool fin, Opcode opcode, std::string_view payload, std::array<std::uint8_t, 4> mask);

// A close frame's payload: the code, big-endian, then the reason.
std::string closePayload(int code, std::string_view reason = {});
// The code a close frame's payload carries, kCloseNoStatus when it has none.
int closeCodeOf(std::string_view payload);

struct Message {
    Opcode opcode = Opcode::Text;
    // Data messages come reassembled; control frames as they are.
    std::string payload;
};

// Decodes what a server sends, in whatever pieces it arrives. Data
// messages are reassembled from their fragments; control frames are
// handed out as they come, also between fragments. A masked frame, a
// reserved bit or opcode, a broken fragment sequence, an oversized
// control frame or a message longer than the bound is a protocol error,
// after which the decoder hands out nothing more.
class Decoder {
public:
    enum class Status { message, needMore, error };

    explicit Decoder(std::size_t maxMessageBytes);

    void feed(std::string_view bytes);
    Status next(Message& out);

    // What was wrong, once next() said error.
    const std::string& error() const { return m_error; }
    // The close code that error calls for (too big, or protocol error).
    int errorCloseCode() const { return m_errorCode; }
    // Bytes fed and not yet handed out (a partial frame, a partial message).
    std::size_t buffered() const { return m_in.size() - m_at + m_partial.size(); }

private:
    Status fail(int code, std::string why);

    std::size_t m_max;
    std::string m_in;
    std::size_t m_at = 0;
    bool m_assembling = false;
    Opcode m_partialOpcode = Opcode::Text;
    std::string m_partial;
    std::string m_error;
    int m_errorCode = 0;
};

} // namespace websocket
