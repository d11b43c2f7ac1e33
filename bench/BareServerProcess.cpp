#include "BareServerProcess.h"

#include "support/ServiceProcess.h"
#include "support/WsClient.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace bench {

BareServerProcess::BareServerProcess()
{
    std::string pattern = testsupport::environmentOr("TMPDIR", "/tmp") + "/corvane-bench-bare-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary directory");
    }
    m_directory = pattern;
    const std::string out = m_directory + "/stdout.log";
    const std::string err = m_directory + "/stderr.log";
    const std::string port = std::to_string(kBarePort);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    char* const argv[] = {const_cast<char*>(CORVANE_BENCH_BARE_SERVER), const_cast<char*>(port.c_str()), nullptr};
    const int rc = ::posix_spawn(&m_pid, CORVANE_BENCH_BARE_SERVER, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        m_pid = -1;
        throw std::runtime_error(std::string("cannot start " CORVANE_BENCH_BARE_SERVER ": ") + std::strerror(rc));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!testsupport::isListening("127.0.0.1", kBarePort)) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            throw std::runtime_error("the bare endpoint exited at start; see " + err);
        }
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("the bare endpoint did not listen on port 1238 within 10 s");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

BareServerProcess::~BareServerProcess()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(m_directory, ignored);
}

} // namespace bench
