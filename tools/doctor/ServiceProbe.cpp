#include "ServiceProbe.h"

#include "notification/AnswerTexts.h"
#include "websocket/ClientProtocol.h"

#include <asio.hpp>

#include <algorithm>
#include <array>
#include <memory>

namespace doctor {
namespace {

using asio::ip::tcp;

// A request that changes nothing: no module is loaded on the connection,
// and Corvane answers it with this text.
const std::string kRequest = R"({"MsgId":"corvane-doctor","Method":"Hello"})";
const std::string kAnswer =
    std::string(R"({"MsgId":"corvane-doctor","Result":false,"Response":")") + notification::answers::kNotLoaded + "\"}";

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
        m_key = websocket::newKey();
        m_request = websocket::upgradeRequest("127.0.0.1", m_result.port, "/", m_key);
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
        const std::size_t end = websocket::headEnd(m_buffer);
        const websocket::ResponseHead head = websocket::parseHead(std::string_view(m_buffer).substr(0, end));
        if (head.status == 403) {
            m_result.kind = PortProbe::Kind::otherUser;
            finish();
            return;
        }
        if (websocket::checkUpgrade(head, m_key) != websocket::Upgrade::accepted) {
            m_result.detail = "answered the handshake with \"" + firstLine(m_buffer) + "\"";
            finish();
            return;
        }
        // Whatever followed the head counts against the bound too.
        m_read = m_buffer.size();
        m_decoder.feed(std::string_view(m_buffer).substr(end));
        m_framesSeen = end < m_buffer.size();
        m_request = websocket::encodeFrame(true, websocket::Opcode::Text, kRequest);
        arm(kAnswerTimeout);
        asio::async_write(m_socket, asio::buffer(m_request),
                          [self = shared_from_this()](const std::error_code& error, std::size_t) {
                              if (error) {
                                  self->requestAnswered(nullptr);
                                  return;
                              }
                              self->readAnswer();
                          });
    }

    // The first data message is the answer; pings and pongs on the way are
    // passed over.
    void readAnswer()
    {
        websocket::Message message;
        for (;;) {
            switch (m_decoder.next(message)) {
            case websocket::Decoder::Status::message:
                if (message.opcode == websocket::Opcode::Ping || message.opcode == websocket::Opcode::Pong) {
                    continue;
                }
                requestAnswered(&message);
                return;
            case websocket::Decoder::Status::error:
                requestAnswered(nullptr);
                return;
            case websocket::Decoder::Status::needMore:
                readMore();
                return;
            }
        }
    }

    void readMore()
    {
        if (m_read >= kMaxProbeRead) {
            requestAnswered(nullptr);
            return;
        }
        const std::size_t room = std::min(m_chunk.size(), kMaxProbeRead - m_read);
        m_socket.async_read_some(asio::buffer(m_chunk.data(), room),
                                 [self = shared_from_this()](const std::error_code& error, std::size_t got) {
                                     if (error) {
                                         self->requestAnswered(nullptr);
                                         return;
                                     }
                                     self->m_read += got;
                                     self->m_framesSeen = true;
                                     self->m_decoder.feed(std::string_view(self->m_chunk.data(), got));
                                     self->readAnswer();
                                 });
    }

    // answer is null when none came: the connection ended or timed out, the
    // framing was broken, or the bound was reached first.
    void requestAnswered(const websocket::Message* answer)
    {
        if (answer == nullptr && !m_framesSeen) {
            m_result.detail = "completed the handshake but did not answer a request";
        } else if (answer == nullptr || answer->opcode != websocket::Opcode::Text || answer->payload != kAnswer) {
            m_result.detail = "completed the handshake but answered a request unlike Corvane";
        } else {
            m_result.kind = PortProbe::Kind::corvane;
        }
        finish();
    }

    tcp::socket m_socket;
    asio::steady_timer m_timer;
    PortProbe& m_result;
    std::string m_key;
    std::string m_request;
    std::string m_buffer;
    websocket::Decoder m_decoder{kMaxProbeRead};
    std::array<char, 4096> m_chunk{};
    std::size_t m_read = 0;
    bool m_framesSeen = false;
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
