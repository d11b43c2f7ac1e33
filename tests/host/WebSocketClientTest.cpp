#include "websocket/ClientProtocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace websocket;

namespace {

std::string hex(const std::string& bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 0xF];
    }
    return out;
}

// A frame as a server sends it: the client encoding with a zero mask,
// whose mask bit and key are then taken out.
std::string serverFrame(bool fin, Opcode opcode, const std::string& payload)
{
    std::string frame = encodeFrame(fin, opcode, payload, {0, 0, 0, 0});
    frame[1] = static_cast<char>(frame[1] & 0x7F);
    const std::size_t header = frame.size() - payload.size() - 4;
    return frame.erase(header, 4);
}

TEST(WebSocketClientTest, handshake_keyAcceptAndAnswerCheck)
{
    EXPECT_EQ(acceptFor("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    const std::string key = newKey();
    EXPECT_EQ(key.size(), 24u);
    EXPECT_NE(key, newKey());

    const std::string request = upgradeRequest("127.0.0.1", 1237, "/", key, {{"Origin", "https://a.example"}});
    EXPECT_EQ(request.find("GET / HTTP/1.1\r\nHost: 127.0.0.1:1237\r\n"), 0u);
    EXPECT_NE(request.find("\r\nSec-WebSocket-Key: " + key + "\r\n"), std::string::npos);
    EXPECT_NE(request.find("\r\nOrigin: https://a.example\r\n"), std::string::npos);
    EXPECT_EQ(headEnd(request), request.size());
    EXPECT_EQ(headEnd(request.substr(0, request.size() - 1)), std::string::npos);

    const std::string good = "HTTP/1.1 101 Switching Protocols\r\nUPGRADE:  WebSocket \r\nConnection: Upgrade\r\n"
                             "Sec-WebSocket-Accept: " +
                             acceptFor(key) + "\r\n\r\n";
    const ResponseHead head = parseHead(good);
    EXPECT_EQ(head.status, 101);
    EXPECT_EQ(head.headers.at("upgrade"), "WebSocket");
    EXPECT_EQ(checkUpgrade(head, key), Upgrade::accepted);
    EXPECT_EQ(checkUpgrade(head, newKey()), Upgrade::wrongAccept);
    EXPECT_EQ(checkUpgrade(parseHead("HTTP/1.1 403 Forbidden\r\n\r\n"), key), Upgrade::refused);
    EXPECT_EQ(checkUpgrade(parseHead("HTTP/1.1 101 OK\r\nSec-WebSocket-Accept: " + acceptFor(key) + "\r\n"), key),
              Upgrade::notWebSocket);
}

TEST(WebSocketClientTest, frames_roundTripAtEachLengthEncoding)
{
    const std::array<std::uint8_t, 4> mask{0x37, 0xfa, 0x21, 0x3d};
    // 7-bit, 16-bit and 64-bit lengths, each at its edges.
    for (const std::size_t size : {std::size_t{0}, std::size_t{125}, std::size_t{126}, std::size_t{65535},
                                   std::size_t{65536}}) {
        std::string payload(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            payload[i] = static_cast<char>(i * 7);
        }
        const std::string frame = encodeFrame(true, Opcode::Binary, payload, mask);
        const std::size_t header = size < 126 ? 2 : size <= 0xFFFF ? 4 : 10;
        ASSERT_EQ(frame.size(), header + 4 + size) << size;
        EXPECT_EQ(static_cast<std::uint8_t>(frame[0]), 0x82);
        EXPECT_EQ(static_cast<std::uint8_t>(frame[1]), 0x80 | (size < 126 ? size : size <= 0xFFFF ? 126 : 127));
        std::string unmasked = frame.substr(header + 4);
        for (std::size_t i = 0; i < unmasked.size(); ++i) {
            unmasked[i] = static_cast<char>(unmasked[i] ^ mask[i % 4]);
        }
        EXPECT_EQ(unmasked, payload) << size;

        Decoder decoder(1 << 20);
        Message message;
        decoder.feed(serverFrame(true, Opcode::Binary, payload));
        ASSERT_EQ(decoder.next(message), Decoder::Status::message) << size << decoder.error();
        EXPECT_EQ(message.opcode, Opcode::Binary);
        EXPECT_EQ(message.payload, payload);
        EXPECT_EQ(decoder.next(message), Decoder::Status::needMore);
        EXPECT_EQ(decoder.buffered(), 0u);
    }
    // A fresh random mask per frame.
    EXPECT_NE(encodeFrame(true, Opcode::Text, "same"), encodeFrame(true, Opcode::Text, "same"));
    EXPECT_EQ(closeCodeOf(closePayload(kCloseNormal, "bye")), 1000);
    EXPECT_EQ(closeCodeOf(""), kCloseNoStatus);
}

TEST(WebSocketClientTest, decoder_reassemblesPiecesAndPassesControlFramesBetween)
{
    const std::string wire = serverFrame(false, Opcode::Text, "Hel") + serverFrame(true, Opcode::Ping, "p") +
                             serverFrame(false, Opcode::Continuation, "lo ") +
                             serverFrame(true, Opcode::Continuation, std::string(300, 'w')) +
                             serverFrame(true, Opcode::Close, closePayload(1001));
    Decoder decoder(1000);
    Message message;
    std::vector<Message> seen;
    // One byte at a time: every split of a header and a payload is met.
    for (const char c : wire) {
        decoder.feed(std::string(1, c));
        while (decoder.next(message) == Decoder::Status::message) {
            seen.push_back(message);
        }
    }
    ASSERT_EQ(seen.size(), 3u) << decoder.error();
    EXPECT_EQ(seen[0].opcode, Opcode::Ping);
    EXPECT_EQ(seen[1].opcode, Opcode::Text);
    EXPECT_EQ(seen[1].payload, "Hello " + std::string(300, 'w'));
    EXPECT_EQ(seen[2].opcode, Opcode::Close);
    EXPECT_EQ(closeCodeOf(seen[2].payload), 1001);
}

TEST(WebSocketClientTest, decoder_refusesOversizedMaskedAndMalformedFrames)
{
    Message message;
    {
        // Refused from the header alone, before the payload is waited for.
        Decoder decoder(65536);
        decoder.feed(serverFrame(true, Opcode::Text, std::string(65537, 'x')).substr(0, 10));
        EXPECT_EQ(decoder.next(message), Decoder::Status::error);
        EXPECT_EQ(decoder.errorCloseCode(), kCloseTooBig);
        EXPECT_EQ(decoder.buffered(), 0u);
        decoder.feed(serverFrame(true, Opcode::Text, "later"));
        EXPECT_EQ(decoder.next(message), Decoder::Status::error);
    }
    {
        // The bound is on the message, not on each fragment.
        Decoder decoder(10);
        decoder.feed(serverFrame(true, Opcode::Text, std::string(10, 'x')));
        EXPECT_EQ(decoder.next(message), Decoder::Status::message);
        decoder.feed(serverFrame(false, Opcode::Text, std::string(6, 'x')) +
                     serverFrame(true, Opcode::Continuation, std::string(5, 'x')));
        EXPECT_EQ(decoder.next(message), Decoder::Status::error);
        EXPECT_EQ(decoder.errorCloseCode(), kCloseTooBig);
    }
    const std::string masked = encodeFrame(true, Opcode::Text, "hi", {1, 2, 3, 4});
    std::string reserved = serverFrame(true, Opcode::Text, "hi");
    reserved[0] = static_cast<char>(reserved[0] | 0x40);
    std::string bigPing = serverFrame(true, Opcode::Ping, std::string(126, 'p'));
    for (const std::string& wire :
         {masked, reserved, bigPing, serverFrame(true, Opcode::Continuation, "x"),
          serverFrame(false, Opcode::Text, "a") + serverFrame(true, Opcode::Text, "b"),
          serverFrame(false, Opcode::Ping, ""), serverFrame(true, static_cast<Opcode>(0x3), "")}) {
        Decoder decoder(1000);
        decoder.feed(wire);
        EXPECT_EQ(decoder.next(message), Decoder::Status::error) << hex(wire);
        EXPECT_EQ(decoder.errorCloseCode(), kCloseProtocolError) << hex(wire);
    }
}

} // namespace
