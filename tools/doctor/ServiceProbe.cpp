#include "ServiceProbe.h"

#include <asio.hpp>

#include <chrono>
#include <optional>

namespace doctor {
namespace {

using asio::ip::tcp;

constexpr auto kTimeout = std::chrono::seconds(3);

// A request that changes nothing: no module is loaded on the connection,
// and Corvane answers it with this text.
const std::string kRequest = R"({"MsgId":"corvane-doctor","Method":"Hello"})";
const std::string kAnswer = R"({"MsgId":"corvane-doctor","Result":false,"Response":"Module have not been loaded"})";

class Connection {
public:
    explicit Connection(std::uint16_t port)
        : m_socket(m_io)
    {
        std::error_code error;
        m_socket.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port), error);
        m_connected = !error;
    }

    bool connected() const { return m_connected; }

    bool write(const std::string& bytes)
    {
        std::optional<std::error_code> result;
        asio::async_write(m_socket, asio::buffer(bytes),
                          [&](const std::error_code& error, std::size_t) { result = error; });
        return runUntil(result) && !*result;
    }

    // Reads until `until` is in the buffer; false on timeout or error.
    bool readUntil(const std::string& until)
    {
        std::optional<std::error_code> result;
        asio::async_read_until(m_socket, asio::dynamic_buffer(m_buffer), until,
                               [&](const std::error_code& error, std::size_t) { result = error; });
        return runUntil(result) && !*result;
    }

    bool readAtLeast(std::size_t count)
    {
        if (m_buffer.size() >= count) {
            return true;
        }
        std::optional<std::error_code> result;
        asio::async_read(m_socket, asio::dynamic_buffer(m_buffer), asio::transfer_at_least(count - m_buffer.size()),
                         [&](const std::error_code& error, std::size_t) { result = error; });
        return runUntil(result) && !*result;
    }

    std::string& buffer() { return m_buffer; }

private:
    bool runUntil(const std::optional<std::error_code>& result)
    {
        m_io.restart();
        m_io.run_for(kTimeout);
        if (!result) {
            std::error_code ignored;
            m_socket.close(ignored);
            m_io.restart();
            m_io.run_for(kTimeout);
            return false;
        }
        return true;
    }

    asio::io_context m_io;
    tcp::socket m_socket;
    bool m_connected = false;
    std::string m_buffer;
};

std::string maskedTextFrame(const std::string& payload)
{
    std::string frame;
    frame += static_cast<char>(0x81);
    if (payload.size() < 126) {
        frame += static_cast<char>(0x80 | payload.size());
    } else {
        frame += static_cast<char>(0x80 | 126);
        frame += static_cast<char>((payload.size() >> 8) & 0xff);
        frame += static_cast<char>(payload.size() & 0xff);
    }
    const unsigned char mask[4] = {0x37, 0xfa, 0x21, 0x3d};
    frame.append(reinterpret_cast<const char*>(mask), 4);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        frame += static_cast<char>(payload[i] ^ static_cast<char>(mask[i % 4]));
    }
    return frame;
}

std::string firstLine(const std::string& text)
{
    const auto end = text.find("\r\n");
    std::string line = text.substr(0, end == std::string::npos ? std::min<std::size_t>(text.size(), 80) : end);
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) {
            c = '?';
        }
    }
    return line;
}

} // namespace

PortProbe probePort(std::uint16_t port)
{
    PortProbe probe;
    Connection connection(port);
    if (!connection.connected()) {
        return probe;
    }
    probe.kind = PortProbe::Kind::notCorvane;
    const std::string host = "127.0.0.1:" + std::to_string(port);
    if (!connection.write("GET / HTTP/1.1\r\nHost: " + host +
                          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n") ||
        !connection.readUntil("\r\n\r\n")) {
        probe.detail = connection.buffer().empty() ? "no answer to a WebSocket handshake"
                                                   : "answered \"" + firstLine(connection.buffer()) + "\"";
        return probe;
    }
    std::string& buffer = connection.buffer();
    const std::string status = firstLine(buffer);
    if (status.rfind("HTTP/1.1 403", 0) == 0) {
        probe.kind = PortProbe::Kind::otherUser;
        return probe;
    }
    if (status.rfind("HTTP/1.1 101", 0) != 0 ||
        buffer.find("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=") == std::string::npos) {
        probe.detail = "answered the handshake with \"" + status + "\"";
        return probe;
    }
    buffer.erase(0, buffer.find("\r\n\r\n") + 4);
    if (!connection.write(maskedTextFrame(kRequest)) || !connection.readAtLeast(2)) {
        probe.detail = "completed the handshake but did not answer a request";
        return probe;
    }
    const std::size_t length = static_cast<unsigned char>(buffer[1]) & 0x7f;
    if (static_cast<unsigned char>(buffer[0]) != 0x81 || length >= 126 || !connection.readAtLeast(2 + length) ||
        buffer.compare(2, length, kAnswer) != 0) {
        probe.detail = "completed the handshake but answered a request unlike Corvane";
        return probe;
    }
    probe.kind = PortProbe::Kind::corvane;
    return probe;
}

} // namespace doctor
