#include "Report.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

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

const char* startServiceStep()
{
    return "start it with `systemctl --user start corvane`";
}

} // namespace doctor
