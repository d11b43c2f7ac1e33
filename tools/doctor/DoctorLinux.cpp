#include "Report.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>

#ifndef CORVANE_DOCTOR_BRIDGE_DEFAULT
#error "CORVANE_DOCTOR_BRIDGE_DEFAULT must name the module the bridge uses when the environment names none"
#endif

namespace doctor {

namespace fs = std::filesystem;

void reportTokenSetup(Report& report)
{
    const char* named = std::getenv("KESTOVA_BRIDGE_MODULE");
    if (named != nullptr && named[0] != '\0') {
        report.note("token library", std::string("the bridge leads to ") + named + " (KESTOVA_BRIDGE_MODULE)");
    } else {
        report.note("token library", "the bridge leads to p11-kit's proxy " CORVANE_DOCTOR_BRIDGE_DEFAULT
                                     " (KESTOVA_BRIDGE_MODULE is not set)");
    }

    // Where p11-kit looks for registrations; a user's own replace the system's.
    std::vector<fs::path> directories = {"/usr/share/p11-kit/modules", "/etc/pkcs11/modules"};
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        directories.push_back(fs::path(home) / ".config/pkcs11/modules");
    }
    std::map<std::string, std::string> modules;
    for (const fs::path& directory : directories) {
        std::error_code error;
        for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
            if (it->path().extension() != ".module") {
                continue;
            }
            std::ifstream in(it->path());
            std::string module = "(no module line)";
            for (std::string line; std::getline(in, line);) {
                if (line.rfind("module:", 0) == 0) {
                    module = line.substr(line.find_first_not_of(" \t", 7) == std::string::npos
                                             ? line.size()
                                             : line.find_first_not_of(" \t", 7));
                }
            }
            modules[it->path().stem().string()] = module;
        }
    }
    if (modules.empty()) {
        report.note("token library", "no p11-kit module is registered");
    }
    for (const auto& [name, module] : modules) {
        report.note("token library", "p11-kit module " + name + ": " + module);
    }
}

// The same program the service would start, and the desktop it would show
// on. The service under systemd sees only what the session imported, so
// this speaks for a service started from this environment.
void reportPromptSetup(Report& report)
{
    const char* configured = std::getenv("CORVANE_PINENTRY");
    const std::string program = configured != nullptr && *configured != '\0' ? configured : "pinentry";
    std::string found;
    if (program.find('/') != std::string::npos) {
        found = ::access(program.c_str(), X_OK) == 0 ? program : std::string();
    } else if (const char* path = std::getenv("PATH")) {
        std::string directories = path;
        for (std::size_t start = 0, end; start <= directories.size(); start = end + 1) {
            end = directories.find(':', start);
            end = end == std::string::npos ? directories.size() : end;
            const std::string candidate = directories.substr(start, end - start) + "/" + program;
            if (end > start && ::access(candidate.c_str(), X_OK) == 0) {
                found = candidate;
                break;
            }
        }
    }
    if (found.empty()) {
        report.note("PIN prompt", "no prompt can be shown: " + program +
                                      " is not found (install pinentry-gnome3, or name one in CORVANE_PINENTRY); "
                                      "Sign and Authenticate answer no-prompt");
        return;
    }
    const bool desktop = std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
    report.note("PIN prompt", found + (desktop ? ", on this desktop" : ", with no DISPLAY or WAYLAND_DISPLAY: only a terminal pinentry can ask") +
                                  "; the user service sees the desktop only when the session imports DISPLAY, "
                                  "WAYLAND_DISPLAY and DBUS_SESSION_BUS_ADDRESS");
}

const char* startServiceStep()
{
    return "start it with `systemctl --user start corvane`";
}

} // namespace doctor
