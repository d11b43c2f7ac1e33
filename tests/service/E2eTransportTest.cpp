// What the WebSocket endpoint does with the shapes a message can take on
// the wire, and with abuse of it.

#include "harness/E2eTest.h"
#include "server/QueueLimit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <thread>
#include <vector>

using namespace e2e;

namespace {

// Resident memory says something about the service's own queues only in a
// plain native build: a sanitizer holds freed memory back, and a launcher
// (Wine) is a process of its own making.
bool residentMemoryIsTheServices()
{
#if defined(__SANITIZE_ADDRESS__)
    return false;
#else
    return stopsOnSigterm();
#endif
}

// The head of a masked client frame with an all-zero key, so that the
// payload goes on the wire as it is, in as many pieces as a test likes.
std::string frameHead(Opcode opcode, std::uint64_t length)
{
    std::string head(1, static_cast<char>(0x80 | static_cast<int>(opcode)));
    if (length < 126) {
        head += static_cast<char>(0x80 | length);
    } else if (length < 65536) {
        head += static_cast<char>(0x80 | 126);
        head += static_cast<char>(length >> 8);
        head += static_cast<char>(length & 0xFF);
    } else {
        head += static_cast<char>(0x80 | 127);
        for (int shift = 56; shift >= 0; shift -= 8) {
            head += static_cast<char>((length >> shift) & 0xFF);
        }
    }
    return head + std::string(4, '\0');
}

long mebibytes(std::size_t bytes)
{
    return static_cast<long>(bytes >> 20);
}

class TransportTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceOptions options;
        options.plugins = {"echo"};
        startService(options);
        ASSERT_EQ(client.request(loadRequest("echo")), kLoadSuccess);
    }

    // A fresh connection still gets served: the service survived.
    void expectServiceServes()
    {
        WsClient fresh;
        fresh.connect();
        EXPECT_EQ(fresh.request("{\"MsgId\":\"s\",\"Method\":\"x\"}"), harness::notLoaded("s"));
    }

    std::string echoRequest(const std::string& param) const
    {
        return "{\"MsgId\":\"e\",\"Method\":\"echo\",\"Param\":\"" + param + "\"}";
    }
};

TEST_F(TransportTest, binaryAndFragmentedMessages_areAnsweredOnceAsText)
{
    client.sendBinary(echoRequest("bin"));
    auto reply = client.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->opcode, Opcode::Text);
    EXPECT_EQ(reply->payload, answer("e", true, "bin"));

    const std::string request = echoRequest("fragmented");
    client.sendFragmented(Opcode::Text, {request.substr(0, 5), request.substr(5, 20), request.substr(25)});
    EXPECT_EQ(client.receive()->payload, answer("e", true, "fragmented"));
    client.sendFragmented(Opcode::Binary, {request.substr(0, 1), "", request.substr(1)});
    EXPECT_EQ(client.receive()->payload, answer("e", true, "fragmented"));

    // Exactly one answer each: nothing else is pending.
    EXPECT_FALSE(client.receive(std::chrono::milliseconds(200)));
}

TEST_F(TransportTest, ping_getsPongAndNoAnswer)
{
    client.sendPing("are you there");
    EXPECT_EQ(client.request(echoRequest("after")), answer("e", true, "after"));
    ASSERT_EQ(client.pongs().size(), 1u);
    EXPECT_EQ(client.pongs()[0], "are you there");
}

TEST_F(TransportTest, hostilePayloads_leaveConnectionAndServiceWorking)
{
    client.sendBinary(std::string("\x00\xFF\xFE garbage \x01{", 14));
    EXPECT_EQ(client.receive()->payload, invalidSyntax("Invalid message format"));

    EXPECT_EQ(client.request(std::string(100000, '[')), invalidSyntax("Invalid message format"));
    EXPECT_EQ(client.request(std::string(100000, '[') + std::string(100000, ']')),
              invalidSyntax("message not have MsgId"));
    EXPECT_EQ(client.request("{\"MsgId\":\"d\",\"Method\":\"echo\",\"Param\":\"p\",\"x\":" + std::string(50000, '[') +
                             std::string(50000, ']') + "}"),
              answer("d", true, "p"));

    const std::string big(10u << 20, 'b');
    EXPECT_EQ(client.request(echoRequest(big), std::chrono::milliseconds(20000)), answer("e", true, big));

    EXPECT_EQ(client.request(echoRequest("still here")), answer("e", true, "still here"));
    expectServiceServes();
}

TEST_F(TransportTest, connectionThatDoesNotRead_isNotReadBeyondTheQueueLimitAndLosesNothing)
{
    // Far more than the limit plus what the sockets on both sides buffer.
    constexpr int kRequests = 64;
    const std::string param(1u << 20, 'r');
    const auto request = [&](int i) {
        return "{\"MsgId\":\"" + std::to_string(i) + "\",\"Method\":\"echo\",\"Param\":\"" + param + "\"}";
    };
    WsClient stalled;
    stalled.connect();
    ASSERT_EQ(stalled.request(loadRequest("echo")), kLoadSuccess);
    const long startKiB = service->statusKiB("VmRSS");

    std::atomic<int> sent{0};
    std::exception_ptr sendFailure;
    std::thread sender([&] {
        try {
            for (int i = 0; i < kRequests; ++i) {
                stalled.sendText(request(i));
                ++sent;
            }
        } catch (...) {
            sendFailure = std::current_exception();
        }
    });
    // Until the service stops reading and the sender stalls (or is done).
    for (int seen = -1; sent != seen && sent < kRequests;) {
        seen = sent;
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }

    EXPECT_EQ(client.request(echoRequest("meanwhile")), answer("e", true, "meanwhile"));
    expectServiceServes();
    const long growthKiB = service->statusKiB("VmHWM") - startKiB;
    std::printf("[ memory   ] %d of %d requests sent while not reading; peak resident growth %ld KiB\n", sent.load(),
                kRequests, growthKiB);
    if (residentMemoryIsTheServices()) {
        EXPECT_LT(growthKiB, static_cast<long>(server::kMaxQueuedAnswerBytes / 1024) + 10 * 1024);
    }

    int inOrder = 0;
    for (; inOrder < kRequests; ++inOrder) {
        const auto reply = stalled.receive(std::chrono::milliseconds(20000));
        if (!reply || reply->payload != answer(std::to_string(inOrder), true, param)) {
            break;
        }
    }
    if (inOrder < kRequests) {
        service->kill(); // ends the sender's wait
    }
    sender.join();
    EXPECT_EQ(inOrder, kRequests) << "answers received intact and in order";
    EXPECT_FALSE(sendFailure);
    EXPECT_FALSE(stalled.receive(std::chrono::milliseconds(200)));
}

TEST_F(TransportTest, unfinishedMessagesOfManyConnections_holdNoMoreThanTheBudget)
{
    constexpr int kConnections = 8;
    const std::string mebibyte(1u << 20, 'u');
    const long startKiB = service->statusKiB("VmRSS");
    std::vector<std::unique_ptr<WsClient>> senders;
    for (int i = 0; i < kConnections; ++i) {
        senders.push_back(std::make_unique<WsClient>());
        senders.back()->connect();
        try {
            senders.back()->sendRaw(frameHead(Opcode::Text, 31000000));
            for (int sent = 0; sent < 29; ++sent) {
                senders.back()->sendRaw(mebibyte);
            }
        } catch (const harness::WsError&) {
            // Closed while it was sending.
        }
    }
    int closedForSize = 0;
    for (const auto& sender : senders) {
        const auto closed = sender->receive(std::chrono::milliseconds(closedForSize < kConnections - 2 ? 5000 : 200));
        closedForSize += closed && closed->opcode == Opcode::Close && closed->closeCode == 1009;
    }
    // Two of these messages fit the budget; every other was given up.
    EXPECT_GE(closedForSize, kConnections - 2);
    EXPECT_EQ(client.request(echoRequest("ninth")), answer("e", true, "ninth"));
    expectServiceServes();

    const long margin = 16 * 1024;
    const long budgetKiB = static_cast<long>(server::kMaxUnfinishedMessageBytes / 1024);
    std::printf("[ memory   ] %d of %d given up; resident growth %ld KiB, peak %ld KiB (start %ld KiB)\n",
                closedForSize, kConnections, service->statusKiB("VmRSS") - startKiB,
                service->statusKiB("VmHWM") - startKiB, startKiB);
    if (residentMemoryIsTheServices()) {
        EXPECT_LT(service->statusKiB("VmHWM") - startKiB, budgetKiB + margin);
        EXPECT_TRUE(eventually([&] { return service->statusKiB("VmRSS") - startKiB < budgetKiB + margin; }))
            << service->statusKiB("VmRSS") - startKiB << " KiB";
    }
    EXPECT_NE(service->standardError().find("(1009): its unfinished message holds"), std::string::npos)
        << service->standardError();
}

TEST_F(TransportTest, peersThatStop_areClosed_pingingWithoutReadingOrLeavingAMessageUnfinished)
{
    WsClient stalled;
    stalled.connect();
    stalled.sendRaw(frameHead(Opcode::Binary, 1000) + "only ten b");
    WsClient flooder;
    flooder.connect();
    const long startKiB = service->statusKiB("VmRSS");

    std::string pings;
    for (int i = 0; i < 1000; ++i) {
        pings += frameHead(Opcode::Ping, 125) + std::string(125, 'p');
    }
    std::atomic<long> sentBytes{0};
    std::atomic<bool> ended{false};
    std::thread sender([&] {
        try {
            while (sentBytes < (300L << 20)) {
                flooder.sendRaw(pings);
                sentBytes += static_cast<long>(pings.size());
            }
        } catch (const harness::WsError&) {
            ended = true; // the service dropped the connection
        }
    });

    const auto closed = stalled.receive(std::chrono::milliseconds(60000));
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->opcode, Opcode::Close);
    EXPECT_EQ(closed->closeCode, 1009);

    const bool floodEnded = eventually([&] { return ended.load(); }, std::chrono::milliseconds(30000));
    if (!floodEnded) {
        service->kill(); // ends the sender's wait
    }
    sender.join();
    // Under Wine 8 a socket with a write pending stays open after the
    // service closed it, so the flooding peer never learns; the service
    // still stopped reading it, which bounds its memory.
    if (stopsOnSigterm()) {
        EXPECT_TRUE(floodEnded) << sentBytes << " bytes of pings sent";
    }
    const long growthKiB = service->statusKiB("VmHWM") - startKiB;
    std::printf("[ memory   ] %ld KiB of pings sent before the service stopped reading; peak resident growth %ld KiB\n",
                sentBytes.load() / 1024, growthKiB);
    if (residentMemoryIsTheServices()) {
        EXPECT_LT(growthKiB, mebibytes(server::kMaxQueuedAnswerBytes) * 1024 + 16 * 1024);
    }
    if (floodEnded) {
        EXPECT_EQ(client.request(echoRequest("still here")), answer("e", true, "still here"));
    }
}

TEST_F(TransportTest, largestMessageOfOpenBrackets_isRejectedInLittleMemoryWhileOthersAreServed)
{
    WsClient other;
    other.connect();
    client.sendText(std::string(31000000, '['));
    EXPECT_EQ(other.request("{\"MsgId\":\"m\",\"Method\":\"x\"}", std::chrono::milliseconds(20000)),
              harness::notLoaded("m"));
    const auto rejected = client.receive(std::chrono::milliseconds(20000));
    ASSERT_TRUE(rejected);
    EXPECT_EQ(rejected->payload, invalidSyntax("Invalid message format"));
    const long peakKiB = service->statusKiB("VmHWM");
    std::printf("[ memory   ] peak resident %ld KiB\n", peakKiB);
    if (residentMemoryIsTheServices()) {
        EXPECT_LT(peakKiB, 100L * 1000 * 1000 / 1024);
    }
    EXPECT_EQ(client.request(echoRequest("after")), answer("e", true, "after"));
}

TEST_F(TransportTest, draftProtocolHandshakes_getUpgradeRequiredNamingVersion13)
{
    const std::string head = "GET / HTTP/1.1\r\nHost: 127.0.0.1:1237\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n";
    const std::string hybi = head + "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    const std::vector<std::string> drafts = {
        // hixie-76: two number keys and eight bytes after the head.
        "GET / HTTP/1.1\r\nHost: 127.0.0.1:1237\r\nUpgrade: WebSocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key1: 4 @1  46546xW%0l 1 5\r\nSec-WebSocket-Key2: 12998 5 Y3 1  .P00\r\n"
        "Origin: http://page.example\r\n\r\n^n:ds[4U",
        hybi + "Sec-WebSocket-Version: 8\r\nSec-WebSocket-Origin: http://page.example\r\n\r\n",
        hybi + "Sec-WebSocket-Version: 7\r\n\r\n",
    };
    for (const std::string& draft : drafts) {
        const auto response = harness::httpExchange(draft);
        EXPECT_EQ(response.status, 426) << response.statusLine << "\n" << draft;
        EXPECT_EQ(response.headers.count("sec-websocket-version") ? response.headers.at("sec-websocket-version") : "",
                  "13");
    }
    EXPECT_TRUE(eventually([&] {
        const std::string log = service->standardOutput();
        std::size_t lines = 0;
        for (auto at = log.find("is not served, only 13"); at != std::string::npos;
             at = log.find("is not served, only 13", at + 1)) {
            ++lines;
        }
        return lines == drafts.size();
    })) << service->standardOutput();
    expectServiceServes();
}

TEST_F(TransportTest, protocolViolations_closeOnlyThatConnection)
{
    WsClient rawGarbage;
    rawGarbage.connect();
    rawGarbage.sendRaw(std::string("\xFF\xFF\xFF\xFF this is not a frame", 24));
    auto closed = rawGarbage.receive();
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->opcode, Opcode::Close);

    WsClient invalidText;
    invalidText.connect();
    invalidText.sendText("{\"MsgId\":\"\xC3\x28\"}");
    closed = invalidText.receive();
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->opcode, Opcode::Close);
    EXPECT_EQ(closed->closeCode, 1007);

    WsClient oversized;
    oversized.connect();
    try {
        oversized.sendBinary(std::string(32000001, ' '));
    } catch (const harness::WsError&) {
        // The service may refuse the rest of the frame once it read the size.
    }
    closed = oversized.receive(std::chrono::milliseconds(20000));
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->opcode, Opcode::Close);
    EXPECT_EQ(closed->closeCode, 1009);

    EXPECT_EQ(client.request(echoRequest("unaffected")), answer("e", true, "unaffected"));
    expectServiceServes();
}

TEST_F(TransportTest, requestFollowedByClose_isAnsweredBeforeTheClose)
{
    client.sendText(echoRequest("last words"));
    client.sendFrame(true, Opcode::Close, std::string("\x03\xE8", 2));
    auto first = client.receive();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->opcode, Opcode::Text);
    EXPECT_EQ(first->payload, answer("e", true, "last words"));
    auto second = client.receive();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->opcode, Opcode::Close);
    EXPECT_EQ(second->closeCode, 1000);
}

TEST_F(TransportTest, handshake_acceptsAnyPathAndNamesTheLibrary)
{
    WsClient elsewhere;
    elsewhere.connect("127.0.0.1", 1237, "/some/where?with=query");
    EXPECT_EQ(elsewhere.handshakeHeaders().at("server"), "WebSocket++/0.8.2");
    EXPECT_EQ(elsewhere.handshakeHeaders().count("sec-websocket-protocol"), 0u);
    EXPECT_EQ(elsewhere.request("{\"MsgId\":\"p\",\"Method\":\"x\"}"), harness::notLoaded("p"));
}

TEST_F(TransportTest, plainHttpGet_getsUpgradeRequired)
{
    const auto response = harness::httpGet("/");
    EXPECT_EQ(response.status, 426) << response.statusLine;
    EXPECT_EQ(response.headers.at("server"), "WebSocket++/0.8.2");
    expectServiceServes();
}

} // namespace
