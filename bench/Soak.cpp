// corvane_soak: runs the real service for a while on N connections that come
// and go, with every kind of request, broken, binary, fragmented and
// oversized messages, resets and closes. Every answer is checked. Resident
// memory and open descriptors are sampled every second; the bare WebSocket++
// server of corvane_bench gets the same traffic at the same time, because
// the allocator makes both creep a little and only the difference tells.
//
// Usage: corvane_soak [--connections N] [--seconds D] [--plot FILE.png] [--seed S]
// Ports 1237 and 1238 must be free: run it through scripts/soak.sh or
// tests/run-in-netns.sh. CORVANE_TEST_SERVICE and CORVANE_TEST_ARTIFACTS
// pick another build of the service (see harness/ServiceProcess.h);
// both servers run in directories under TMPDIR (default /tmp).

#include "BareServerProcess.h"
#include "SoakTraffic.h"
#include "harness/ProcessFigures.h"
#include "harness/ServiceProcess.h"
#include "harness/WsClient.h"
#include "platform/process/Process.h"
#include "server/PortRange.h"

#include <rapidjson/document.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>


namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using harness::Opcode;
using harness::WsClient;
using harness::WsError;
using harness::WsMessage;

constexpr int kServicePort = server::kFirstPort;
using bench::kBarePort;
// Long enough that only a stuck service, not a busy machine, runs out of it.
constexpr milliseconds kAnswerTimeout{30000};
constexpr std::uint64_t kMessageLimit = 32000000; // the library's default
// Growth after the first tenth of the run: corvane may grow at most this
// many times as much as the bare server, plus a slack for runs so short or
// quiet that both figures are a few pages of allocator noise.
constexpr double kGrowthRatio = 1.25;
constexpr long kGrowthSlackKiB = 384;
const char* const kPlugins[] = {"echo", "noinvoke", "tracked_a", "tracked_b", "garbage"};

struct Options {
    int connections = 200;
    int seconds = 60;
    std::string plot = "corvane-soak.png";
    unsigned seed = std::random_device{}();
};

std::string clip(const std::string& text, std::size_t size = 160)
{
    std::string out;
    for (const char c : text.substr(0, size)) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        } else {
            out += c;
        }
    }
    return text.size() > size ? out + "...(" + std::to_string(text.size()) + " bytes)" : out;
}

// ---- what /proc says about a process ---------------------------------------

using harness::openDescriptors;

long residentKiB(pid_t pid)
{
    return harness::statusKiB(pid, "VmRSS");
}

// How many of the test plug-in files beside the service are mapped into it.
int mappedPlugins(pid_t pid, const std::string& directory)
{
    const std::string maps = harness::memoryMaps(pid);
    int count = 0;
    for (const char* name : kPlugins) {
        if (maps.find(directory + "/" + harness::ServiceProcess::moduleFileName(name) + "\n") !=
            std::string::npos) {
            ++count;
        }
    }
    return count;
}

// Both servers log every frame header, some hundred MB a minute at full
// speed. Emptying the file now and then keeps a long run off the disk; the
// writer goes on at its offset into a sparse file and never notices.
void trimLog(const std::string& path)
{
    std::error_code error;
    if (fs::file_size(path, error) > (64u << 20) && !error) {
        fs::resize_file(path, 0, error); // failing to trim is no fault of the service
    }
}

// ---- the bare server -------------------------------------------------------

// ---- counting and failures -------------------------------------------------

struct Stats {
    std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(soak::Kind::Count)> answered{};
    std::atomic<std::uint64_t> bareAnswers{0};
    std::atomic<std::uint64_t> binaryFrames{0};
    std::atomic<std::uint64_t> fragmented{0};
    std::atomic<std::uint64_t> abandoned{0}; // sent, then the connection was reset unread
    std::atomic<std::uint64_t> opened{0};
    std::atomic<int> open{0};
    std::atomic<std::uint64_t> normalCloses{0};
    std::atomic<std::uint64_t> resets{0};
    std::atomic<std::uint64_t> tcpCloses{0};
    std::atomic<std::uint64_t> oversized{0};
    std::atomic<std::uint64_t> refusedFrames{0}; // broken framing, closed by the library

    std::uint64_t totalAnswered() const
    {
        std::uint64_t sum = 0;
        for (const auto& n : answered) {
            sum += n.load();
        }
        return sum;
    }

    void fail(const std::string& what)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (++m_failures <= 10) {
            m_first.push_back(what);
            std::fprintf(stderr, "corvane_soak: FAILURE: %s\n", what.c_str());
        }
    }

    std::uint64_t failures()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_failures;
    }

private:
    std::mutex m_mutex;
    std::uint64_t m_failures = 0;
    std::vector<std::string> m_first;
};

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ---- answers ---------------------------------------------------------------

// What was wrong with the message that came in answer to r, empty if right.
std::string transportProblem(const std::optional<WsMessage>& m)
{
    if (!m) {
        return "no answer within " + std::to_string(kAnswerTimeout.count() / 1000) + " s";
    }
    if (m->opcode == Opcode::Close) {
        return "connection closed (code " + std::to_string(m->closeCode) + ") instead of an answer";
    }
    if (m->opcode != Opcode::Text) {
        return "answer not in a text message";
    }
    return {};
}

std::string exactProblem(const soak::Request& r, const std::optional<WsMessage>& m)
{
    std::string problem = transportProblem(m);
    if (problem.empty() && m->payload != r.expected) {
        problem = "expected " + clip(r.expected) + ", got " + clip(m->payload);
    }
    return problem;
}

// The bare server is a baseline, not the subject: it answers echo-style and
// loads nothing. Its answers must still be one well-formed answer object per
// request, for this request.
std::string wellFormedProblem(const soak::Request& r, const std::optional<WsMessage>& m)
{
    std::string problem = transportProblem(m);
    if (!problem.empty()) {
        return problem;
    }
    rapidjson::Document d;
    d.Parse(m->payload.data(), m->payload.size());
    static const char* const kNames[] = {"MsgId", "Result", "Response"};
    bool ok = !d.HasParseError() && d.IsObject() && d.MemberCount() == 3;
    for (unsigned i = 0; ok && i < 3; ++i) {
        ok = std::strcmp((d.MemberBegin() + i)->name.GetString(), kNames[i]) == 0;
    }
    ok = ok && d["MsgId"].IsString() && d["Result"].IsBool() && d["Response"].IsString();
    if (ok) {
        const std::string id = d["MsgId"].GetString();
        ok = id == "InvalidSyntax" || id == "LoadModule" || (!r.msgId.empty() && id == r.msgId);
    }
    return ok ? std::string() : "not a well-formed answer to this request: " + clip(m->payload);
}

// ---- one connection slot ---------------------------------------------------

// How one request travels; drawn once, so both servers see the same frames.
struct Framing {
    enum Type { Text, Binary, Fragmented } type = Text;
    Opcode opcode = Opcode::Text;
    std::vector<std::string> parts;
    bool pingBetween = false;
};

Framing drawFraming(const soak::Request& r, std::mt19937& random)
{
    Framing f;
    const int roll = static_cast<int>(random() % 100);
    f.type = roll < 70 ? Framing::Text : roll < 85 ? Framing::Binary : Framing::Fragmented;
    f.opcode = r.binaryOnly || f.type == Framing::Binary ? Opcode::Binary : Opcode::Text;
    if (f.type == Framing::Text && r.binaryOnly) {
        f.type = Framing::Binary;
    }
    if (f.type == Framing::Fragmented) {
        std::vector<std::size_t> cuts{0, r.payload.size()};
        for (std::size_t i = 1 + random() % 3; i > 0; --i) {
            cuts.push_back(r.payload.empty() ? 0 : random() % (r.payload.size() + 1));
        }
        std::sort(cuts.begin(), cuts.end());
        for (std::size_t i = 1; i < cuts.size(); ++i) {
            f.parts.push_back(r.payload.substr(cuts[i - 1], cuts[i] - cuts[i - 1]));
        }
        f.pingBetween = random() % 5 == 0;
    }
    return f;
}

void send(WsClient& client, const soak::Request& r, const Framing& f)
{
    if (f.type != Framing::Fragmented) {
        client.sendFrame(true, f.opcode, r.payload);
        return;
    }
    for (std::size_t i = 0; i < f.parts.size(); ++i) {
        client.sendFrame(i + 1 == f.parts.size(), i == 0 ? f.opcode : Opcode::Continuation, f.parts[i]);
        if (f.pingBetween && i == 0) {
            client.sendPing("soak"); // control frames may come between fragments
        }
    }
}

// A masked frame header announcing size payload bytes.
std::string frameHeader(bool fin, Opcode opcode, std::uint64_t size)
{
    std::string header;
    header.push_back(static_cast<char>((fin ? 0x80 : 0) | static_cast<int>(opcode)));
    header.push_back(static_cast<char>(0x80 | 127));
    for (int shift = 56; shift >= 0; shift -= 8) {
        header.push_back(static_cast<char>((size >> shift) & 0xFF));
    }
    header.append("\x11\x22\x33\x44", 4);
    return header;
}

class Slot {
public:
    struct Side {
        const char* name;
        int port;
        bool exact; // answers checked byte for byte (the service) or for form (the baseline)
        std::unique_ptr<WsClient> client;
    };

    Slot(int index, unsigned seed, bool withBare, Stats& stats, const std::atomic<bool>& stop)
        : m_index(index), m_random(seed), m_stats(stats), m_stop(stop)
    {
        m_sides.push_back({"corvane", kServicePort, true, nullptr});
        if (withBare) {
            m_sides.push_back({"bare", kBarePort, false, nullptr});
        }
    }

    void run()
    {
        while (!m_stop) {
            ++m_connection;
            try {
                session();
            } catch (const std::exception& e) { // a Failure, or a WsError on the wire
                m_stats.fail(where() + e.what());
            }
            dropAll();
        }
    }

private:
    std::string where() const
    {
        return "slot " + std::to_string(m_index) + ", connection " + std::to_string(m_connection) + ": ";
    }

    // Ends one side's connection: with a TCP reset, or by closing the
    // socket as it stands (after a close handshake, or a FIN without one).
    void release(Side& side, bool reset)
    {
        if (side.client) {
            if (reset) {
                side.client->abort();
            }
            side.client.reset();
            if (side.exact) {
                --m_stats.open;
            }
        }
    }

    void dropAll()
    {
        for (Side& side : m_sides) {
            release(side, true);
        }
    }

    void session()
    {
        for (Side& side : m_sides) {
            auto client = std::make_unique<WsClient>();
            try {
                client->connect("127.0.0.1", side.port, "/", kAnswerTimeout);
            } catch (const WsError& e) {
                std::this_thread::sleep_for(milliseconds(200)); // do not spin on a dead server
                throw Failure(std::string(side.name) + ": " + e.what());
            }
            side.client = std::move(client);
            if (side.exact) {
                ++m_stats.opened;
                ++m_stats.open;
            }
        }
        soak::Conversation conversation("s" + std::to_string(m_index) + "." + std::to_string(m_connection) + ".");
        const int batches = 1 + std::geometric_distribution<int>(1.0 / 12)(m_random);
        for (int i = 0; i < batches && !m_stop; ++i) {
            batch(conversation);
        }
        const int roll = static_cast<int>(m_random() % 100);
        if (m_stop || roll < 58) {
            closeNormally(conversation);
        } else if (roll < 83) {
            if (roll < 70) {
                m_stats.abandoned += sendBatch(conversation).size();
            }
            dropAll();
            ++m_stats.resets;
        } else if (roll < 93) {
            for (Side& side : m_sides) {
                release(side, false); // FIN without a close frame
            }
            ++m_stats.tcpCloses;
        } else {
            refusedFrame(roll < 95);
        }
    }

    using Batch = std::vector<std::pair<soak::Request, Framing>>;

    // A few requests sent at once to each server, with the same frames.
    Batch sendBatch(soak::Conversation& conversation)
    {
        Batch requests;
        for (int n = 1 + static_cast<int>(m_random() % 6); n > 0; --n) {
            soak::Request r = conversation.next(m_random);
            Framing f = drawFraming(r, m_random);
            requests.emplace_back(std::move(r), std::move(f));
        }
        for (Side& side : m_sides) {
            for (const auto& [r, f] : requests) {
                send(*side.client, r, f);
            }
        }
        return requests;
    }

    void check(const Side& side, const soak::Request& r, const Framing& f, const std::optional<WsMessage>& m)
    {
        const std::string problem = side.exact ? exactProblem(r, m) : wellFormedProblem(r, m);
        if (!problem.empty()) {
            throw Failure(std::string(side.name) + ": " + soak::kindName(r.kind) + " request " +
                          clip(r.payload, 120) + ": " + problem);
        }
        if (side.exact) {
            ++m_stats.answered[static_cast<std::size_t>(r.kind)];
            m_stats.binaryFrames += f.opcode == Opcode::Binary;
            m_stats.fragmented += f.type == Framing::Fragmented;
        } else {
            ++m_stats.bareAnswers;
        }
    }

    // Sends a batch, then reads the answers in order.
    void batch(soak::Conversation& conversation)
    {
        const Batch requests = sendBatch(conversation);
        for (Side& side : m_sides) {
            for (const auto& [r, f] : requests) {
                check(side, r, f, side.client->receive(kAnswerTimeout));
            }
        }
    }

    // The close handshake, sometimes right after a batch: its answers must
    // still come, in order, before the server's close frame, and nothing else.
    void closeNormally(soak::Conversation& conversation)
    {
        const Batch inFlight = m_random() % 10 < 3 ? sendBatch(conversation) : Batch();
        for (Side& side : m_sides) {
            std::vector<WsMessage> before;
            const int code = side.client->close(1000, kAnswerTimeout, &before);
            for (std::size_t i = 0; i < inFlight.size(); ++i) {
                if (i == before.size()) {
                    throw Failure(std::string(side.name) + ": closed without answering " +
                                  clip(inFlight[i].first.payload, 120));
                }
                check(side, inFlight[i].first, inFlight[i].second, before[i]);
            }
            if (before.size() > inFlight.size()) {
                throw Failure(std::string(side.name) + ": a message no request asked for: " +
                              clip(before[inFlight.size()].payload));
            }
            if (code != 1000) {
                throw Failure(std::string(side.name) + ": close answered with code " + std::to_string(code));
            }
            release(side, false);
        }
        ++m_stats.normalCloses;
    }

    // A frame the library refuses; its answer is a close frame with the
    // code it names. An oversized message is announced in one frame or
    // reached by a second fragment; the library refuses it from the frame
    // header, so only a little of its payload is sent.
    void refusedFrame(bool oversized)
    {
        struct Refusal {
            const char* what;
            int code;
            std::function<void(WsClient&)> send;
        };
        const std::string chunk(64 * 1024, 'o');
        const Refusal refusals[] = {
            {"oversized message in one frame", 1009,
             [&](WsClient& c) { c.sendRaw(frameHeader(true, Opcode::Binary, kMessageLimit + 1) + chunk); }},
            {"oversized message by its second fragment", 1009,
             [&](WsClient& c) {
                 c.sendFrame(false, Opcode::Binary, chunk);
                 c.sendRaw(frameHeader(true, Opcode::Continuation, kMessageLimit - chunk.size() + 1) + chunk);
             }},
            {"unmasked frame", 1002, [](WsClient& c) { c.sendRaw(std::string("\x81\x02{}", 4)); }},
            {"reserved opcode", 1002, [](WsClient& c) { c.sendFrame(true, static_cast<Opcode>(3), "{}"); }},
            {"continuation of nothing", 1002, [](WsClient& c) { c.sendFrame(true, Opcode::Continuation, "{}"); }},
            {"text frame not UTF-8", 1007, [](WsClient& c) { c.sendText("{\"MsgId\":\"\xFF\"}"); }},
        };
        const Refusal& refusal = refusals[oversized ? m_random() % 2 : 2 + m_random() % 4];
        for (Side& side : m_sides) {
            try {
                refusal.send(*side.client);
            } catch (const WsError&) {
                // The server may have stopped reading already; its close frame is what counts.
            }
            const std::optional<WsMessage> m = side.client->receive(kAnswerTimeout);
            if (!m || m->opcode != Opcode::Close || m->closeCode != refusal.code) {
                throw Failure(std::string(side.name) + ": " + refusal.what + " not closed with " +
                              std::to_string(refusal.code) + ": " +
                              (m ? "opcode " + std::to_string(static_cast<int>(m->opcode)) + " code " +
                                       std::to_string(m->closeCode) + " " + clip(m->payload)
                                 : "nothing within the timeout"));
            }
            release(side, false);
        }
        ++(oversized ? m_stats.oversized : m_stats.refusedFrames);
    }

    int m_index;
    std::uint64_t m_connection = 0;
    std::mt19937 m_random;
    Stats& m_stats;
    const std::atomic<bool>& m_stop;
    std::vector<Side> m_sides;
};

// ---- samples, table and plot -----------------------------------------------

struct Sample {
    double seconds = 0;
    long corvaneKiB = 0;
    int corvaneFds = 0;
    int pluginsMapped = 0;
    long bareKiB = -1;
    int bareFds = -1;
    int open = 0;
    std::uint64_t answered = 0;
};

void printHeader()
{
    std::printf("%8s | %12s %6s %8s | %12s %6s | %6s %10s\n", "t s", "corvane KiB", "fds", "plug-ins", "bare KiB",
                "fds", "open", "answers");
    std::printf("%s\n", std::string(86, '-').c_str());
}

void printRow(const Sample& s, const char* note = "")
{
    const std::string bareKiB = s.bareKiB < 0 ? "-" : std::to_string(s.bareKiB);
    const std::string bareFds = s.bareFds < 0 ? "-" : std::to_string(s.bareFds);
    std::printf("%8.0f | %12ld %6d %8d | %12s %6s | %6d %10llu%s\n", s.seconds, s.corvaneKiB, s.corvaneFds,
                s.pluginsMapped, bareKiB.c_str(), bareFds.c_str(), s.open, static_cast<unsigned long long>(s.answered),
                note);
    std::fflush(stdout);
}

void writePlot(const std::vector<Sample>& samples, const Options& options, bool withBare, double baselineSeconds)
{
    const fs::path png = options.plot;
    const fs::path data = fs::path(png).replace_extension(".dat");
    {
        std::ofstream out(data);
        out << "# corvane_soak: " << options.connections << " connections, " << options.seconds << " s, seed "
            << options.seed << "\n# seconds corvane_rss_kib corvane_fds plugins_mapped bare_rss_kib bare_fds "
            << "open_connections answers\n";
        for (const Sample& s : samples) {
            out << s.seconds << ' ' << s.corvaneKiB << ' ' << s.corvaneFds << ' ' << s.pluginsMapped << ' '
                << s.bareKiB << ' ' << s.bareFds << ' ' << s.open << ' ' << s.answered << '\n';
        }
    }
    FILE* gnuplot = ::popen("gnuplot", "w");
    if (gnuplot == nullptr) {
        std::printf("no plot: cannot run gnuplot; the samples are in %s\n", data.c_str());
        return;
    }
    std::fprintf(gnuplot,
                 "set terminal pngcairo size 800,420 font ',10'\n"
                 "set output '%s'\n"
                 "set title 'corvane\\_soak: %d connections, %d s%s'\n"
                 "set xlabel 'seconds'\nset ylabel 'resident memory (MiB)'\n"
                 "set grid\nset key bottom right\nset yrange [0:*]\nset autoscale xfix\n"
                 "set arrow from %g, graph 0 to %g, graph 1 nohead dashtype 2 lc rgb 'gray40'\n"
                 "set label 'first tenth' at %g, graph 0.05 offset 0.5,0 tc rgb 'gray40'\n"
                 "plot '%s' using 1:($2/1024) with lines lw 2 title 'corvane'%s\n",
                 png.c_str(), options.connections, options.seconds, withBare ? "" : ", sanitized service",
                 baselineSeconds, baselineSeconds, baselineSeconds, data.c_str(),
                 withBare ? ", '' using 1:($5/1024) with lines lw 2 title 'bare WebSocket++ server'" : "");
    if (::pclose(gnuplot) != 0) {
        std::printf("no plot: gnuplot failed; the samples are in %s\n", data.c_str());
        return;
    }
    std::printf("plot: %s (samples: %s)\n", png.c_str(), data.c_str());
}

void printCounts(Stats& stats, bool withBare)
{
    const auto n = [](const std::atomic<std::uint64_t>& value) { return static_cast<unsigned long long>(value); };
    std::printf("\nanswers checked byte for byte: %llu (%llu in binary frames, %llu fragmented)\n",
                static_cast<unsigned long long>(stats.totalAnswered()), n(stats.binaryFrames), n(stats.fragmented));
    for (std::size_t k = 0; k < stats.answered.size(); ++k) {
        std::printf("  %-28s %10llu\n", soak::kindName(static_cast<soak::Kind>(k)), n(stats.answered[k]));
    }
    if (withBare) {
        std::printf("bare server answers, one well-formed per request: %llu\n", n(stats.bareAnswers));
    }
    std::printf("connections: %llu opened; closed normally %llu, reset %llu (%llu requests left unread), "
                "TCP close without close frame %llu, oversized message (1009) %llu, broken frame (1002/1007) %llu\n",
                n(stats.opened), n(stats.normalCloses), n(stats.resets), n(stats.abandoned), n(stats.tcpCloses),
                n(stats.oversized), n(stats.refusedFrames));
}

// ---- the run ---------------------------------------------------------------

void raiseFileLimit(int connections)
{
    platform::raiseDescriptorLimit();
    rlimit limit{};
    const rlim_t wanted = static_cast<rlim_t>(connections) * 4 + 256;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < wanted) {
        std::printf("warning: only %llu descriptors allowed; raise ulimit -n for %d connections\n",
                    static_cast<unsigned long long>(limit.rlim_cur), connections);
    }
}

// The descriptor count once nothing changes for a moment.
int settledDescriptors(pid_t pid, int want, milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    int previous = openDescriptors(pid);
    for (;;) {
        std::this_thread::sleep_for(milliseconds(250));
        const int now = openDescriptors(pid);
        if ((want < 0 && now == previous) || now == want || Clock::now() > deadline) {
            return now;
        }
        previous = now;
    }
}

int run(const Options& options)
{
    raiseFileLimit(options.connections);
    harness::ServiceProcess::requirePortFree();
    if (harness::isListening("127.0.0.1", kBarePort)) {
        throw std::runtime_error("port " + std::to_string(kBarePort) + " on 127.0.0.1 is in use; run through scripts/soak.sh");
    }

    harness::ServiceOptions serviceOptions;
    serviceOptions.plugins.assign(std::begin(kPlugins), std::end(kPlugins));
    harness::ServiceProcess service(serviceOptions);
    const pid_t pid = service.pid();
    // An instrumented service keeps freed memory in quarantine, so its
    // resident size says nothing about leaks; LeakSanitizer at exit does.
    const bool sanitized = harness::memoryMaps(pid).find("libasan") != std::string::npos;
    std::unique_ptr<bench::BareServerProcess> bare;
    if (!sanitized) {
        bare = std::make_unique<bench::BareServerProcess>();
    }
    const int startFds = settledDescriptors(pid, -1, milliseconds(5000));

    std::printf("corvane_soak: %d connections, %d s, seed %u, %u CPUs%s\n", options.connections, options.seconds,
                options.seed, std::thread::hardware_concurrency(),
                std::getenv("CORVANE_IN_NETNS") != nullptr ? ", private network namespace" : "");
    std::printf("service: %s%s\n", harness::ServiceProcess::serviceExecutable().c_str(),
                sanitized ? " (sanitized: memory is shown, LeakSanitizer judges at exit)"
                          : "; baseline: the bare WebSocket++ server on port 1238, same traffic");
    std::printf("%s\n\n", options.seconds > 120 ? "condensed table: one sample in every few" : "one sample a second");
    printHeader();

    Stats stats;
    std::atomic<bool> stop{false};
    std::vector<Sample> samples;
    std::mutex sampleMutex;
    std::condition_variable wake;
    const auto started = Clock::now();
    const int every = options.seconds > 120 ? (options.seconds + 39) / 40 : 1; // rows of the table
    auto sampleNow = [&] {
        Sample s;
        s.seconds = std::chrono::duration<double>(Clock::now() - started).count();
        s.corvaneKiB = residentKiB(pid);
        s.corvaneFds = openDescriptors(pid);
        s.pluginsMapped = mappedPlugins(pid, service.directory());
        trimLog(service.directory() + "/stdout.txt");
        if (bare) {
            s.bareKiB = residentKiB(bare->pid());
            s.bareFds = openDescriptors(bare->pid());
            trimLog(bare->accessLogPath());
        }
        s.open = stats.open.load();
        s.answered = stats.totalAnswered();
        return s;
    };
    std::thread sampler([&] {
        std::unique_lock<std::mutex> lock(sampleMutex);
        for (int tick = 0;; ++tick) {
            const Sample s = sampleNow();
            samples.push_back(s);
            if (s.corvaneKiB < 0) {
                stats.fail("the service is gone");
                stop = true;
                wake.notify_all();
            }
            if (tick % every == 0) {
                printRow(s);
            }
            if (wake.wait_until(lock, started + std::chrono::seconds(tick + 1), [&] { return stop.load(); })) {
                return;
            }
        }
    });

    std::vector<std::thread> slots;
    std::mt19937 seeds(options.seed);
    for (int i = 0; i < options.connections; ++i) {
        slots.emplace_back([&, i, seed = seeds()] { Slot(i, seed, bare != nullptr, stats, stop).run(); });
    }
    {
        std::unique_lock<std::mutex> lock(sampleMutex);
        wake.wait_until(lock, started + std::chrono::seconds(options.seconds), [&] { return stop.load(); });
        stop = true;
    }
    wake.notify_all();
    sampler.join();
    for (std::thread& slot : slots) {
        slot.join();
    }

    // Every connection is closed; the service sees the last closes a moment later.
    const int endFds = settledDescriptors(pid, startFds, milliseconds(20000));
    const Sample last = sampleNow();
    samples.push_back(last);
    printRow(last, "  all connections closed");

    const double baselineSeconds = options.seconds / 10.0;
    const auto baseline = std::find_if(samples.begin(), samples.end(),
                                       [&](const Sample& s) { return s.seconds >= baselineSeconds; });
    writePlot(samples, options, bare != nullptr, baselineSeconds);

    printCounts(stats, bare != nullptr);

    bool ok = stats.failures() == 0;
    std::printf("\nchecks:\n  every request answered exactly as expected: %s\n",
                ok ? "yes" : (std::to_string(stats.failures()) + " failures").c_str());
    if (bare && baseline != samples.end()) {
        const long corvaneGrowth = last.corvaneKiB - baseline->corvaneKiB;
        const long bareGrowth = last.bareKiB - baseline->bareKiB;
        const double limit = kGrowthRatio * static_cast<double>(std::max(0L, bareGrowth)) + kGrowthSlackKiB;
        const bool grewOk = static_cast<double>(corvaneGrowth) <= limit;
        std::printf("  memory growth after %.0f s: corvane %+ld KiB, bare %+ld KiB; limit %.2f x bare + %ld KiB = "
                    "%.0f KiB: %s\n",
                    baseline->seconds, corvaneGrowth, bareGrowth, kGrowthRatio, kGrowthSlackKiB, limit,
                    grewOk ? "ok" : "EXCEEDED");
        ok = ok && grewOk;
    } else if (bare) {
        std::printf("  memory growth: not judged, the run ended before its first tenth\n");
        ok = false;
    }
    std::printf("  descriptors: %d at start, %d at the end: %s\n", startFds, endFds,
                endFds == startFds ? "ok" : "NOT BACK");
    ok = ok && endFds == startFds;
    std::printf("  test plug-ins still mapped: %d: %s\n", last.pluginsMapped, last.pluginsMapped == 0 ? "ok" : "LEAK");
    ok = ok && last.pluginsMapped == 0;

    service.terminate();
    const std::optional<int> exitCode = service.waitExit(milliseconds(120000));
    const std::string errors = service.standardError();
    const bool reported = errors.find("Sanitizer") != std::string::npos ||
                          errors.find("runtime error:") != std::string::npos;
    const bool exitOk = exitCode && *exitCode == 0 && !reported;
    std::printf("  exit after SIGTERM: %s%s: %s\n", exitCode ? std::to_string(*exitCode).c_str() : "still running",
                sanitized ? " (LeakSanitizer ran at exit)" : "", exitOk ? "ok" : "FAILED");
    if (!exitOk) {
        // The sanitizer's report, or else the end of the error log.
        const auto report = errors.find("==");
        const std::size_t from =
            report != std::string::npos ? report : errors.size() - std::min<std::size_t>(errors.size(), 4000);
        std::printf("service's standard error from there:\n%s\n", errors.substr(from, 6000).c_str());
    }
    ok = ok && exitOk;
    std::printf("\ncorvane_soak: %s\n", ok ? "PASSED" : "FAILED");
    return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}

} // namespace

int main(int argc, char* argv[])
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (value != nullptr && arg == "--connections") {
            options.connections = std::atoi(value);
        } else if (value != nullptr && arg == "--seconds") {
            options.seconds = std::atoi(value);
        } else if (value != nullptr && arg == "--plot") {
            options.plot = value;
        } else if (value != nullptr && arg == "--seed") {
            options.seed = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        } else {
            options.connections = 0;
            break;
        }
        ++i;
    }
    if (options.connections <= 0 || options.seconds <= 0) {
        std::fprintf(stderr, "usage: %s [--connections N] [--seconds D] [--plot FILE.png] [--seed S]\n", argv[0]);
        return 2;
    }
    try {
        return run(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "corvane_soak: %s\n", e.what());
        return 1;
    }
}
