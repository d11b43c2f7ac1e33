// corvane_bench: how much the service's bus, protocol and plug-in host cost
// on top of the WebSocket library. Measures the real service (with the echo
// test plug-in) and a bare WebSocket++ endpoint side by side with
// closed-loop clients on loopback, with the CPU time each server spent per
// answer, then the service's resident memory with 500 open connections.
//
// Usage: corvane_bench [seconds per cell, default 3]
// Port 1237 (the service's fixed port) and 1238 (the bare endpoint) must be
// free; tests/run-in-netns.sh gives the run a private loopback.

#include "BareServerProcess.h"
#include "harness/Answers.h"
#include "harness/ProcessFigures.h"
#include "harness/ServiceProcess.h"
#include "harness/WsClient.h"
#include "platform/process/Process.h"
#include "server/PortRange.h"


#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>


namespace {

using Clock = std::chrono::steady_clock;
using harness::WsClient;

constexpr int kServicePort = server::kFirstPort;
using bench::kBarePort;
constexpr int kMemoryConnections = 500;

struct Cell {
    int connections;
    std::size_t paramBytes;
    const char* label;
};

struct Measurement {
    double perSecond = 0;
    double p50us = 0;
    double p99us = 0;
    std::uint64_t answers = 0;
    double cpuUsPerAnswer = 0;
};

// What a cell must reach against the bare endpoint.
constexpr double kMinRateRatio = 0.95;
constexpr double kMaxP99Ratio = 1.2;

// CPU time a server has used so far; a figure that cannot be read would
// make every cell's cost meaningless.
double cpuMicroseconds(pid_t pid)
{
    const double us = harness::cpuMicroseconds(pid);
    if (us < 0) {
        throw std::runtime_error("cannot read /proc/" + std::to_string(pid) + "/stat");
    }
    return us;
}

std::string echoRequest(const std::string& msgId, const std::string& param)
{
    return R"({"MsgId":")" + msgId + R"(","Method":"echo","Param":")" + param + R"("})";
}

void connectAndLoad(WsClient& client, int port)
{
    client.connect("127.0.0.1", port);
    const std::string answer = client.request(harness::loadRequest("echo", "load"));
    if (answer != harness::kLoadSuccess) {
        throw std::runtime_error("loading the echo plug-in on port " + std::to_string(port) + " failed: " + answer);
    }
}

double percentileUs(std::vector<std::int64_t>& sortedNs, double fraction)
{
    if (sortedNs.empty()) {
        return 0;
    }
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(sortedNs.size() - 1));
    return static_cast<double>(sortedNs[index]) / 1000.0;
}

// The connections of one server in one cell, loaded and warmed up.
class Clients {
public:
    Clients(int port, const Cell& cell)
        : m_param(cell.paramBytes, 'p')
    {
        for (int i = 0; i < cell.connections; ++i) {
            m_clients.push_back(std::make_unique<WsClient>());
            connectAndLoad(*m_clients.back(), port);
            const std::string msgId = "c" + std::to_string(i);
            m_requests.push_back(echoRequest(msgId, m_param));
            m_expected.push_back(harness::answer(msgId, true, m_param));
            for (int warm = 0; warm < 20; ++warm) {
                (void)m_clients.back()->request(m_requests.back());
            }
        }
    }

    ~Clients()
    {
        for (auto& client : m_clients) {
            try {
                (void)client->close(1000, std::chrono::milliseconds(1000));
            } catch (...) {
            }
        }
    }

    // Every connection runs one closed loop (send, wait for the answer,
    // check it, repeat) until the slice's time is up. Latencies are added
    // to the totals.
    void runSlice(std::chrono::milliseconds duration, std::vector<std::int64_t>& latenciesNs, double& seconds)
    {
        const std::size_t n = m_clients.size();
        std::vector<std::vector<std::int64_t>> latencies(n);
        std::vector<std::exception_ptr> failures(n);
        std::vector<std::thread> threads;
        std::atomic<std::size_t> ready{0};
        std::atomic<bool> go{false};
        Clock::time_point deadline;

        for (std::size_t slot = 0; slot < n; ++slot) {
            threads.emplace_back([&, slot] {
                try {
                    latencies[slot].reserve(1u << 15);
                    ready.fetch_add(1);
                    while (!go.load(std::memory_order_acquire)) {
                        std::this_thread::yield();
                    }
                    WsClient& client = *m_clients[slot];
                    for (;;) {
                        const auto sent = Clock::now();
                        if (sent >= deadline) {
                            break;
                        }
                        const std::string answer = client.request(m_requests[slot]);
                        const auto received = Clock::now();
                        if (answer != m_expected[slot]) {
                            throw std::runtime_error("unexpected answer (" + std::to_string(answer.size()) +
                                                     " bytes): " + answer.substr(0, 120));
                        }
                        latencies[slot].push_back(
                            std::chrono::duration_cast<std::chrono::nanoseconds>(received - sent).count());
                    }
                } catch (...) {
                    failures[slot] = std::current_exception();
                }
            });
        }
        while (ready.load() < n) {
            std::this_thread::yield();
        }
        const auto start = Clock::now();
        deadline = start + duration;
        go.store(true, std::memory_order_release);
        for (auto& thread : threads) {
            thread.join();
        }
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
        for (const auto& failure : failures) {
            if (failure) {
                std::rethrow_exception(failure);
            }
        }
        for (const auto& perConnection : latencies) {
            latenciesNs.insert(latenciesNs.end(), perConnection.begin(), perConnection.end());
        }
    }

private:
    std::string m_param;
    std::vector<std::unique_ptr<WsClient>> m_clients;
    std::vector<std::string> m_requests;
    std::vector<std::string> m_expected;
};

Measurement summarise(std::vector<std::int64_t>& latenciesNs, double seconds)
{
    std::sort(latenciesNs.begin(), latenciesNs.end());
    Measurement m;
    m.answers = latenciesNs.size();
    m.perSecond = seconds > 0 ? static_cast<double>(latenciesNs.size()) / seconds : 0;
    m.p50us = percentileUs(latenciesNs, 0.50);
    m.p99us = percentileUs(latenciesNs, 0.99);
    return m;
}

// Both servers get the same total time, in alternating slices, so that load
// from elsewhere on the machine falls on both alike.
constexpr int kSlices = 6;

std::pair<Measurement, Measurement> measureCell(const Cell& cell, std::chrono::milliseconds duration,
                                                pid_t corvanePid, pid_t barePid)
{
    Clients corvane(kServicePort, cell);
    Clients bare(kBarePort, cell);
    std::vector<std::int64_t> corvaneNs;
    std::vector<std::int64_t> bareNs;
    double corvaneSeconds = 0;
    double bareSeconds = 0;
    const auto slice = duration / kSlices;
    // Each server idles while the other one's slice runs, so its CPU time
    // over all slices is what its own answers cost.
    const double corvaneCpuStart = cpuMicroseconds(corvanePid);
    const double bareCpuStart = cpuMicroseconds(barePid);
    for (int i = 0; i < kSlices; ++i) {
        corvane.runSlice(slice, corvaneNs, corvaneSeconds);
        bare.runSlice(slice, bareNs, bareSeconds);
    }
    const double corvaneCpu = cpuMicroseconds(corvanePid) - corvaneCpuStart;
    const double bareCpu = cpuMicroseconds(barePid) - bareCpuStart;
    std::pair<Measurement, Measurement> result{summarise(corvaneNs, corvaneSeconds), summarise(bareNs, bareSeconds)};
    result.first.cpuUsPerAnswer = result.first.answers > 0 ? corvaneCpu / static_cast<double>(result.first.answers) : 0;
    result.second.cpuUsPerAnswer = result.second.answers > 0 ? bareCpu / static_cast<double>(result.second.answers) : 0;
    return result;
}

void memoryWithManyConnections()
{
    harness::ServiceOptions options;
    options.plugins = {"echo"};
    harness::ServiceProcess service(options);
    const long idleKiB = harness::statusKiB(service.pid(), "VmRSS");

    const std::string param(100, 'p');
    std::vector<std::unique_ptr<WsClient>> clients;
    for (int i = 0; i < kMemoryConnections; ++i) {
        clients.push_back(std::make_unique<WsClient>());
        connectAndLoad(*clients.back(), kServicePort);
        const std::string msgId = "m" + std::to_string(i);
        if (clients.back()->request(echoRequest(msgId, param)) != harness::answer(msgId, true, param)) {
            throw std::runtime_error("wrong answer on connection " + std::to_string(i));
        }
    }
    const long rssKiB = harness::statusKiB(service.pid(), "VmRSS");
    const long peakKiB = harness::statusKiB(service.pid(), "VmHWM");
    std::printf("\nMemory of a fresh corvane (echo plug-in loaded on every connection):\n");
    std::printf("  resident at start:                       %6ld KiB\n", idleKiB);
    std::printf("  resident with %d open connections:      %6ld KiB\n", kMemoryConnections, rssKiB);
    std::printf("  peak resident (VmHWM) with %d open:     %6ld KiB (%.1f MiB)\n", kMemoryConnections, peakKiB,
                static_cast<double>(peakKiB) / 1024.0);
    std::printf("  per connection:                          %6.1f KiB\n",
                static_cast<double>(rssKiB - idleKiB) / kMemoryConnections);
    for (auto& client : clients) {
        (void)client->close();
    }
}

bool throughput(std::chrono::milliseconds duration, pid_t corvanePid, pid_t barePid);
bool connectionRate(std::chrono::milliseconds duration, pid_t corvanePid, pid_t barePid);

int run(std::chrono::milliseconds duration)
{
    platform::raiseDescriptorLimit();
    harness::ServiceProcess::requirePortFree();
    if (harness::isListening("127.0.0.1", kBarePort)) {
        throw std::runtime_error("port " + std::to_string(kBarePort) +
                                 " on 127.0.0.1 is in use; run the benchmark through tests/run-in-netns.sh");
    }

    bool met = false;
    {
        harness::ServiceOptions options;
        options.plugins = {"echo"};
        harness::ServiceProcess service(options);
        bench::BareServerProcess bare;
        met = throughput(duration, service.pid(), bare.pid());
        met = connectionRate(duration, service.pid(), bare.pid()) && met;
        std::printf("peak resident memory of that corvane after all cells: %ld KiB\n",
                    harness::statusKiB(service.pid(), "VmHWM"));
    }
    memoryWithManyConnections();
    return met ? EXIT_SUCCESS : 3;
}

// Prints one table row per cell; true when every cell meets both targets.
bool throughput(std::chrono::milliseconds duration, pid_t corvanePid, pid_t barePid)
{
    std::printf("corvane_bench: %.1f s per cell, closed-loop clients on 127.0.0.1, %u CPUs%s\n",
                static_cast<double>(duration.count()) / 1000.0, std::thread::hardware_concurrency(),
                std::getenv("CORVANE_IN_NETNS") != nullptr ? ", private network namespace" : "");
    std::printf("corvane: port %d, echo plug-in; bare WebSocket++ endpoint: port %d\n\n", kServicePort, kBarePort);
    std::printf("%-11s %-6s | %9s %7s %8s %7s | %9s %7s %8s %7s | %5s %5s %5s\n", "connections", "param", "corvane/s",
                "p50 us", "p99 us", "cpu us", "bare/s", "p50 us", "p99 us", "cpu us", "rate", "p99", "cpu");
    std::printf("%s\n", std::string(112, '-').c_str());

    const Cell cells[] = {
        {1, 100, "100 B"},
        {1, 16 * 1024, "16 KiB"},
        {16, 100, "100 B"},
        {16, 16 * 1024, "16 KiB"},
    };
    bool met = true;
    for (const Cell& cell : cells) {
        const auto [corvane, baseline] = measureCell(cell, duration, corvanePid, barePid);
        const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0; };
        const double rate = ratio(corvane.perSecond, baseline.perSecond);
        const double p99 = ratio(corvane.p99us, baseline.p99us);
        const bool cellMet = rate >= kMinRateRatio && p99 <= kMaxP99Ratio;
        met = met && cellMet;
        std::printf("%-11d %-6s | %9.0f %7.1f %8.1f %7.2f | %9.0f %7.1f %8.1f %7.2f | %5.2f %5.2f %5.2f%s\n",
                    cell.connections, cell.label, corvane.perSecond, corvane.p50us, corvane.p99us,
                    corvane.cpuUsPerAnswer, baseline.perSecond, baseline.p50us, baseline.p99us,
                    baseline.cpuUsPerAnswer, rate, p99, ratio(corvane.cpuUsPerAnswer, baseline.cpuUsPerAnswer),
                    cellMet ? "" : "  <- missed");
        std::fflush(stdout);
    }
    std::printf("\nrate = corvane answers/s / bare answers/s (target >= %.2f); p99 = corvane p99 / bare p99 "
                "(target <= %.2f);\ncpu us = server CPU time (user + system) per answer; cpu = corvane's / bare's. "
                "%s\n",
                kMinRateRatio, kMaxP99Ratio, met ? "Every cell met both targets." : "A cell missed a target.");
    return met;
}

// What the connection cells must reach against the bare endpoint: the
// service checks each connection's owner and loads a plug-in on it.
constexpr double kMinConnectionRateRatio = 0.78;
constexpr int kHeldDescriptors = 15000;

// One connection after another until the slice's time is up: connect,
// handshake, load, one 100-byte call, close.
void connectionSlice(int port, std::chrono::milliseconds duration, std::uint64_t& count, double& seconds)
{
    const std::string param(100, 'p');
    const std::string request = echoRequest("r", param);
    const std::string expected = harness::answer("r", true, param);
    const auto start = Clock::now();
    const auto deadline = start + duration;
    while (Clock::now() < deadline) {
        WsClient client;
        connectAndLoad(client, port);
        const std::string answer = client.request(request);
        if (answer != expected) {
            throw std::runtime_error("unexpected answer on a new connection: " + answer.substr(0, 120));
        }
        (void)client.close();
        ++count;
    }
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
}

// Descriptors this process holds open for a while, as a browser does: what
// a server does per connection must not grow with them.
class HeldDescriptors {
public:
    explicit HeldDescriptors(int count)
    {
        for (int i = 0; i < count; ++i) {
            const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                throw std::runtime_error("cannot hold " + std::to_string(count) + " descriptors: " +
                                         std::strerror(errno) + " after " + std::to_string(i));
            }
            m_fds.push_back(fd);
        }
    }
    ~HeldDescriptors()
    {
        for (const int fd : m_fds) {
            ::close(fd);
        }
    }
    HeldDescriptors(const HeldDescriptors&) = delete;
    HeldDescriptors& operator=(const HeldDescriptors&) = delete;

private:
    std::vector<int> m_fds;
};

// Prints one row per number of descriptors the client holds; true when
// both meet the target.
bool connectionRate(std::chrono::milliseconds duration, pid_t corvanePid, pid_t barePid)
{
    std::printf("\nConnections one after another (connect, handshake, load, one 100-byte call, close):\n");
    std::printf("%-18s | %9s %8s | %9s %8s | %5s %5s\n", "client descriptors", "corvane/s", "cpu us", "bare/s",
                "cpu us", "rate", "cpu");
    std::printf("%s\n", std::string(72, '-').c_str());
    bool met = true;
    for (const int held : {0, kHeldDescriptors}) {
        const HeldDescriptors descriptors(held);
        std::uint64_t corvaneCount = 0;
        std::uint64_t bareCount = 0;
        double corvaneSeconds = 0;
        double bareSeconds = 0;
        const auto slice = duration / kSlices;
        const double corvaneCpuStart = cpuMicroseconds(corvanePid);
        const double bareCpuStart = cpuMicroseconds(barePid);
        for (int i = 0; i < kSlices; ++i) {
            connectionSlice(kServicePort, slice, corvaneCount, corvaneSeconds);
            connectionSlice(kBarePort, slice, bareCount, bareSeconds);
        }
        const double corvaneCpu = cpuMicroseconds(corvanePid) - corvaneCpuStart;
        const double bareCpu = cpuMicroseconds(barePid) - bareCpuStart;
        const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0; };
        const double corvaneRate = ratio(static_cast<double>(corvaneCount), corvaneSeconds);
        const double bareRate = ratio(static_cast<double>(bareCount), bareSeconds);
        const double corvaneCpuUs = ratio(corvaneCpu, static_cast<double>(corvaneCount));
        const double bareCpuUs = ratio(bareCpu, static_cast<double>(bareCount));
        const bool rowMet = ratio(corvaneRate, bareRate) >= kMinConnectionRateRatio;
        met = met && rowMet;
        std::printf("%-18d | %9.0f %8.1f | %9.0f %8.1f | %5.2f %5.2f%s\n", held, corvaneRate, corvaneCpuUs, bareRate,
                    bareCpuUs, ratio(corvaneRate, bareRate), ratio(corvaneCpuUs, bareCpuUs),
                    rowMet ? "" : "  <- missed");
        std::fflush(stdout);
    }
    std::printf("\nrate = corvane connections/s / bare connections/s (target >= %.2f); cpu us = server CPU time per "
                "connection.\n",
                kMinConnectionRateRatio);
    return met;
}

} // namespace

int main(int argc, char* argv[])
{
    double seconds = 3.0;
    if (argc > 1) {
        seconds = std::atof(argv[1]);
        if (seconds <= 0 || seconds > 60) {
            std::fprintf(stderr, "usage: %s [seconds per cell, 0 < s <= 60]\n", argv[0]);
            return 2;
        }
    }
    try {
        return run(std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "corvane_bench: %s\n", e.what());
        return 1;
    }
}
