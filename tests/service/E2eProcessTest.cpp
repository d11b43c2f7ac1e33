// The service as a process: single instance, start-up failure, orderly stop.

#include "harness/E2eTest.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

using namespace e2e;

namespace {

using std::chrono::milliseconds;

// Holds a port of 127.0.0.1 for as long as it lives.
class PortSquatter {
public:
    explicit PortSquatter(int port = 1237)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // Earlier connections may linger in TIME_WAIT; an active listener
        // still keeps the port from the service.
        const int reuse = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
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

TEST(ProcessTest, firstPortInUse_serviceServesOnTheNextAndSaysSo)
{
    PortSquatter squatter;
    ASSERT_TRUE(squatter.bound()) << "could not occupy 127.0.0.1:1237 for the test";

    ServiceOptions options;
    options.plugins = {"echo"};
    options.requirePortFree = false;
    options.port = 1238;
    ServiceProcess service(options);
    WsClient client;
    client.connect("127.0.0.1", 1238);
    EXPECT_EQ(client.request(loadRequest("echo")), kLoadSuccess);
    EXPECT_TRUE(eventually([&] {
        return service.standardOutput().find("port 1237 is taken, listening on 127.0.0.1:1238") != std::string::npos;
    })) << service.standardOutput();
    EXPECT_EQ(service.standardError().find("asio listen"), std::string::npos) << service.standardError();
}

TEST(ProcessTest, everyPortInUse_serviceExitsNonZeroWithTheLibrarysListenError)
{
    std::vector<std::unique_ptr<PortSquatter>> squatters;
    for (int port = 1237; port <= 1300; ++port) {
        squatters.push_back(std::make_unique<PortSquatter>(port));
        ASSERT_TRUE(squatters.back()->bound()) << "could not occupy 127.0.0.1:" << port << " for the test";
    }

    ServiceOptions options;
    options.requirePortFree = false;
    options.waitUntilReady = false;
    ServiceProcess service(options);
    const auto code = service.waitExit(milliseconds(20000));
    ASSERT_TRUE(code) << "the service kept running although the port was taken";
    EXPECT_EQ(*code, 2) << "the code that says every port is taken";
    const std::string errors = service.standardError();
    const auto first = errors.find("asio listen");
    EXPECT_NE(first, std::string::npos) << errors;
    EXPECT_EQ(errors.find("asio listen", first + 1), std::string::npos) << "one line for the range, not one per port";
}

// Any other failed start is not the orderly "no port" end: the Windows
// supervisor and systemd start such a service again.
TEST(ProcessTest, startFailingOtherwise_exitsWithFourAndSaysWhy)
{
    if (!harness::environmentOr("CORVANE_TEST_LAUNCHER").empty()) {
        GTEST_SKIP() << "the descriptor limit is set here through a launcher of its own";
    }
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "a sanitized service cannot run out of descriptors";
#endif
    // Too few descriptors for the event loop and the listener, soft and hard.
    ASSERT_EQ(::setenv("CORVANE_TEST_LAUNCHER", "prlimit --nofile=5:5", 1), 0);
    ServiceOptions options;
    options.waitUntilReady = false;
    std::optional<ServiceProcess> started;
    try {
        started.emplace(options);
    } catch (...) {
        ::unsetenv("CORVANE_TEST_LAUNCHER");
        throw;
    }
    ::unsetenv("CORVANE_TEST_LAUNCHER");
    const auto code = started->waitExit(milliseconds(20000));
    ASSERT_TRUE(code) << "the service kept running without descriptors";
    EXPECT_EQ(*code, 4) << started->standardError();
    EXPECT_NE(started->standardError().find("the service could not start: "), std::string::npos)
        << started->standardError();
}

TEST(ProcessTest, acceptedConnection_loggedOnceWithOriginAndUserWhereTheSystemTells)
{
    ServiceProcess service;
    for (int i = 0; i < 2; ++i) {
        WsClient client;
        client.setRequestHeader("Origin", "https://app.example");
        client.connect();
        client.close();
    }
    // The user alone: finding the process would cost every handshake a
    // search. Under Wine no owner is named, and the service says once that
    // it cannot tell users apart.
    const bool ownersNamed = stopsOnSigterm();
    // The line ends there: no process after the uid.
    const std::string owner =
        ownersNamed ? "uid " + std::to_string(::geteuid()) + "\n" : std::string("process not known");
    const std::string line = "accepted, Origin \"https://app.example\", " + owner;
    ASSERT_TRUE(eventually([&] {
        const std::string log = service.standardOutput();
        const auto first = log.find(line);
        return first != std::string::npos && log.find(line, first + 1) != std::string::npos;
    })) << service.standardOutput();

    const std::string errors = service.standardError();
    const std::string unnamed = "connections cannot be told apart by user";
    const auto at = errors.find(unnamed);
    if (ownersNamed) {
        EXPECT_EQ(at, std::string::npos) << errors;
    } else {
        ASSERT_NE(at, std::string::npos) << errors;
        EXPECT_EQ(errors.find(unnamed, at + 1), std::string::npos) << errors;
    }
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

TEST(ProcessTest, sigterm_alsoClosesAConnectionWhoseHandshakeEndsAfterIt)
{
    if (!stopsOnSigterm()) {
        GTEST_SKIP() << "no signal-driven stop for a launched service";
    }
    ServiceProcess service;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(1237);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const auto sendText = [fd](const std::string& text) {
        ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
    };
    sendText("GET / HTTP/1.1\r\nHost: 127.0.0.1:1237\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n");
    // Connections are accepted in order: once a later one is open, the
    // service holds the first, half-way through its upgrade request.
    WsClient later;
    later.connect();

    service.terminate();
    ASSERT_TRUE(eventually([] { return !harness::isListening("127.0.0.1", 1237); }, milliseconds(10000)));
    sendText("Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");

    // The handshake completes, and the stop closes this connection as well.
    std::string received;
    const std::string closeFrame("\x88\x12\x03\xe8service stopping", 20);
    pollfd readable{fd, POLLIN, 0};
    while (received.find(closeFrame) == std::string::npos && ::poll(&readable, 1, 5000) == 1) {
        char buffer[512];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        received.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    later.close(); // answers the service's close, so that it need not wait for it
    EXPECT_EQ(received.rfind("HTTP/1.1 101", 0), 0u) << received;
    EXPECT_NE(received.find(closeFrame), std::string::npos) << received;
    EXPECT_EQ(service.waitExit(milliseconds(10000)), std::optional<int>(0));
}

// User plus system CPU time of a process in clock ticks, from /proc/PID/stat.
long cpuTicks(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto afterName = stat.rfind(')');
    if (afterName == std::string::npos) {
        return -1;
    }
    std::istringstream fields(stat.substr(afterName + 2));
    std::string field;
    long user = 0;
    long system = 0;
    // Fields 3 to 13 (state ... cmajflt), then utime and stime.
    for (int i = 3; i <= 13; ++i) {
        fields >> field;
    }
    fields >> user >> system;
    return fields ? user + system : -1;
}

long countOf(const std::string& text, const std::string& what)
{
    long count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
        ++count;
    }
    return count;
}

TEST(ProcessTest, outOfDescriptors_pausesAcceptingQuietlyServesTheConnectedAndRecovers)
{
    if (!harness::environmentOr("CORVANE_TEST_LAUNCHER").empty()) {
        GTEST_SKIP() << "descriptor limits are set here on a native service";
    }
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers probe memory through a pipe; in a process out of
    // descriptors they take every dynamic type check for a fault.
    GTEST_SKIP() << "a sanitized service cannot run out of descriptors";
#endif
    ServiceOptions options;
    options.plugins = {"echo"};
    // Started with a soft limit below the hard one, which it lifts.
    rlimit own{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
    rlimit lowered = own;
    lowered.rlim_cur = std::min<rlim_t>(own.rlim_max - 1, 256);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::optional<ServiceProcess> started;
    started.emplace(options);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &own), 0);
    ServiceProcess& service = *started;
    rlimit lifted{};
    ASSERT_EQ(::prlimit(service.pid(), RLIMIT_NOFILE, nullptr, &lifted), 0);
    EXPECT_EQ(lifted.rlim_cur, own.rlim_max);

    WsClient served;
    served.connect();
    ASSERT_EQ(served.request(loadRequest("echo")), kLoadSuccess);
    // Soft and hard together, so that the service cannot lift it.
    const rlimit low{48, 48};
    ASSERT_EQ(::prlimit(service.pid(), RLIMIT_NOFILE, &low, nullptr), 0) << std::strerror(errno);

    const auto logLines = [&service] {
        return countOf(service.standardOutput(), "\n") + countOf(service.standardError(), "\n");
    };
    const long linesBefore = logLines();
    const long ticksBefore = cpuTicks(service.pid());
    std::vector<int> held;
    for (int i = 0; i < 200; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        held.push_back(fd);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(1237);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << i;
    }
    std::this_thread::sleep_for(milliseconds(1500));
    EXPECT_EQ(served.request("{\"MsgId\":\"m\",\"Method\":\"echo\",\"Param\":\"meanwhile\"}"),
              answer("m", true, "meanwhile"));
    std::this_thread::sleep_for(milliseconds(1500));
    const long ticks = cpuTicks(service.pid()) - ticksBefore;
    const long lines = logLines() - linesBefore;
    const std::string errors = service.standardError();

    // Spinning on the failed accept takes a whole core (about 300 ticks at
    // 100 per second over these 3 s) and logs hundreds of thousands of lines.
    EXPECT_GE(ticksBefore, 0);
    EXPECT_LT(ticks, ::sysconf(_SC_CLK_TCK)) << "CPU ticks while saturated";
    EXPECT_LT(lines, 300) << errors.substr(errors.size() - std::min<std::size_t>(errors.size(), 2000));
    EXPECT_EQ(countOf(errors, "not accepting for now"), 1) << errors;

    for (const int fd : held) {
        ::close(fd);
    }
    WsClient later;
    ASSERT_TRUE(eventually(
        [&later] {
            try {
                later.connect();
                return true;
            } catch (const harness::WsError&) {
                return false;
            }
        },
        milliseconds(15000)));
    EXPECT_EQ(later.request(loadRequest("echo")), kLoadSuccess);
    EXPECT_TRUE(eventually([&service] { return countOf(service.standardError(), "descriptors free again") == 1; }))
        << service.standardError();
    disconnect(served);
    disconnect(later);
    expectCleanStop(service);
}

TEST(ProcessTest, portCheck_refusesToStartBesideAnotherListener)
{
    PortSquatter squatter;
    ASSERT_TRUE(squatter.bound());
    try {
        ServiceProcess service;
        FAIL() << "a service was started although the port was taken";
    } catch (const harness::ServiceError& e) {
        EXPECT_NE(std::string(e.what()).find("run-in-netns.sh"), std::string::npos) << e.what();
    }
}

} // namespace
