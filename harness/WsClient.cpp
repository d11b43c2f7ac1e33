#include "harness/WsClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace harness {
namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

// A connected, blocking TCP socket or -1 (errno says why).
int connectTcp(const std::string& host, int port, milliseconds timeout)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        errno = EINVAL;
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        rc = ::poll(&p, 1, static_cast<int>(timeout.count()));
        if (rc == 1) {
            int error = 0;
            socklen_t len = sizeof error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
            errno = error;
            rc = error == 0 ? 0 : -1;
        } else {
            errno = ETIMEDOUT;
            rc = -1;
        }
    }
    if (rc != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    const int flags = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &flags, sizeof flags);
    return fd;
}

// The longest HTTP response head read; a listener that sends more is not
// the service.
constexpr std::size_t kMaxHeadBytes = 64 * 1024;

// Sends all of bytes on fd, waiting while its send buffer is full.
void sendAll(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 1000);
                continue;
            }
            if (errno == EINTR) {
                continue;
            }
            throw WsError(std::string("send failed: ") + std::strerror(errno));
        }
        done += static_cast<std::size_t>(n);
    }
}

// Reads the HTTP response head (up to the blank line) from fd; the bytes
// after it are left in rest.
std::string readHead(int fd, Clock::time_point deadline, std::string& rest)
{
    std::string data;
    for (;;) {
        const auto end = websocket::headEnd(data);
        if (end != std::string::npos) {
            rest = data.substr(end);
            return data.substr(0, end - 2);
        }
        if (data.size() > kMaxHeadBytes) {
            throw WsError("HTTP response head longer than " + std::to_string(kMaxHeadBytes) + " bytes");
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, remainingMs(deadline)) != 1) {
            throw WsError("timeout waiting for the HTTP response");
        }
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            throw WsError("connection closed before the HTTP response was complete: [" + data + "]");
        }
        data.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string opcodeName(Opcode opcode)
{
    switch (opcode) {
    case Opcode::Text: return "text";
    case Opcode::Binary: return "binary";
    case Opcode::Close: return "close";
    default: return "opcode " + std::to_string(static_cast<int>(opcode));
    }
}

} // namespace

WsClient::~WsClient()
{
    shutdownSocket();
}

void WsClient::shutdownSocket()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

void WsClient::abort()
{
    if (m_fd >= 0) {
        const linger resetOnClose{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose);
    }
    shutdownSocket();
}

void WsClient::connect(const std::string& host, int port, const std::string& path, milliseconds timeout)
{
    shutdownSocket();
    m_decoder = websocket::Decoder(kMaxReceivedMessageBytes);
    m_handshakeHeaders.clear();
    m_handshakeStatus = 0;
    m_serverCloseCode.reset();
    m_closeSent = false;
    m_pongs.clear();

    const auto deadline = Clock::now() + timeout;
    const int fd = connectTcp(host, port, timeout);
    if (fd < 0) {
        throw WsError("cannot connect to " + host + ":" + std::to_string(port) + ": " + std::strerror(errno));
    }
    m_fd = fd;

    const std::string key = websocket::newKey();
    writeAll(websocket::upgradeRequest(host, port, path, key, m_requestHeaders));

    std::string rest;
    std::string head;
    try {
        head = readHead(m_fd, deadline, rest);
    } catch (...) {
        shutdownSocket();
        throw;
    }
    websocket::ResponseHead answer = websocket::parseHead(head);
    m_handshakeHeaders = answer.headers;
    m_handshakeStatus = answer.status;
    switch (websocket::checkUpgrade(answer, key)) {
    case websocket::Upgrade::accepted:
        // Frames the server sent at once came with the head.
        m_decoder.feed(rest);
        return;
    case websocket::Upgrade::refused:
        shutdownSocket();
        throw WsError("handshake refused: " + answer.statusLine);
    case websocket::Upgrade::wrongAccept:
        shutdownSocket();
        throw WsError("handshake answer has a wrong Sec-WebSocket-Accept");
    case websocket::Upgrade::notWebSocket:
        break;
    }
    shutdownSocket();
    throw WsError("handshake answer lacks Upgrade: websocket");
}

void WsClient::writeAll(const std::string& bytes)
{
    if (m_fd < 0) {
        throw WsError("not connected");
    }
    sendAll(m_fd, bytes);
}

void WsClient::sendFrame(bool fin, Opcode opcode, const std::string& payload)
{
    writeAll(websocket::encodeFrame(fin, opcode, payload));
}

void WsClient::sendText(const std::string& payload)
{
    sendFrame(true, Opcode::Text, payload);
}

void WsClient::sendBinary(const std::string& payload)
{
    sendFrame(true, Opcode::Binary, payload);
}

void WsClient::sendFragmented(Opcode opcode, const std::vector<std::string>& parts)
{
    for (std::size_t i = 0; i < parts.size(); ++i) {
        sendFrame(i + 1 == parts.size(), i == 0 ? opcode : Opcode::Continuation, parts[i]);
    }
}

void WsClient::sendPing(const std::string& payload)
{
    sendFrame(true, Opcode::Ping, payload);
}

void WsClient::sendRaw(const std::string& bytes)
{
    writeAll(bytes);
}

WsClient::Read WsClient::readSome(Clock::time_point deadline)
{
    for (;;) {
        if (m_fd < 0) {
            return Read::closed;
        }
        pollfd p{m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, remainingMs(deadline));
        if (ready == 0) {
            return Read::timeout;
        }
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw WsError(std::string("poll failed: ") + std::strerror(errno));
        }
        char buffer[65536];
        const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (got <= 0) {
            // The peer is gone; what is buffered stays incomplete.
            shutdownSocket();
            return Read::closed;
        }
        m_decoder.feed(std::string_view(buffer, static_cast<std::size_t>(got)));
        return Read::some;
    }
}

std::optional<WsMessage> WsClient::receive(milliseconds timeout)
{
    if (m_serverCloseCode) {
        return WsMessage{Opcode::Close, {}, *m_serverCloseCode};
    }
    const auto deadline = Clock::now() + timeout;
    const bool wasOpen = m_fd >= 0;
    for (;;) {
        websocket::Message message;
        const websocket::Decoder::Status status = m_decoder.next(message);
        if (status == websocket::Decoder::Status::error) {
            shutdownSocket();
            throw WsError("the server broke the framing: " + m_decoder.error());
        }
        if (status == websocket::Decoder::Status::needMore) {
            const Read read = readSome(deadline);
            if (read == Read::closed && wasOpen) {
                m_serverCloseCode = websocket::kCloseAbnormal;
                return WsMessage{Opcode::Close, {}, websocket::kCloseAbnormal};
            }
            if (read != Read::some) {
                return std::nullopt;
            }
            continue;
        }
        switch (message.opcode) {
        case Opcode::Ping:
            if (!m_closeSent) {
                sendFrame(true, Opcode::Pong, message.payload);
            }
            break;
        case Opcode::Pong:
            m_pongs.push_back(std::move(message.payload));
            break;
        case Opcode::Close: {
            const int code = websocket::closeCodeOf(message.payload);
            m_serverCloseCode = code;
            if (!m_closeSent) {
                // Echo the code, as the close handshake asks of the receiver.
                try {
                    sendFrame(true, Opcode::Close, message.payload.substr(0, 2));
                } catch (const WsError&) {
                }
                m_closeSent = true;
            }
            return WsMessage{Opcode::Close, message.payload.size() > 2 ? message.payload.substr(2) : std::string(),
                             code};
        }
        default:
            return WsMessage{message.opcode, std::move(message.payload), 0};
        }
        // A peer that never stops pinging must not hold the caller past its
        // timeout.
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
    }
}

std::string WsClient::request(const std::string& json, milliseconds timeout)
{
    sendText(json);
    std::optional<WsMessage> answer = receive(timeout);
    if (!answer) {
        throw WsError("no answer within " + std::to_string(timeout.count()) + " ms to: " + json.substr(0, 200));
    }
    if (answer->opcode == Opcode::Close) {
        throw WsError("connection closed (code " + std::to_string(answer->closeCode) + ") instead of an answer to: " +
                      json.substr(0, 200));
    }
    if (answer->opcode != Opcode::Text) {
        throw WsError("answer is a " + opcodeName(answer->opcode) + " message, not text");
    }
    return answer->payload;
}

int WsClient::close(int code, milliseconds timeout, std::vector<WsMessage>* before)
{
    if (!m_serverCloseCode && m_fd >= 0 && !m_closeSent) {
        sendFrame(true, Opcode::Close, websocket::closePayload(code));
        m_closeSent = true;
    }
    const auto deadline = Clock::now() + timeout;
    while (!m_serverCloseCode) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            shutdownSocket();
            throw WsError("server did not answer the close frame within " + std::to_string(timeout.count()) + " ms");
        }
        std::optional<WsMessage> message = receive(left);
        if (before != nullptr && message && message->opcode != Opcode::Close) {
            before->push_back(std::move(*message));
        }
    }
    // The server closes TCP first after the handshake; wait briefly for it.
    if (m_fd >= 0) {
        pollfd p{m_fd, POLLIN, 0};
        ::poll(&p, 1, std::min(remainingMs(deadline), 1000));
    }
    shutdownSocket();
    return *m_serverCloseCode;
}

HttpResponse httpGet(const std::string& path, const std::string& host, int port, milliseconds timeout)
{
    return httpExchange("GET " + path + " HTTP/1.1\r\nHost: " + host + ":" + std::to_string(port) +
                            "\r\nConnection: close\r\n\r\n",
                        host, port, timeout);
}

HttpResponse httpExchange(const std::string& requestText, const std::string& host, int port, milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    const int fd = connectTcp(host, port, timeout);
    if (fd < 0) {
        throw WsError("cannot connect to " + host + ":" + std::to_string(port) + ": " + std::strerror(errno));
    }
    HttpResponse response;
    std::string rest;
    try {
        sendAll(fd, requestText);
        response = websocket::parseHead(readHead(fd, deadline, rest));
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    return response;
}

bool isListening(const std::string& host, int port)
{
    const int fd = connectTcp(host, port, milliseconds(1000));
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

} // namespace harness
