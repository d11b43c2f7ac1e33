#include "websocket/ClientProtocol.h"

// Two small header-only utilities of the library the service is built on;
// they pull in nothing of its endpoint or of Asio.
#include <websocketpp/base64/base64.hpp>
#include <websocketpp/sha1/sha1.hpp>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <random>

namespace websocket {
namespace {

// One per thread: clients on different threads draw keys and masks at once.
std::mt19937& randomEngine()
{
    thread_local std::mt19937 engine{std::random_device{}()};
    return engine;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string trim(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t\r");
    return first == std::string_view::npos ? std::string() : std::string(text.substr(first, last - first + 1));
}

bool isControl(Opcode opcode)
{
    return (static_cast<std::uint8_t>(opcode) & 0x8) != 0;
}

} // namespace

std::string newKey()
{
    std::string nonce(16, '\0');
    for (char& b : nonce) {
        b = static_cast<char>(randomEngine()() & 0xFF);
    }
    return websocketpp::base64_encode(nonce);
}

std::string acceptFor(std::string_view key)
{
    const std::string keyed = std::string(key) + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[20];
    websocketpp::sha1::calc(keyed.data(), keyed.size(), digest);
    return websocketpp::base64_encode(digest, sizeof digest);
}

std::string upgradeRequest(const std::string& host, int port, const std::string& path, const std::string& key,
                           const std::map<std::string, std::string>& extraHeaders)
{
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + host + ":" + std::to_string(port) +
                          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key +
                          "\r\nSec-WebSocket-Version: 13\r\n";
    for (const auto& [name, value] : extraHeaders) {
        request += name + ": " + value + "\r\n";
    }
    return request + "\r\n";
}

std::size_t headEnd(std::string_view data)
{
    const auto end = data.find("\r\n\r\n");
    return end == std::string_view::npos ? std::string_view::npos : end + 4;
}

ResponseHead parseHead(std::string_view head)
{
    ResponseHead parsed;
    std::size_t pos = head.find("\r\n");
    parsed.statusLine = std::string(head.substr(0, pos));
    while (pos != std::string_view::npos && pos + 2 < head.size()) {
        const std::size_t next = head.find("\r\n", pos + 2);
        const std::string_view line = head.substr(pos + 2, next == std::string_view::npos ? next : next - pos - 2);
        const auto colon = line.find(':');
        if (colon != std::string_view::npos) {
            parsed.headers[lower(trim(line.substr(0, colon)))] = trim(line.substr(colon + 1));
        }
        pos = next;
    }
    const auto space = parsed.statusLine.find(' ');
    parsed.status = space == std::string::npos ? 0 : std::atoi(parsed.statusLine.c_str() + space + 1);
    return parsed;
}

Upgrade checkUpgrade(const ResponseHead& head, std::string_view key)
{
    if (head.status != 101) {
        return Upgrade::refused;
    }
    const auto accept = head.headers.find("sec-websocket-accept");
    if (accept == head.headers.end() || accept->second != acceptFor(key)) {
        return Upgrade::wrongAccept;
    }
    const auto upgrade = head.headers.find("upgrade");
    if (upgrade == head.headers.end() || lower(upgrade->second) != "websocket") {
        return Upgrade::notWebSocket;
    }
    return Upgrade::accepted;
}

std::string encodeFrame(bool fin, Opcode opcode, std::string_view payload)
{
    std::array<std::uint8_t, 4> mask{};
    const std::uint32_t bits = randomEngine()();
    for (std::size_t i = 0; i < mask.size(); ++i) {
        mask[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
    return encodeFrame(fin, opcode, payload, mask);
}

std::string encodeFrame(bool fin, Opcode opcode, std::string_view payload, std::array<std::uint8_t, 4> mask)
{
    std::string frame;
    frame.reserve(payload.size() + 14);
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
    frame.append(reinterpret_cast<const char*>(mask.data()), mask.size());
    for (std::size_t i = 0; i < payload.size(); ++i) {
        frame.push_back(static_cast<char>(static_cast<std::uint8_t>(payload[i]) ^ mask[i % 4]));
    }
    return frame;
}

std::string closePayload(int code, std::string_view reason)
{
    std::string payload;
    payload.push_back(static_cast<char>((code >> 8) & 0xFF));
    payload.push_back(static_cast<char>(code & 0xFF));
    payload += reason;
    return payload;
}

int closeCodeOf(std::string_view payload)
{
    if (payload.size() < 2) {
        return kCloseNoStatus;
    }
    return (static_cast<std::uint8_t>(payload[0]) << 8) | static_cast<std::uint8_t>(payload[1]);
}

Decoder::Decoder(std::size_t maxMessageBytes)
    : m_max(maxMessageBytes)
{
}

void Decoder::feed(std::string_view bytes)
{
    if (!m_error.empty()) {
        return;
    }
    // What was handed out goes before more comes in, so the buffer holds
    // at most one frame's worth beyond what is still unread.
    if (m_at > 0) {
        m_in.erase(0, m_at);
        m_at = 0;
    }
    m_in.append(bytes.data(), bytes.size());
}

Decoder::Status Decoder::fail(int code, std::string why)
{
    m_error = std::move(why);
    m_errorCode = code;
    m_in.clear();
    m_at = 0;
    m_partial.clear();
    return Status::error;
}

Decoder::Status Decoder::next(Message& out)
{
    for (;;) {
        if (!m_error.empty()) {
            return Status::error;
        }
        const std::size_t available = m_in.size() - m_at;
        if (available < 2) {
            return Status::needMore;
        }
        const auto byte = [this](std::size_t i) { return static_cast<std::uint8_t>(m_in[m_at + i]); };
        const bool fin = (byte(0) & 0x80) != 0;
        const auto opcode = static_cast<Opcode>(byte(0) & 0x0F);
        if ((byte(0) & 0x70) != 0) {
            return fail(kCloseProtocolError, "frame with a reserved bit set");
        }
        if ((byte(1) & 0x80) != 0) {
            return fail(kCloseProtocolError, "the server masked a frame");
        }
        const std::uint8_t length7 = byte(1) & 0x7F;
        const std::size_t header = length7 == 127 ? 10 : length7 == 126 ? 4 : 2;
        if (available < header) {
            return Status::needMore;
        }
        std::uint64_t size = length7;
        if (length7 == 126) {
            size = (std::uint64_t{byte(2)} << 8) | byte(3);
        } else if (length7 == 127) {
            size = 0;
            for (std::size_t i = 2; i < 10; ++i) {
                size = (size << 8) | byte(i);
            }
        }

        switch (opcode) {
        case Opcode::Close:
        case Opcode::Ping:
        case Opcode::Pong:
            if (!fin || size > 125) {
                return fail(kCloseProtocolError, "control frame fragmented or longer than 125 bytes");
            }
            break;
        case Opcode::Continuation:
            if (!m_assembling) {
                return fail(kCloseProtocolError, "continuation frame without a message to continue");
            }
            break;
        case Opcode::Text:
        case Opcode::Binary:
            if (m_assembling) {
                return fail(kCloseProtocolError, "new data frame inside a fragmented message");
            }
            break;
        default:
            return fail(kCloseProtocolError, "reserved opcode " + std::to_string(static_cast<int>(opcode)));
        }
        // Refused from its header alone, before any of it is waited for.
        const std::size_t sofar = opcode == Opcode::Continuation ? m_partial.size() : 0;
        if (!isControl(opcode) && size > m_max - sofar) {
            return fail(kCloseTooBig, "message longer than " + std::to_string(m_max) + " bytes");
        }
        if (available - header < size) {
            return Status::needMore;
        }
        const std::string_view payload(m_in.data() + m_at + header, static_cast<std::size_t>(size));
        m_at += header + static_cast<std::size_t>(size);

        if (isControl(opcode)) {
            out.opcode = opcode;
            out.payload.assign(payload.data(), payload.size());
            return Status::message;
        }
        if (opcode != Opcode::Continuation) {
            m_partialOpcode = opcode;
            m_partial.assign(payload.data(), payload.size());
        } else {
            m_partial.append(payload.data(), payload.size());
        }
        if (!fin) {
            m_assembling = true;
            continue;
        }
        m_assembling = false;
        out.opcode = m_partialOpcode;
        out.payload = std::move(m_partial);
        m_partial.clear();
        if (m_at == m_in.size()) {
            m_in.clear();
            m_at = 0;
        }
        return Status::message;
    }
}

} // namespace websocket
