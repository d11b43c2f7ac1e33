// A plug-in that records when the dynamic loader maps and unmaps it, so a
// test can prove when the host really released a module. Each line is
// "<tag> load" or "<tag> unload", appended to the file named by
// CORVANE_TRACKED_LOG. Built twice with different tags.
//
// Only C-level constructors and C stdio here, the same on Linux and
// Windows: C++ statics with vague linkage could make the loader keep the
// library mapped.

#include "plugin/CorvanePlugin.h"

#include <cstdio>
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
    std::FILE* file = std::fopen(path, "ab"); // no CRLF translation on Windows
    if (file == nullptr) {
        return;
    }
    char line[64] = TRACKED_TAG " ";
    std::strncat(line, event, sizeof line - std::strlen(line) - 2);
    std::strcat(line, "\n");
    std::fputs(line, file);
    std::fclose(file);
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
