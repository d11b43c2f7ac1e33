#include "platform/paths/Paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace platform {
namespace {

// A policy file is a short list; anything larger is not one (a device, a
// mistaken link) and must not hold up the start.
constexpr std::size_t kMaxPolicyBytes = 1 << 20;

} // namespace

OriginPolicySource readOriginPolicySource()
{
    OriginPolicySource source;
    source.location = "/etc/corvane/allowed-origins";
    const int fd = ::open(source.location.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT) {
        // Only a file that is not there means no policy. The file or its
        // directory as a link that leads nowhere is a broken policy, and a
        // broken one refuses every origin.
        for (const char* path : {"/etc/corvane/allowed-origins", "/etc/corvane"}) {
            struct stat link {};
            struct stat target {};
            if (::lstat(path, &link) == 0 && S_ISLNK(link.st_mode) && ::stat(path, &target) != 0) {
                source.state = OriginPolicySource::State::unreadable;
                source.error = std::string(path) + " is a link that leads nowhere";
                return source;
            }
        }
        return source;
    }
    source.state = OriginPolicySource::State::unreadable;
    if (fd < 0) {
        source.error = std::strerror(errno);
        return source;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            source.error = std::strerror(errno);
            break;
        }
        if (n == 0) {
            source.state = OriginPolicySource::State::read;
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > kMaxPolicyBytes) {
            source.error = "larger than 1 MiB";
            break;
        }
    }
    ::close(fd);
    if (source.state != OriginPolicySource::State::read) {
        return source;
    }
    std::string_view rest(text);
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1); // written on Windows
        }
        source.lines.emplace_back(line);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return source;
}

std::filesystem::path userLogDirectory()
{
    return {};
}

} // namespace platform
