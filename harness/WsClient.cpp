#include "harness/WsClient.h"

#include <openssl/evp.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

namespace harness {
namespace {

using Clock = std::chrono::steady_clock;

// One per thread: clients on different threads draw keys and masks at once.
std::mt19937& randomEngine()
{
    thread_local std::mt19937 engine{std::random_device{}()};
    return engine;
}

std::string base64(const unsigned char* data, std::size_t size)
{
    std::string out(4 * ((size + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(size));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string acceptFor(const std::string& key)
{
    const std::string input = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(input.data(), input.size(), digest, &length, EVP_sha1(), nullptr) != 1) {
        throw WsError("SHA-1 failed");
    }
    return base64(digest, length);
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

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

// Reads the HTTP response head (up to the blank line) from fd; the bytes
// after it are left in rest.
std::string readHead(int fd, Clock::time_point deadline, std::string& rest)
{
    std::string data;
    for (;;) {
        const auto end = data.find("\r\n\r\n");
        if (end != std::string::npos) {
            rest = data.substr(end + 4);
            return data.substr(0, end + 2);
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

void parseHead(const std::string& head, std::string& statusLine, std::map<std::string, std::string>& headers)
{
    std::size_t pos = head.find("\r\n");
    statusLine = head.substr(0, pos);
    while (pos != std::string::npos && pos + 2 < head.size()) {
        const std::size_t next = head.find("\r\n", pos + 2);
        const std::string line = head.substr(pos + 2, next - pos - 2);
        const auto colon = line.find(':');
        if (colon != std::string::npos) {
            headers[lower(trim(line.substr(0, colon)))] = trim(line.substr(colon + 1));
        }
        pos = next;
    }
}

int statusOf(const std::string& statusLine)
{
    const auto space = statusLine.find(' ');
    return space == std::string::npos ? 0 : std::atoi(statusLine.c_str() + space + 1);
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
    m_in.clear();
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

    unsigned char nonce[16];
    for (auto& b : nonce) {
        b = static_cast<unsigned char>(randomEngine()());
    }
    const std::string key = base64(nonce, sizeof nonce);
    std::string extraHeaders;
    for (const auto& [name, value] : m_requestHeaders) {
        extraHeaders += name + ": " + value + "\r\n";
    }
    writeAll("GET " + path + " HTTP/1.1\r\n" + "Host: " + host + ":" + std::to_string(port) + "\r\n" +
             "Upgrade: websocket\r\n" + "Connection: Upgrade\r\n" + "Sec-WebSocket-Key: " + key + "\r\n" +
             "Sec-WebSocket-Version: 13\r\n" + extraHeaders + "\r\n");

    std::string statusLine;
    const std::string head = readHead(m_fd, deadline, m_in);
    parseHead(head, statusLine, m_handshakeHeaders);
    m_handshakeStatus = statusOf(statusLine);
    if (m_handshakeStatus != 101) {
        shutdownSocket();
        throw WsError("handshake refused: " + statusLine);
    }
    const auto accept = m_handshakeHeaders.find("sec-websocket-accept");
    if (accept == m_handshakeHeaders.end() || accept->second != acceptFor(key)) {
        shutdownSocket();
        throw WsError("handshake answer has a wrong Sec-WebSocket-Accept");
    }
    if (lower(m_handshakeHeaders["upgrade"]) != "websocket") {
        shutdownSocket();
        throw WsError("handshake answer lacks Upgrade: websocket");
    }
}

void WsClient::writeAll(const std::string& bytes)
{
    if (m_fd < 0) {
        throw WsError("not connected");
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd p{m_fd, POLLOUT, 0};
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

void WsClient::sendFrame(bool fin, Opcode opcode, const std::string& payload)
{
    std::string frame;
    frame.push_back(static_cast<char>((fin ? 0x80 : 0x00) | static_cast<std::uint8_t>(opcode)));
    const std::uint64_t size = payload.size();
    if (size < 126) {
        frame.push_back(static_cast<char>(0x80 | size));
    } else if (size <= 0xFFFF) {
        frame.push_back(static_cast<char>(0x80 | 126));
        frame.push_back(static_cast<char>(size >> 8));
        frame.push_back(static_cast<char>(size & 0xFF));
    } else {
        frame.push_back(static_cast<char>(0x80 | 127));
        for (int shift = 56; shift >= 0; shift -= 8) {
            frame.push_back(static_cast<char>((size >> shift) & 0xFF));
        }
    }
    unsigned char mask[4];
    for (auto& b : mask) {
        b = static_cast<unsigned char>(randomEngine()());
    }
    frame.append(reinterpret_cast<const char*>(mask), 4);
    const std::size_t start = frame.size();
    frame += payload;
    for (std::size_t i = 0; i < payload.size(); ++i) {
        frame[start + i] = static_cast<char>(frame[start + i] ^ mask[i % 4]);
    }
    writeAll(frame);
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

bool WsClient::fill(std::size_t n, Clock::time_point deadline)
{
    while (m_in.size() < n) {
        if (m_fd < 0) {
            return false;
        }
        pollfd p{m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, remainingMs(deadline));
        if (ready == 0) {
            return false;
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
            // The peer is gone; report what is buffered as incomplete.
            shutdownSocket();
            return false;
        }
        m_in.append(buffer, static_cast<std::size_t>(got));
    }
    return true;
}

std::optional<WsClient::Frame> WsClient::readFrame(Clock::time_point deadline)
{
    if (!fill(2, deadline)) {
        return std::nullopt;
    }
    const auto byte = [this](std::size_t i) { return static_cast<std::uint8_t>(m_in[i]); };
    const bool masked = (byte(1) & 0x80) != 0;
    std::uint64_t size = byte(1) & 0x7F;
    std::size_t header = 2;
    if (size == 126) {
        header = 4;
    } else if (size == 127) {
        header = 10;
    }
    if (!fill(header + (masked ? 4 : 0), deadline)) {
        return std::nullopt;
    }
    if (header == 4) {
        size = (std::uint64_t{byte(2)} << 8) | byte(3);
    } else if (header == 10) {
        size = 0;
        for (std::size_t i = 2; i < 10; ++i) {
            size = (size << 8) | byte(i);
        }
    }
    const std::size_t maskAt = header;
    if (masked) {
        header += 4;
    }
    if (!fill(header + size, deadline)) {
        return std::nullopt;
    }
    Frame frame;
    frame.fin = (byte(0) & 0x80) != 0;
    frame.opcode = static_cast<Opcode>(byte(0) & 0x0F);
    frame.payload = m_in.substr(header, size);
    if (masked) {
        for (std::size_t i = 0; i < frame.payload.size(); ++i) {
            frame.payload[i] = static_cast<char>(frame.payload[i] ^ m_in[maskAt + i % 4]);
        }
    }
    m_in.erase(0, header + size);
    return frame;
}

std::optional<WsMessage> WsClient::receive(milliseconds timeout)
{
    if (m_serverCloseCode) {
        return WsMessage{Opcode::Close, {}, *m_serverCloseCode};
    }
    const auto deadline = Clock::now() + timeout;
    std::optional<WsMessage> assembling;
    for (;;) {
        const bool wasOpen = m_fd >= 0;
        std::optional<Frame> frame = readFrame(deadline);
        if (!frame) {
            if (wasOpen && m_fd < 0) {
                m_serverCloseCode = 1006;
                return WsMessage{Opcode::Close, {}, 1006};
            }
            return std::nullopt;
        }
        switch (frame->opcode) {
        case Opcode::Ping:
            if (!m_closeSent) {
                sendFrame(true, Opcode::Pong, frame->payload);
            }
            break;
        case Opcode::Pong:
            m_pongs.push_back(frame->payload);
            break;
        case Opcode::Close: {
            int code = 1005;
            if (frame->payload.size() >= 2) {
                code = (static_cast<std::uint8_t>(frame->payload[0]) << 8) | static_cast<std::uint8_t>(frame->payload[1]);
            }
            m_serverCloseCode = code;
            if (!m_closeSent) {
                // Echo the code, as the close handshake asks of the receiver.
                try {
                    sendFrame(true, Opcode::Close, frame->payload.substr(0, 2));
                } catch (const WsError&) {
                }
                m_closeSent = true;
            }
            return WsMessage{Opcode::Close, frame->payload.size() > 2 ? frame->payload.substr(2) : std::string(), code};
        }
        case Opcode::Continuation:
            if (!assembling) {
                throw WsError("continuation frame without a message to continue");
            }
            assembling->payload += frame->payload;
            break;
        default:
            if (assembling) {
                throw WsError("new data frame inside a fragmented message");
            }
            assembling = WsMessage{frame->opcode, std::move(frame->payload), 0};
            break;
        }
        if (assembling && frame->fin) {
            return assembling;
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
        std::string payload;
        payload.push_back(static_cast<char>((code >> 8) & 0xFF));
        payload.push_back(static_cast<char>(code & 0xFF));
        sendFrame(true, Opcode::Close, payload);
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
    std::size_t done = 0;
    while (done < requestText.size()) {
        const ssize_t n = ::send(fd, requestText.data() + done, requestText.size() - done, MSG_NOSIGNAL);
        if (n <= 0 && errno != EAGAIN && errno != EINTR) {
            ::close(fd);
            throw WsError(std::string("send failed: ") + std::strerror(errno));
        }
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        }
    }
    HttpResponse response;
    std::string rest;
    try {
        parseHead(readHead(fd, deadline, rest), response.statusLine, response.headers);
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    response.status = statusOf(response.statusLine);
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
