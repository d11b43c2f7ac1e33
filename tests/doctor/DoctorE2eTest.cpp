// corvane-doctor placed beside Quintrel and a token library, against the
// real service or none. The same program drives Corvane-Doctor.exe under
// Wine (scripts/test-windows.sh). The findings are checked by area, status
// and the facts they must name, not by their wording.

#include "harness/Answers.h"
#include "harness/ServiceProcess.h"
#include "harness/Shell.h"
#include "harness/TestCertificates.h"
#include "server/InstanceGuardName.h"

#include <rapidjson/document.h>
#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <grp.h>
#include <pwd.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>

using harness::ServiceOptions;
using harness::ServiceProcess;

namespace {

namespace fs = std::filesystem;

struct Finding {
    std::string area, status, text;
};

struct DoctorRun {
    int exitCode = -1;
    std::vector<Finding> findings;
    std::multiset<std::string> commonNames;
    int tokens = -1;
    bool serviceAnswers = false;
    std::string output;

    bool has(const std::string& area, const std::string& status, const std::string& fact = {}) const
    {
        for (const Finding& finding : findings) {
            if (finding.area == area && finding.status == status && finding.text.find(fact) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
};

using harness::shellQuote;

class DoctorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "corvane-doctor-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        directory = pattern;
        const fs::path doctor = harness::environmentOr("CORVANE_TEST_DOCTOR", CORVANE_TEST_DEFAULT_DOCTOR);
        doctorName = doctor.filename().string();
        fs::copy_file(doctor, directory / doctorName);
        fs::copy_file(harness::environmentOr("CORVANE_TEST_QUINTREL", CORVANE_TEST_DEFAULT_QUINTREL),
                      directory / ServiceProcess::moduleFileName("Quintrel"));
        CertificateRecipe recipe;
        recipe.commonName = "Ada Example";
        recipe.serial = {0x8f, 0x01, 0x02};
        certificate = makeCertificate(recipe).der;
        std::ofstream(directory / "cert.der", std::ios::binary)
            .write(reinterpret_cast<const char*>(certificate.data()), static_cast<std::streamsize>(certificate.size()));
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(directory, ignored);
    }

    // The fake token library beside the doctor, with this configuration.
    void useFakeToken(const std::string& config, const char* variable = "CORVANE_TEST_KESTOVA",
                      const char* fallback = CORVANE_TEST_DEFAULT_KESTOVA)
    {
        const fs::path library = harness::environmentOr(variable, fallback);
        fs::copy_file(library, directory / library.filename());
        std::ofstream(directory / "kestova.conf") << config;
        environment["KESTOVA_FAKE_CONFIG"] = (directory / "kestova.conf").string();
    }

    std::string oneCertificate() const { return "slot 1\nobject " + (directory / "cert.der").string() + "\n"; }

    DoctorRun runDoctor(const std::string& runtimeDirectory)
    {
        std::string command = "cd " + shellQuote(directory.string()) + " && env XDG_RUNTIME_DIR=" +
                              shellQuote(runtimeDirectory);
        for (const auto& [name, value] : environment) {
            command += " " + name + "=" + shellQuote(value);
        }
        command += " " + harness::environmentOr("CORVANE_TEST_LAUNCHER") + " ./" + doctorName + " --json";
        harness::CommandResult result = harness::captureCommand(command);
        DoctorRun run;
        run.output = std::move(result.output);
        run.exitCode = result.exitCode;
        rapidjson::Document json;
        json.Parse(run.output.c_str());
        if (json.HasParseError() || !json.IsObject()) {
            ADD_FAILURE() << "not one JSON object: " << run.output;
            return run;
        }
        for (const auto& finding : json["findings"].GetArray()) {
            run.findings.push_back({finding["area"].GetString(), finding["status"].GetString(),
                                    finding["text"].GetString()});
        }
        for (const auto& found : json["certificates"].GetArray()) {
            run.commonNames.insert(found["commonName"].GetString());
        }
        run.tokens = json["tokens"].GetInt();
        run.serviceAnswers = json["serviceAnswers"].GetBool();
        return run;
    }

    fs::path directory;
    std::string doctorName;
    Bytes certificate;
    std::map<std::string, std::string> environment;
};

TEST_F(DoctorTest, serviceAndFakeToken_readyWithTheCertificateAndExitZero)
{
    useFakeToken(oneCertificate());
    ServiceProcess service;
    const DoctorRun run = runDoctor(service.runtimeDirectory());
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(run.serviceAnswers);
    EXPECT_TRUE(run.has("service", "ok", "instance")) << run.output; // the guard, seen without taking it
    EXPECT_TRUE(run.has("service", "ok", "1237")) << run.output;
    EXPECT_TRUE(run.has("Quintrel", "ok", "Invoke")) << run.output;
    EXPECT_TRUE(run.has("tokens", "ok", "CKR_OK")) << run.output;
    EXPECT_EQ(run.commonNames, std::multiset<std::string>{"Ada Example"});
    EXPECT_EQ(run.tokens, 1);
    EXPECT_FALSE(run.has("service", "problem") || run.has("tokens", "problem") || run.has("token library", "problem"))
        << run.output;
}

TEST_F(DoctorTest, tokenLibraryMissingOrLackingTheAuxExport_isTheProblem)
{
    ServiceProcess service;
    const DoctorRun missing = runDoctor(service.runtimeDirectory());
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(missing.serviceAnswers);
    EXPECT_TRUE(missing.has("token library", "problem", "Kestova")) << missing.output;

    useFakeToken(oneCertificate(), "CORVANE_TEST_KESTOVA_NOAUX", CORVANE_TEST_DEFAULT_KESTOVA_NOAUX);
    const DoctorRun noAux = runDoctor(service.runtimeDirectory());
    EXPECT_EQ(noAux.exitCode, 1);
    EXPECT_TRUE(noAux.has("token library", "ok", "C_GetFunctionList")) << noAux.output;
    EXPECT_TRUE(noAux.has("token library", "problem", "Kv_GetAuxFunctionList")) << noAux.output;
    EXPECT_TRUE(noAux.commonNames.empty());
}

TEST_F(DoctorTest, initializeFailingOrNoToken_isNamed)
{
    ServiceProcess service;
    useFakeToken("initialize fail\n" + oneCertificate());
    const DoctorRun failing = runDoctor(service.runtimeDirectory());
    EXPECT_EQ(failing.exitCode, 1);
    EXPECT_TRUE(failing.has("tokens", "problem", "CKR_GENERAL_ERROR")) << failing.output;

    std::ofstream(directory / "kestova.conf") << "slot 1 no-token\n";
    const DoctorRun noToken = runDoctor(service.runtimeDirectory());
    EXPECT_EQ(noToken.exitCode, 1);
    EXPECT_EQ(noToken.tokens, 0);
    EXPECT_TRUE(noToken.has("tokens", "note", "no token")) << noToken.output;
    EXPECT_TRUE(noToken.has("tokens", "problem")) << noToken.output;
}

TEST_F(DoctorTest, serviceStopped_exitsOneThoughCertificatesReadAndNamesAnUndecodableOne)
{
    Bytes cutShort(certificate.begin(), certificate.end() - 16);
    std::ofstream(directory / "cut-short.der", std::ios::binary)
        .write(reinterpret_cast<const char*>(cutShort.data()), static_cast<std::streamsize>(cutShort.size()));
    useFakeToken(oneCertificate() + "slot 2\nobject " + (directory / "cut-short.der").string() + "\n");
    const DoctorRun run = runDoctor((directory / "run").string());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_FALSE(run.serviceAnswers);
    EXPECT_FALSE(run.has("service", "ok", "instance")) << run.output;
    EXPECT_TRUE(run.has("service", "problem")) << run.output;
    EXPECT_EQ(run.commonNames, std::multiset<std::string>{"Ada Example"});
    EXPECT_TRUE(run.has("tokens", "problem", std::to_string(cutShort.size()) + " bytes")) << run.output;
}

TEST_F(DoctorTest, firstPortHeldByAnotherProgram_isReportedAsNotCorvane)
{
    const int squatter = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(1237);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(squatter, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(squatter, 4), 0);
    const DoctorRun run = runDoctor((directory / "run").string());
    ::close(squatter);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_FALSE(run.serviceAnswers);
    EXPECT_TRUE(run.has("service", "note", "1237")) << run.output;
    EXPECT_TRUE(run.has("service", "problem", "not Corvane")) << run.output;
}

// A loopback listener on port, not yet accepting.
int listenOn(int port, int backlog)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << port;
    EXPECT_EQ(::listen(fd, backlog), 0);
    return fd;
}

TEST_F(DoctorTest, hostileListenersOnTheRange_costSecondsAndLittleMemoryAndAreEachNamed)
{
    // 1237 accepts nothing and its queue is full, so a connection is never
    // made; 1238 answers anything with garbage without end; 1239 accepts
    // and stays silent.
    const int full = listenOn(1237, 0);
    std::vector<int> queued;
    for (int i = 0; i < 4; ++i) {
        queued.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(1237);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        (void)::connect(queued.back(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    const int flood = listenOn(1238, 8);
    const int silent = listenOn(1239, 8);
    std::atomic<bool> stop{false};
    std::thread flooder([&] {
        const std::string garbage(64 * 1024, '\x9b');
        while (!stop) {
            pollfd waiting{flood, POLLIN, 0};
            if (::poll(&waiting, 1, 100) <= 0) {
                continue;
            }
            const int peer = ::accept(flood, nullptr, nullptr);
            while (!stop && peer >= 0 && ::send(peer, garbage.data(), garbage.size(), MSG_NOSIGNAL) > 0) {
            }
            ::close(peer);
        }
    });

    const auto started = std::chrono::steady_clock::now();
    const DoctorRun run = runDoctor((directory / "run").string());
    const auto took = std::chrono::steady_clock::now() - started;
    stop = true;
    flooder.join();
    for (const int fd : queued) {
        ::close(fd);
    }
    for (const int fd : {full, flood, silent}) {
        ::close(fd);
    }
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);

    EXPECT_LT(took, std::chrono::seconds(10));
    if (harness::environmentOr("CORVANE_TEST_LAUNCHER").empty()) {
        EXPECT_LT(usage.ru_maxrss, 100 * 1024) << "KiB at the doctor's peak";
    }
    std::printf("[ doctor   ] report in %lld ms, peak resident %ld KiB\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
                usage.ru_maxrss);
    EXPECT_TRUE(run.has("service", "note", "port 1237: something listens there but could not be probed"))
        << run.output;
    EXPECT_TRUE(run.has("service", "note", "port 1238: a program that is not Corvane listens there; it answered"))
        << run.output;
    EXPECT_TRUE(run.has("service", "note", "port 1239: a program that is not Corvane listens there; it no answer"))
        << run.output;
    EXPECT_TRUE(run.has("service", "problem", "not Corvane")) << run.output;
}

TEST_F(DoctorTest, anotherUsersServiceOnTheFirstPort_isToldApartFromThisUsersOnTheNext)
{
    const passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || nobody == nullptr || nobody->pw_uid == 0 ||
        !harness::environmentOr("CORVANE_TEST_LAUNCHER").empty()) {
        GTEST_SKIP() << "plays a second user: needs root, the account \"nobody\" and a native build";
    }
    ServiceOptions theirs;
    theirs.user = nobody->pw_uid;
    theirs.group = nobody->pw_gid;
    ServiceProcess other(theirs);
    ServiceOptions ours;
    ours.port = 1238;
    ours.requirePortFree = false;
    ServiceProcess service(ours);
    const DoctorRun run = runDoctor(service.runtimeDirectory());
    EXPECT_TRUE(run.serviceAnswers);
    EXPECT_TRUE(run.has("service", "note", "1237")) << run.output;
    EXPECT_FALSE(run.has("service", "ok", "1237")) << run.output;
    EXPECT_TRUE(run.has("service", "ok", "1238")) << run.output;
}

// Another user's listener on 1237 that answers the probe as Corvane does:
// it echoes the MsgId in the answer to a request without a module. The
// doctor must ask whose it is, name it, and go on to this user's service.
TEST_F(DoctorTest, standInOfAnotherUserOnTheFirstPort_isNamedAndThisUsersServiceFoundOnTheNext)
{
    const passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || nobody == nullptr || nobody->pw_uid == 0 ||
        !harness::environmentOr("CORVANE_TEST_LAUNCHER").empty()) {
        GTEST_SKIP() << "plays a second user: needs root, the account \"nobody\" and a native build";
    }
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t standIn = ::fork();
    if (standIn == 0) {
        ::close(ready[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0) {
            _exit(1);
        }
        using Endpoint = websocketpp::server<websocketpp::config::asio>;
        Endpoint endpoint;
        endpoint.clear_access_channels(websocketpp::log::alevel::all);
        endpoint.clear_error_channels(websocketpp::log::elevel::all);
        endpoint.init_asio();
        endpoint.set_message_handler([&endpoint](websocketpp::connection_hdl hdl, Endpoint::message_ptr message) {
            rapidjson::Document request;
            request.Parse(message->get_payload().c_str());
            const std::string id =
                request.IsObject() && request.HasMember("MsgId") && request["MsgId"].IsString()
                    ? request["MsgId"].GetString()
                    : "";
            endpoint.send(hdl, harness::notLoaded(id), websocketpp::frame::opcode::text);
        });
        endpoint.set_reuse_addr(true);
        endpoint.listen(asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 1237));
        endpoint.start_accept();
        (void)!::write(ready[1], "r", 1);
        endpoint.run();
        _exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    const bool listening = ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    ServiceOptions ours;
    ours.port = 1238;
    ours.requirePortFree = false;
    std::optional<DoctorRun> run;
    if (listening) {
        ServiceProcess service(ours);
        run = runDoctor(service.runtimeDirectory());
    }
    ::kill(standIn, SIGKILL);
    ::waitpid(standIn, nullptr, 0);
    ASSERT_TRUE(listening) << "the stand-in could not listen on 1237";
    EXPECT_TRUE(run->has("service", "note", "port 1237: belongs to another user, uid " +
                                                std::to_string(nobody->pw_uid)))
        << run->output;
    EXPECT_FALSE(run->has("service", "ok", "1237")) << run->output;
    EXPECT_TRUE(run->has("service", "ok", "port 1238: Corvane answers for this user")) << run->output;
    EXPECT_TRUE(run->has("service", "ok", "(corvane)")) << run->output;
    EXPECT_TRUE(run->serviceAnswers);
}

// Without a runtime directory the guard's place is /tmp/<name>-<uid>. One
// made by another user, holding a lock file that is held, is named and is
// no instance of this user's.
TEST_F(DoctorTest, guardPlaceOfAnotherUserInTmp_isNamedAndNoInstance)
{
    const passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || nobody == nullptr || nobody->pw_uid == 0 ||
        !harness::environmentOr("CORVANE_TEST_LAUNCHER").empty()) {
        GTEST_SKIP() << "plays a second user: needs root, the account \"nobody\" and a native build";
    }
    const std::string place = std::string("/tmp/") + server::kInstanceGuardName + "-0";
    std::error_code ignored;
    fs::remove_all(place, ignored);
    ASSERT_EQ(::mkdir(place.c_str(), 0777), 0);
    const std::string file = place + "/" + server::kInstanceGuardName + ".lock";
    const int lock = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(::chown(file.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_EQ(::chown(place.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    const DoctorRun run = runDoctor("");
    ::close(lock);
    fs::remove_all(place, ignored);
    EXPECT_TRUE(run.has("service", "note", place + " belongs to uid " + std::to_string(nobody->pw_uid))) << run.output;
    EXPECT_FALSE(run.has("service", "ok", "an instance runs")) << run.output;
}

TEST_F(DoctorTest, softHsmDemoTokenThroughTheBridge_readyWithItsThreeCertificates)
{
    const std::string bridge = CORVANE_TEST_BRIDGE;
    if (bridge.empty() || !harness::environmentOr("CORVANE_TEST_LAUNCHER").empty()) {
        GTEST_SKIP() << "needs the bridge and SoftHSM2 of a native build";
    }
    const fs::path token = directory / "token";
    ASSERT_EQ(std::system(("bash " + shellQuote(CORVANE_TEST_PROVISION_SCRIPT) + " " + shellQuote(token.string()) +
                           " >/dev/null 2>&1")
                              .c_str()),
              0);
    fs::copy_file(bridge, directory / fs::path(bridge).filename());
    environment["SOFTHSM2_CONF"] = (token / "softhsm2.conf").string();
    environment["KESTOVA_BRIDGE_MODULE"] = CORVANE_TEST_SOFTHSM_MODULE;
    ServiceProcess service;
    const DoctorRun run = runDoctor(service.runtimeDirectory());
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.commonNames,
              (std::multiset<std::string>{"Alice Example", "Demo Signing Device", "\xe7\x8e\x8b\xe5\xb0\x8f\xe6\x98\x8e"}));
    EXPECT_TRUE(run.has("token library", "note", CORVANE_TEST_SOFTHSM_MODULE)) << run.output;
    EXPECT_TRUE(run.has("tokens", "ok", "Corvane Demo")) << run.output;
    EXPECT_EQ(run.tokens, 1);
}

} // namespace

namespace {

TEST_F(DoctorTest, pinPrompt_saysWhetherOneCanBeShown)
{
    useFakeToken(oneCertificate());
    ServiceProcess service;
    environment["CORVANE_PINENTRY"] = (directory / "no-such-pinentry").string();
    const DoctorRun missing = runDoctor(service.runtimeDirectory());
    EXPECT_TRUE(missing.has("PIN prompt", "note", "no prompt can be shown")) << missing.output;
    if (harness::environmentOr("CORVANE_TEST_LAUNCHER").empty()) {
        environment["CORVANE_PINENTRY"] = "/bin/sh";
        const DoctorRun found = runDoctor(service.runtimeDirectory());
        EXPECT_TRUE(found.has("PIN prompt", "note", "/bin/sh")) << found.output;
        EXPECT_FALSE(found.has("PIN prompt", "note", "no prompt can be shown")) << found.output;
    }
}

} // namespace
