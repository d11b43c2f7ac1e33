#pragma once

// A small synchronous WebSocket client for tests, on plain POSIX sockets.
// It drives the service from the outside: a verified opening handshake,
// masked client frames (well-formed or not), message reassembly, automatic
// pong replies and the close handshake. The framing is websocket/'s; this
// file is the transport. One object is one connection; it is not
// thread-safe.

#include "server/PortRange.h"
#include "websocket/ClientProtocol.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace harness {

using std::chrono::milliseconds;

// Anything that went wrong on the wire: refused connection, failed
// handshake, timeout, unexpected close.
class WsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using websocket::Opcode;

// The longest message a client takes from the service: more than the
// longest answer it can give (its own bound on a request is 32 MB).
inline constexpr std::size_t kMaxReceivedMessageBytes = std::size_t{64} << 20;

struct WsMessage {
    Opcode opcode = Opcode::Text;
    std::string payload;
    // For Opcode::Close only: the peer's status code, 1005 when its close
    // frame had none, 1006 when the TCP connection ended without one.
    int closeCode = 0;
};

// statusLine "HTTP/1.1 426 Upgrade Required", status 426, header names in
// lower case.
using HttpResponse = websocket::ResponseHead;

class WsClient {
public:
    WsClient() = default;
    ~WsClient();
    WsClient(const WsClient&) = delete;
    WsClient& operator=(const WsClient&) = delete;

    // TCP connect plus the opening handshake; the server's
    // Sec-WebSocket-Accept is checked against the key sent. Throws WsError.
    void connect(const std::string& host = "127.0.0.1", int port = server::kFirstPort, const std::string& path = "/",
                 milliseconds timeout = milliseconds(5000));

    // Headers of the server's handshake response, names in lower case.
    const std::map<std::string, std::string>& handshakeHeaders() const { return m_handshakeHeaders; }
    // The HTTP status of the last handshake answer, refused ones included.
    int handshakeStatus() const { return m_handshakeStatus; }
    // Sent with every later handshake ("Origin", "https://app.example").
    void setRequestHeader(const std::string& name, const std::string& value) { m_requestHeaders[name] = value; }

    void sendText(const std::string& payload);
    void sendBinary(const std::string& payload);
    // One message split into parts: the first frame carries opcode, the
    // rest are continuation frames, the last has FIN set.
    void sendFragmented(Opcode opcode, const std::vector<std::string>& parts);
    void sendPing(const std::string& payload = {});
    // One masked frame exactly as given, for protocol abuse.
    void sendFrame(bool fin, Opcode opcode, const std::string& payload);
    // Bytes straight onto the socket, no framing.
    void sendRaw(const std::string& bytes);

    // The next data message (text or binary, reassembled), or a Close
    // message once the server closed. Pings are answered with pongs on the
    // way; pongs are recorded in pongs(). nullopt on timeout.
    std::optional<WsMessage> receive(milliseconds timeout = milliseconds(5000));

    // Sends json as a text message and returns the one text answer.
    // Throws WsError on timeout, close or a non-text answer.
    std::string request(const std::string& json, milliseconds timeout = milliseconds(5000));

    // Sends a close frame with code and waits for the server's close frame;
    // returns the server's code (1006 if the TCP connection just ended).
    // Data messages that arrive before it are appended to *before when
    // given, else dropped.
    int close(int code = 1000, milliseconds timeout = milliseconds(5000), std::vector<WsMessage>* before = nullptr);

    // Drops the connection with a TCP reset (SO_LINGER 0): no close frame,
    // no FIN, whatever is unread or unsent is discarded.
    void abort();

    bool isOpen() const { return m_fd >= 0 && !m_serverCloseCode; }
    // Set once the server's close frame (or the end of TCP) was seen.
    std::optional<int> serverCloseCode() const { return m_serverCloseCode; }
    const std::vector<std::string>& pongs() const { return m_pongs; }

private:
    enum class Read { some, timeout, closed };

    void writeAll(const std::string& bytes);
    // Feeds what arrives before the deadline to the decoder.
    Read readSome(std::chrono::steady_clock::time_point deadline);
    void shutdownSocket();

    int m_fd = -1;
    websocket::Decoder m_decoder{kMaxReceivedMessageBytes};
    std::map<std::string, std::string> m_handshakeHeaders;
    std::map<std::string, std::string> m_requestHeaders;
    int m_handshakeStatus = 0;
    std::optional<int> m_serverCloseCode;
    bool m_closeSent = false;
    std::vector<std::string> m_pongs;
};

// One plain HTTP/1.1 GET without upgrade headers; returns the response head.
HttpResponse httpGet(const std::string& path, const std::string& host = "127.0.0.1", int port = server::kFirstPort,
                     milliseconds timeout = milliseconds(5000));

// Sends requestText as it is (a handshake of any form) and returns the
// response head.
HttpResponse httpExchange(const std::string& requestText, const std::string& host = "127.0.0.1",
                          int port = server::kFirstPort, milliseconds timeout = milliseconds(5000));

// True when something accepts TCP connections on host:port.
bool isListening(const std::string& host, int port);

} // namespace harness
