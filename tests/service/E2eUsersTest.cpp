// Two accounts on one machine: each one's service serves that account's
// processes alone, and the second gets a port of its own. The test runs as
// root (CI does) and plays the second account as "nobody".

#include "harness/E2eTest.h"
#include "server/InstanceGuardName.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <grp.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

using namespace e2e;
using harness::WsError;

namespace {

using std::chrono::milliseconds;

struct Account {
    uid_t uid = 0;
    gid_t gid = 0;
};

// The other account, or a failed test that says why there is none.
::testing::AssertionResult otherAccount(Account& account)
{
    if (::geteuid() != 0) {
        return ::testing::AssertionFailure() << "this test plays two users and must run as root (CI does)";
    }
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr || nobody->pw_uid == 0) {
        return ::testing::AssertionFailure() << "no account \"nobody\" to play the second user";
    }
    account = Account{nobody->pw_uid, nobody->pw_gid};
    return ::testing::AssertionSuccess();
}

// Runs body in a forked child that has become the account, and returns
// what body returned (or why it could not run).
std::string asAccount(const Account& account, const std::function<std::string()>& body)
{
    int pipe[2];
    if (::pipe(pipe) != 0) {
        return std::string("pipe failed: ") + std::strerror(errno);
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipe[0]);
        std::string result;
        if (::setgroups(0, nullptr) != 0 || ::setgid(account.gid) != 0 || ::setuid(account.uid) != 0) {
            result = std::string("cannot become uid ") + std::to_string(account.uid) + ": " + std::strerror(errno) +
                     " (a user namespace without other users?)";
        } else {
            try {
                result = body();
            } catch (const std::exception& e) {
                result = std::string("error: ") + e.what();
            }
        }
        (void)!::write(pipe[1], result.data(), result.size());
        _exit(0);
    }
    ::close(pipe[1]);
    std::string result;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno != EINTR) {
            break;
        }
        result.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    ::close(pipe[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return result;
}

// Like asAccount, in two steps: the child runs first and hands its result
// to between, which runs here, then the child runs second. For an attack in
// which the owner's own program takes part.
std::string asAccountInTwoSteps(const Account& account, const std::function<std::string()>& first,
                                const std::function<void(const std::string&)>& between,
                                const std::function<std::string()>& second)
{
    int go[2];
    int step[2];
    if (::pipe(go) != 0) {
        return std::string("pipe failed: ") + std::strerror(errno);
    }
    if (::pipe(step) != 0) {
        ::close(go[0]);
        ::close(go[1]);
        return std::string("pipe failed: ") + std::strerror(errno);
    }
    std::string result;
    std::thread child([&] {
        result = asAccount(account, [&] {
            const std::string firstResult = first() + "\n";
            (void)!::write(step[1], firstResult.data(), firstResult.size());
            char byte = 0;
            (void)!::read(go[0], &byte, 1);
            return second();
        });
    });
    std::string firstResult;
    char c = 0;
    while (::read(step[0], &c, 1) == 1 && c != '\n') {
        firstResult += c;
    }
    between(firstResult);
    (void)!::write(go[1], "g", 1);
    child.join();
    for (const int fd : {go[0], go[1], step[0], step[1]}) {
        ::close(fd);
    }
    return result;
}

// A handshake on a bare socket: "<client port> <everything the service
// sent until it closed>", so that a test sees the answer whole. fd, when
// given, is a socket the caller has bound; hangUp closes it right after the
// request, before any answer.
std::string rawHandshake(int port, int given = -1, bool hangUp = false)
{
    const int fd = given >= 0 ? given : ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return std::string("connect failed: ") + std::strerror(errno);
    }
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"
                                "\x81\x84\x00\x00\x00\x00{\"x\"";
    (void)!::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string received = std::to_string(ntohs(local.sin_port)) + " ";
    if (hangUp) {
        ::close(fd);
        return received;
    }
    pollfd readable{fd, POLLIN, 0};
    char buffer[1024];
    while (::poll(&readable, 1, 5000) == 1) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        received.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return received;
}

std::string echoThrough(int port)
{
    WsClient client;
    client.connect("127.0.0.1", port);
    const std::string loaded = client.request(loadRequest("echo"));
    return loaded == kLoadSuccess ? client.request("{\"MsgId\":\"b\",\"Method\":\"echo\",\"Param\":\"mine\"}")
                                  : loaded;
}

bool logHas(const ServiceProcess& service, const std::string& text)
{
    return eventually([&] { return service.standardOutput().find(text) != std::string::npos; });
}

} // namespace

TEST(UsersTest, anotherUsersProcess_refusedWith403AndNothingElseWhileTheOwnerIsServed)
{
    Account other;
    ASSERT_TRUE(otherAccount(other));
    ServiceOptions options;
    options.plugins = {"echo"};
    ServiceProcess service(options);
    WsClient mine;
    mine.connect();
    ASSERT_EQ(mine.request(loadRequest("echo")), kLoadSuccess);

    const std::string refused = asAccount(other, [] { return rawHandshake(1237); });
    const std::string clientPort = refused.substr(0, refused.find(' '));
    const std::string response = refused.substr(refused.find(' ') + 1);
    EXPECT_EQ(response.rfind("HTTP/1.1 403", 0), 0u) << refused;
    EXPECT_EQ(response.find("\r\n\r\n") + 4, response.size()) << "no body, no frame after the 403: " << refused;
    EXPECT_TRUE(logHas(service, "connection of uid " + std::to_string(other.uid) + " refused, client port " +
                                    clientPort + "\n"))
        << service.standardOutput();

    // The owner goes on, on the open connection and on a new one.
    EXPECT_EQ(mine.request("{\"MsgId\":\"k\",\"Method\":\"echo\",\"Param\":\"alive\"}"), answer("k", true, "alive"));
    EXPECT_EQ(echoThrough(1237), answer("b", true, "mine"));
    disconnect(mine);
    expectCleanStop(service);
}

TEST(UsersTest, secondUsersService_takes1238AndServesThatUserOnly)
{
    Account other;
    ASSERT_TRUE(otherAccount(other));
    ServiceOptions options;
    options.plugins = {"echo"};
    ServiceProcess first(options);

    ServiceOptions theirs = options;
    theirs.port = 1238;
    theirs.requirePortFree = false;
    theirs.user = other.uid;
    theirs.group = other.gid;
    ServiceProcess second(theirs);
    EXPECT_TRUE(logHas(second, "port 1237 is taken, listening on 127.0.0.1:1238")) << second.standardOutput();

    EXPECT_EQ(asAccount(other, [] { return echoThrough(1238); }), answer("b", true, "mine"));
    WsClient intruder;
    EXPECT_THROW(intruder.connect("127.0.0.1", 1238), WsError);
    EXPECT_EQ(intruder.handshakeStatus(), 403);
    EXPECT_TRUE(logHas(second, "connection of uid 0 refused")) << second.standardOutput();

    EXPECT_EQ(echoThrough(1237), answer("b", true, "mine"));
    expectCleanStop(second);
    expectCleanStop(first);
}

// The other account binds its client socket to the loopback device, on a
// port where a program of the owner then listens (SO_REUSEADDR lets both
// bind). An exact lookup of the client's socket without its device misses
// it and the kernel answers with that listener instead.
TEST(UsersTest, clientBoundToLoopbackOnThePortOfTheOwnersListener_refusedAndNamed)
{
    Account other;
    ASSERT_TRUE(otherAccount(other));
    ServiceOptions options;
    options.plugins = {"echo"};
    ServiceProcess service(options);

    int client = -1;
    int ownersListener = -1;
    const std::string refused = asAccountInTwoSteps(
        other,
        [&] {
            client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const int on = 1;
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t length = sizeof address;
            if (::setsockopt(client, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
                ::setsockopt(client, SOL_SOCKET, SO_BINDTODEVICE, "lo", 3) != 0 ||
                ::bind(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                ::getsockname(client, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
                return std::string("0");
            }
            return std::to_string(ntohs(address.sin_port));
        },
        [&](const std::string& port) {
            ownersListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const int on = 1;
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (port == "0" || ::setsockopt(ownersListener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
                ::bind(ownersListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                ::listen(ownersListener, 4) != 0) {
                ADD_FAILURE() << "the set-up of the trick failed on port " << port << ": " << std::strerror(errno);
            }
        },
        [&] { return rawHandshake(1237, client); });
    ::close(ownersListener);
    const std::string clientPort = refused.substr(0, refused.find(' '));
    EXPECT_EQ(refused.find("HTTP/1.1 403"), clientPort.size() + 1) << refused;
    EXPECT_TRUE(logHas(service, "connection of uid " + std::to_string(other.uid) + " refused, client port " +
                                    clientPort + "\n"))
        << service.standardOutput();

    // A client that hangs up right after its request leaves a closing
    // socket that the kernel reports as root's: refused all the same.
    const std::string gone = asAccount(other, [] { return rawHandshake(1237, -1, true); });
    EXPECT_TRUE(logHas(service, " refused, client port " + gone.substr(0, gone.find(' ')) + "\n"))
        << service.standardOutput();
    EXPECT_EQ(echoThrough(1237), answer("b", true, "mine"));
    expectCleanStop(service);
}

// Without a runtime directory the guard lives in a directory of the user's
// own under /tmp. Here root plays the other user: it plants a lock file
// 0666 beside the guard's place (its name + ".lock"), and a directory of
// the guard's name with one inside, and holds both locks. Neither passes
// for a running service.
TEST(UsersTest, guardPlantedByAnotherUserInTmp_isNotTakenForARunningService)
{
    Account owner;
    ASSERT_TRUE(otherAccount(owner));
    const std::string place = std::string("/tmp/") + server::kInstanceGuardName + "-" + std::to_string(owner.uid);
    const auto clear = [&] {
        std::error_code ignored;
        std::filesystem::remove_all(place, ignored);
        std::filesystem::remove(place + ".lock", ignored);
    };
    clear();
    ServiceOptions options;
    options.plugins = {"echo"};
    options.user = owner.uid;
    options.group = owner.gid;
    options.environment["XDG_RUNTIME_DIR"] = "";
    {
        ServiceProcess own(options);
        EXPECT_EQ(own.runSecondInstance().exitCode, 1) << "the guard in the user's own directory holds";
        expectCleanStop(own);
    }
    clear();

    ASSERT_EQ(::mkdir(place.c_str(), 0777), 0) << std::strerror(errno);
    ::chmod(place.c_str(), 0777);
    std::vector<int> held;
    for (const std::string& file : {place + ".lock", place + "/" + server::kInstanceGuardName + ".lock"}) {
        const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        ASSERT_GE(fd, 0) << file;
        ::fchmod(fd, 0666);
        ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << file;
        held.push_back(fd);
    }
    {
        ServiceProcess service(options);
        EXPECT_EQ(asAccount(owner, [] { return echoThrough(1237); }), answer("b", true, "mine"));
        EXPECT_NE(service.standardError().find("instance guard: " + place + " belongs to uid 0; not trusted"),
                  std::string::npos)
            << service.standardError();
        expectCleanStop(service);
    }
    for (const int fd : held) {
        ::close(fd);
    }
    clear();
}
