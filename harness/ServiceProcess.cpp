#include "harness/ServiceProcess.h"

#include "harness/ChildProcess.h"
#include "harness/ProcessFigures.h"
#include "harness/WsClient.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef CORVANE_TEST_DEFAULT_SERVICE
#define CORVANE_TEST_DEFAULT_SERVICE ""
#endif
#ifndef CORVANE_TEST_DEFAULT_ARTIFACTS
#define CORVANE_TEST_DEFAULT_ARTIFACTS ""
#endif
#ifndef CORVANE_TEST_DEFAULT_MODULE_SUFFIX
#define CORVANE_TEST_DEFAULT_MODULE_SUFFIX ".so"
#endif

extern char** environ;

namespace harness {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::vector<std::string> splitBlanks(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

std::string makeTempDirectory()
{
    std::string pattern = environmentOr("TMPDIR", "/tmp") + "/corvane-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw ServiceError("cannot create a temporary directory: " + std::string(std::strerror(errno)));
    }
    return pattern;
}

void copyInto(const std::string& source, const std::string& target)
{
    std::error_code error;
    fs::copy_file(source, target, fs::copy_options::overwrite_existing, error);
    if (error) {
        throw ServiceError("cannot copy " + source + " to " + target + ": " + error.message() +
                           " (is it built? see CORVANE_TEST_SERVICE / CORVANE_TEST_ARTIFACTS)");
    }
}

} // namespace

std::string ServiceProcess::serviceExecutable()
{
    return environmentOr("CORVANE_TEST_SERVICE", CORVANE_TEST_DEFAULT_SERVICE);
}

std::string ServiceProcess::artifactsDirectory()
{
    return environmentOr("CORVANE_TEST_ARTIFACTS", CORVANE_TEST_DEFAULT_ARTIFACTS);
}

std::string ServiceProcess::moduleFileName(const std::string& baseName)
{
    return environmentOr("CORVANE_TEST_MODULE_PREFIX", "") + baseName +
           environmentOr("CORVANE_TEST_MODULE_SUFFIX", CORVANE_TEST_DEFAULT_MODULE_SUFFIX);
}

void ServiceProcess::requirePortFree(int port)
{
    if (isListening("127.0.0.1", port)) {
        throw ServiceError("port " + std::to_string(port) +
                           " on 127.0.0.1 is already in use: stop the running Corvane service or run the "
                           "tests through tests/run-in-netns.sh");
    }
}

ServiceProcess::ServiceProcess(ServiceOptions options)
{
    const std::string executable = serviceExecutable();
    if (executable.empty()) {
        throw ServiceError("no service executable: set CORVANE_TEST_SERVICE");
    }
    m_port = options.port;
    m_user = options.user;
    m_group = options.group;
    m_startDirectory = options.startDirectory;
    if (options.requirePortFree) {
        requirePortFree(m_port);
    }

    m_directory = makeTempDirectory();
    try {
        m_executable = m_directory + "/" + fs::path(executable).filename().string();
        copyInto(executable, m_executable);
        fs::permissions(m_executable, fs::perms::owner_all, fs::perm_options::add);
        for (const std::string& plugin : options.plugins) {
            const std::string name = moduleFileName(plugin);
            copyInto(artifactsDirectory() + "/" + name, m_directory + "/" + name);
        }
        for (const auto& [source, name] : options.files) {
            copyInto(source, m_directory + "/" + (name.empty() ? fs::path(source).filename().string() : name));
        }
        fs::create_directory(runtimeDirectory());
        fs::permissions(runtimeDirectory(), fs::perms::owner_all, fs::perm_options::replace);
        if (m_user) {
            for (const auto& entry : fs::recursive_directory_iterator(m_directory)) {
                if (::lchown(entry.path().c_str(), *m_user, m_group) != 0) {
                    throw ServiceError("cannot hand " + entry.path().string() + " to uid " +
                                       std::to_string(*m_user) + ": " + std::strerror(errno));
                }
            }
            if (::chown(m_directory.c_str(), *m_user, m_group) != 0) {
                throw ServiceError("cannot hand " + m_directory + " to uid " + std::to_string(*m_user) + ": " +
                                   std::strerror(errno) + " (starting a service as another user needs root)");
            }
        }

        // A test may set it, even to nothing.
        options.environment.emplace("XDG_RUNTIME_DIR", runtimeDirectory());
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            const std::string name = text.substr(0, text.find('='));
            if (options.environment.count(name) == 0) {
                m_environment.push_back(text);
            }
        }
        for (const auto& [name, value] : options.environment) {
            std::string expanded = value;
            for (auto at = expanded.find("@DIR@"); at != std::string::npos; at = expanded.find("@DIR@", at)) {
                expanded.replace(at, 5, m_directory);
                at += m_directory.size();
            }
            m_environment.push_back(name + "=" + expanded);
        }

        m_pid = spawn(m_directory + "/stdout.txt", m_directory + "/stderr.txt");
        if (options.waitUntilReady) {
            waitUntilReady();
        }
    } catch (...) {
        if (m_pid > 0) {
            kill();
        }
        if (std::getenv("CORVANE_TEST_KEEP_DIRS") == nullptr) {
            std::error_code ignored;
            fs::remove_all(m_directory, ignored);
        }
        throw;
    }
}

ServiceProcess::~ServiceProcess()
{
    if (m_pid > 0) {
        kill();
    }
    if (std::getenv("CORVANE_TEST_KEEP_DIRS") == nullptr) {
        std::error_code ignored;
        fs::remove_all(m_directory, ignored);
    }
}

pid_t ServiceProcess::spawn(const std::string& outPath, const std::string& errPath) const
{
    ChildSpec child;
    child.argv = splitBlanks(environmentOr("CORVANE_TEST_LAUNCHER", ""));
    child.argv.push_back(m_executable);
    child.environment = m_environment;
    child.directory = m_startDirectory.empty() ? m_directory : m_startDirectory;
    child.outputPath = outPath;
    child.errorPath = errPath;
    child.user = m_user;
    child.group = m_group;
    try {
        return startChild(child);
    } catch (const std::runtime_error& e) {
        throw ServiceError(std::string(e.what()) + " (service directory " + m_directory + ")");
    }
}

void ServiceProcess::waitUntilReady()
{
    const auto timeout = std::chrono::milliseconds(std::atoi(environmentOr("CORVANE_TEST_START_TIMEOUT_MS", "20000").c_str()));
    const auto deadline = Clock::now() + timeout;
    std::string lastError;
    while (Clock::now() < deadline) {
        if (const auto code = waitExit(std::chrono::milliseconds(0))) {
            throw ServiceError("the service exited with code " + std::to_string(*code) +
                               " before it accepted connections; its standard error:\n" + standardError());
        }
        try {
            if (m_user) {
                // It refuses our handshake; any HTTP answer shows that it runs.
                httpGet("/", "127.0.0.1", m_port, std::chrono::milliseconds(1000));
                return;
            }
            WsClient probe;
            probe.connect("127.0.0.1", m_port, "/", std::chrono::milliseconds(1000));
            probe.close(1000);
            return;
        } catch (const WsError& e) {
            lastError = e.what();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw ServiceError("the service did not accept a WebSocket handshake within " + std::to_string(timeout.count()) +
                       " ms (" + lastError + "); its standard error:\n" + standardError());
}

std::optional<int> ServiceProcess::waitExit(std::chrono::milliseconds timeout)
{
    if (m_exitCode || m_pid <= 0) {
        return m_exitCode;
    }
    try {
        m_exitCode = waitChild(m_pid, timeout);
    } catch (const std::runtime_error& e) {
        throw ServiceError(e.what());
    }
    return m_exitCode;
}

bool ServiceProcess::running()
{
    return !waitExit(std::chrono::milliseconds(0));
}

void ServiceProcess::terminate()
{
    if (m_pid > 0) {
        ::kill(-m_pid, SIGTERM);
    }
}

void ServiceProcess::kill()
{
    if (m_pid <= 0 || m_exitCode) {
        return;
    }
    // The group as well: a launcher may have started helpers of its own.
    m_exitCode = killChild(m_pid);
}

ProcessResult ServiceProcess::runSecondInstance(std::chrono::milliseconds timeout)
{
    static int counter = 0;
    const std::string tag = std::to_string(++counter);
    const std::string outPath = m_directory + "/second-" + tag + ".stdout.txt";
    const std::string errPath = m_directory + "/second-" + tag + ".stderr.txt";
    const pid_t pid = spawn(outPath, errPath);

    ProcessResult result;
    const std::optional<int> code = waitChild(pid, timeout);
    if (!code) {
        killChild(pid);
        throw ServiceError("the second instance still ran after " + std::to_string(timeout.count()) + " ms");
    }
    result.exitCode = *code;
    result.standardOutput = readTextFile(outPath);
    result.standardError = readTextFile(errPath);
    return result;
}

std::string ServiceProcess::standardOutput() const
{
    return readTextFile(m_directory + "/stdout.txt");
}

std::string ServiceProcess::standardError() const
{
    return readTextFile(m_directory + "/stderr.txt");
}

std::string ServiceProcess::fileText(const std::string& name) const
{
    return readTextFile(m_directory + "/" + name);
}

long ServiceProcess::statusKiB(const std::string& field) const
{
    return harness::statusKiB(m_pid, field);
}

std::string environmentOr(const char* name, const std::string& fallback)
{
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? std::string(value) : fallback;
}

std::string readTextFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

} // namespace harness
