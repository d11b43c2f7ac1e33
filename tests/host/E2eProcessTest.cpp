// The service as a process: single instance, start-up failure, orderly stop.

#include "E2eTest.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace e2e;
using testsupport::Opcode;
using testsupport::ServiceOptions;
using testsupport::ServiceProcess;
using testsupport::WsClient;

namespace {

using std::chrono::milliseconds;

// Holds 127.0.0.1:1237 for as long as it lives.
class PortSquatter {
public:
    PortSquatter()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // Earlier connections may linger in TIME_WAIT; an active listener
        // still keeps the port from the service.
        const int reuse = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(1237);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_bound = m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                  ::listen(m_fd, 4) == 0;
    }
    ~PortSquatter()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    bool bound() const { return m_bound; }

private:
    int m_fd = -1;
    bool m_bound = false;
};

TEST(ProcessTest, secondInstance_exitsWithOneSilentlyAndFirstKeepsServing)
{
    ServiceOptions options;
    options.plugins = {"echo"};
    ServiceProcess service(options);
    WsClient client;
    client.connect();
    ASSERT_EQ(client.request(loadRequest("echo")), kLoadSuccess);

    const auto second = service.runSecondInstance();
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_EQ(second.standardOutput, "");
    EXPECT_EQ(second.standardError, "");

    EXPECT_TRUE(service.running());
    EXPECT_EQ(client.request("{\"MsgId\":\"k\",\"Method\":\"echo\",\"Param\":\"alive\"}"), answer("k", true, "alive"));
}

TEST(ProcessTest, portInUse_serviceExitsNonZeroWithTheLibrarysListenError)
{
    PortSquatter squatter;
    ASSERT_TRUE(squatter.bound()) << "could not occupy 127.0.0.1:1237 for the test";

    ServiceOptions options;
    options.requirePortFree = false;
    options.waitUntilReady = false;
    ServiceProcess service(options);
    const auto code = service.waitExit(milliseconds(20000));
    ASSERT_TRUE(code) << "the service kept running although the port was taken";
    EXPECT_NE(*code, 0);
    EXPECT_LT(*code, 128) << "ended by a signal, not by an orderly exit";
    EXPECT_NE(service.standardError().find("asio listen"), std::string::npos) << service.standardError();
}

TEST(ProcessTest, sigterm_closesClientsNormallyAndExitsZero)
{
    if (!stopsOnSigterm()) {
        GTEST_SKIP() << "no signal-driven stop for a launched service";
    }
    ServiceOptions options;
    options.plugins = {"echo"};
    ServiceProcess service(options);
    WsClient client;
    client.connect();
    ASSERT_EQ(client.request(loadRequest("echo")), kLoadSuccess);

    service.terminate();
    const auto closed = client.receive(milliseconds(10000));
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->opcode, Opcode::Close);
    EXPECT_EQ(closed->closeCode, 1000);
    EXPECT_EQ(service.waitExit(milliseconds(10000)), std::optional<int>(0));
}

TEST(ProcessTest, portCheck_refusesToStartBesideAnotherListener)
{
    PortSquatter squatter;
    ASSERT_TRUE(squatter.bound());
    try {
        ServiceProcess service;
        FAIL() << "a service was started although the port was taken";
    } catch (const testsupport::ServiceError& e) {
        EXPECT_NE(std::string(e.what()).find("run-in-netns.sh"), std::string::npos) << e.what();
    }
}

} // namespace
