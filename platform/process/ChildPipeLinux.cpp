#include "platform/process/ChildPipe.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace platform {

void wipe(void* data, std::size_t size)
{
    if (data != nullptr && size != 0) {
        ::explicit_bzero(data, size);
    }
}

ChildPipe::~ChildPipe()
{
    finish();
}

bool ChildPipe::start(const std::string& program, std::string& error)
{
    int in[2] = { -1, -1 };
    int out[2] = { -1, -1 };
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        for (int fd : { in[0], in[1], out[0], out[1] }) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // The listening socket and every connection stay with the service.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    char* argv[] = { const_cast<char*>(program.c_str()), nullptr };
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) {
        error = std::strerror(rc);
        ::close(in[1]);
        ::close(out[0]);
        return false;
    }
    m_pid = pid;
    m_toChild = in[1];
    m_fromChild = out[0];
    m_begin = m_end = 0;
    return true;
}

bool ChildPipe::write(const std::string& text)
{
    if (m_toChild < 0) {
        return false;
    }
    // A program that has gone would raise SIGPIPE, which ends the service:
    // block it on this thread and take back any that the write raised.
    sigset_t pipeSignal, previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    bool ok = true;
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(m_toChild, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (!ok) {
        const timespec none = { 0, 0 };
        while (sigtimedwait(&pipeSignal, nullptr, &none) == SIGPIPE) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return ok;
}

ChildPipe::Read ChildPipe::readLine(std::string& line, std::chrono::milliseconds timeout, std::size_t maxLength)
{
    line.clear();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        while (m_begin < m_end) {
            const char c = m_buffer[m_begin];
            m_buffer[m_begin++] = '\0';
            if (c == '\n') {
                return Read::line;
            }
            if (line.size() >= maxLength) {
                return Read::closed;
            }
            line.push_back(c);
        }
        m_begin = m_end = 0;
        if (m_fromChild < 0) {
            return Read::closed;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return Read::timeout;
        }
        pollfd fd = { m_fromChild, POLLIN, 0 };
        const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0) {
            return Read::timeout;
        }
        const ssize_t n = ::read(m_fromChild, m_buffer, sizeof m_buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return Read::closed;
        }
        m_end = static_cast<std::size_t>(n);
    }
}

void ChildPipe::finish()
{
    wipe(m_buffer, sizeof m_buffer);
    m_begin = m_end = 0;
    for (int* fd : { &m_toChild, &m_fromChild }) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
    if (m_pid <= 0) {
        return;
    }
    // A prompt ends on end of input; one that does not within a second is
    // ended, so that the service never keeps a window open nobody answers.
    for (int i = 0; i < 100; ++i) {
        int status = 0;
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid || (done < 0 && errno != EINTR)) {
            m_pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(m_pid, SIGKILL);
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
}

} // namespace platform
