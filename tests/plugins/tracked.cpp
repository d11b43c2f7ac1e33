// A plug-in that records when the dynamic loader maps and unmaps it, so a
// test can prove when the host really released a module. Each line is
// "<tag> load" or "<tag> unload", appended to the file named by
// CORVANE_TRACKED_LOG. Built twice with different tags.
//
// Only C-level constructors and plain system calls here: C++ statics with
// vague linkage could make the loader keep the library mapped.

#include "plugin/CorvanePlugin.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#ifndef TRACKED_TAG
#error "TRACKED_TAG must name this build of the plug-in"
#endif

namespace {

void record(const char* event)
{
    const char* path = std::getenv("CORVANE_TRACKED_LOG");
    if (path == nullptr) {
        return;
    }
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    char line[64] = TRACKED_TAG " ";
    std::strncat(line, event, sizeof line - std::strlen(line) - 2);
    std::strcat(line, "\n");
    (void)!::write(fd, line, std::strlen(line));
    ::close(fd);
}

__attribute__((constructor)) void onLoad()
{
    record("load");
}

__attribute__((destructor)) void onUnload()
{
    record("unload");
}

} // namespace

// Answers with its own tag, so the test sees which module a call reached.
CORVANE_PLUGIN_EXPORT int Invoke(const char*, const char*, char** result)
{
    const char tag[] = TRACKED_TAG;
    *result = new char[sizeof tag];
    std::memcpy(*result, tag, sizeof tag);
    return 0;
}
