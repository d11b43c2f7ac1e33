#include "BareServerProcess.h"

#include "harness/ChildProcess.h"
#include "harness/ServiceProcess.h"
#include "harness/WsClient.h"

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace bench {

BareServerProcess::BareServerProcess()
{
    std::string pattern = harness::environmentOr("TMPDIR", "/tmp") + "/corvane-bench-bare-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary directory");
    }
    m_directory = pattern;
    harness::ChildSpec child;
    child.argv = {CORVANE_BENCH_BARE_SERVER, std::to_string(kBarePort)};
    child.directory = m_directory;
    child.outputPath = accessLogPath();
    child.errorPath = m_directory + "/stderr.log";
    // A constructor that throws runs no destructor: clean up here.
    const auto giveUp = [this](const std::string& why) {
        if (m_pid > 0) {
            harness::killChild(m_pid);
        }
        std::error_code ignored;
        std::filesystem::remove_all(m_directory, ignored);
        throw std::runtime_error(why);
    };
    try {
        m_pid = harness::startChild(child);
    } catch (const std::runtime_error& e) {
        giveUp(e.what());
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!harness::isListening("127.0.0.1", kBarePort)) {
        if (const auto code = harness::waitChild(m_pid, std::chrono::milliseconds(0))) {
            m_pid = -1;
            giveUp("the bare endpoint exited at start with code " + std::to_string(*code) + ": " +
                   harness::readTextFile(child.errorPath));
        }
        if (std::chrono::steady_clock::now() > deadline) {
            giveUp("the bare endpoint did not listen on port " + std::to_string(kBarePort) + " within 10 s");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

BareServerProcess::~BareServerProcess()
{
    if (m_pid > 0) {
        harness::killChild(m_pid);
    }
    std::error_code ignored;
    std::filesystem::remove_all(m_directory, ignored);
}

} // namespace bench
