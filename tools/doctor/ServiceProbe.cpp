#include "ServiceProbe.h"

#include <asio.hpp>

#include <algorithm>
#include <memory>

namespace doctor {
namespace {

using asio::ip::tcp;

// A request that changes nothing: no module is loaded on the connection,
// and Corvane answers it with this text.
const std::string kRequest = R"({"MsgId":"corvane-doctor","Method":"Hello"})";
const std::string kAnswer = R"({"MsgId":"corvane-doctor","Result":false,"Response":"Module have not been loaded"})";

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
    line.resize(std::min<std::size_t>(line.size(), 200));
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) {
            c = '?';
        }
    }
    return line;
}

// One port's probe, step by step on the shared loop. Each step runs under
// its own timer; when the timer fires the socket is closed, which ends the
// step with an error. A listener that never accepts, never answers or
// answers without end thus costs one timeout, and at most kMaxProbeRead
// bytes of memory.
class Prober : public std::enable_shared_from_this<Prober> {
public:
    Prober(asio::io_context& io, PortProbe& result)
        : m_socket(io)
        , m_timer(io)
        , m_result(result)
    {
    }

    void start()
    {
        arm(kConnectTimeout);
        m_socket.async_connect(tcp::endpoint(asio::ip::address_v4::loopback(), m_result.port),
                               [self = shared_from_this()](const std::error_code& error) { self->connected(error); });
    }

private:
    void arm(std::chrono::milliseconds timeout)
    {
        m_timer.expires_after(timeout);
        m_timer.async_wait([self = shared_from_this()](const std::error_code& error) {
            if (!error) {
                self->m_timedOut = true;
                std::error_code ignored;
                self->m_socket.close(ignored);
            }
        });
    }

    void finish()
    {
        m_timer.cancel();
        std::error_code ignored;
        m_socket.close(ignored);
    }

    void connected(const std::error_code& error)
    {
        if (error) {
            if (m_timedOut) {
                m_result.kind = PortProbe::Kind::unprobed;
                m_result.detail = "accepted no connection within " + std::to_string(kConnectTimeout.count()) + " ms";
            }
            finish();
            return;
        }
        m_result.kind = PortProbe::Kind::notCorvane;
        m_request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(m_result.port) +
                    "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
        arm(kAnswerTimeout);
        asio::async_write(m_socket, asio::buffer(m_request),
                          [self = shared_from_this()](const std::error_code& error, std::size_t) {
                              if (error) {
                                  self->handshakeAnswered(error);
                                  return;
                              }
                              asio::async_read_until(
                                  self->m_socket, asio::dynamic_buffer(self->m_buffer, kMaxProbeRead), "\r\n\r\n",
                                  [self](const std::error_code& error, std::size_t) { self->handshakeAnswered(error); });
                          });
    }

    void handshakeAnswered(const std::error_code& error)
    {
        if (error) {
            m_result.detail = m_buffer.empty() ? "no answer to a WebSocket handshake"
                                               : "answered \"" + firstLine(m_buffer) + "\"";
            finish();
            return;
        }
        const std::string status = firstLine(m_buffer);
        if (status.rfind("HTTP/1.1 403", 0) == 0) {
            m_result.kind = PortProbe::Kind::otherUser;
            finish();
            return;
        }
        if (status.rfind("HTTP/1.1 101", 0) != 0 || m_buffer.find("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=") == std::string::npos) {
            m_result.detail = "answered the handshake with \"" + status + "\"";
            finish();
            return;
        }
        m_buffer.erase(0, m_buffer.find("\r\n\r\n") + 4);
        m_request = maskedTextFrame(kRequest);
        arm(kAnswerTimeout);
        asio::async_write(m_socket, asio::buffer(m_request),
                          [self = shared_from_this()](const std::error_code& error, std::size_t) {
                              if (error) {
                                  self->requestAnswered(error);
                                  return;
                              }
                              self->readAnswer();
                          });
    }

    // The answer is one unfragmented text frame of under 126 bytes.
    void readAnswer()
    {
        if (m_buffer.size() < 2) {
            readMore(2);
            return;
        }
        const std::size_t length = static_cast<unsigned char>(m_buffer[1]) & 0x7f;
        if (length < 126 && m_buffer.size() < 2 + length) {
            readMore(2 + length);
            return;
        }
        requestAnswered({});
    }

    void readMore(std::size_t wanted)
    {
        asio::async_read(m_socket, asio::dynamic_buffer(m_buffer, kMaxProbeRead),
                         asio::transfer_at_least(wanted - m_buffer.size()),
                         [self = shared_from_this()](const std::error_code& error, std::size_t) {
                             if (error) {
                                 self->requestAnswered(error);
                                 return;
                             }
                             self->readAnswer();
                         });
    }

    void requestAnswered(const std::error_code& error)
    {
        if (error && m_buffer.size() < 2) {
            m_result.detail = "completed the handshake but did not answer a request";
        } else {
            const std::size_t length = static_cast<unsigned char>(m_buffer[1]) & 0x7f;
            if (static_cast<unsigned char>(m_buffer[0]) != 0x81 || length >= 126 || m_buffer.size() < 2 + length ||
                m_buffer.compare(2, length, kAnswer) != 0) {
                m_result.detail = "completed the handshake but answered a request unlike Corvane";
            } else {
                m_result.kind = PortProbe::Kind::corvane;
            }
        }
        finish();
    }

    tcp::socket m_socket;
    asio::steady_timer m_timer;
    PortProbe& m_result;
    std::string m_request;
    std::string m_buffer;
    bool m_timedOut = false;
};

} // namespace

std::vector<PortProbe> probePorts(std::uint16_t first, std::uint16_t last)
{
    std::vector<PortProbe> results;
    for (unsigned port = first; port <= last; ++port) {
        results.push_back(PortProbe{static_cast<std::uint16_t>(port), PortProbe::Kind::nothing, {}});
    }
    asio::io_context io;
    for (PortProbe& result : results) {
        std::make_shared<Prober>(io, result)->start();
    }
    io.run();
    return results;
}

} // namespace doctor
