#pragma once

// What the diagnostics program found, in the order it looked.

#include <string>
#include <vector>

namespace doctor {

struct Finding {
    enum class Level { ok, problem, note };
    std::string area; // "service", "origin policy", "Quintrel", "token library", "tokens"
    Level level;
    std::string text;
    std::string step; // what to try, for a problem
};

struct CertificateFound {
    std::string token;
    std::string commonName;
    std::string serial;   // hex, as encoded
    std::string notAfter; // "2030-12-31 16:00:00 UTC"
};

struct Report {
    std::vector<Finding> findings;
    std::vector<CertificateFound> certificates;
    int tokens = 0;
    bool serviceAnswers = false;

    void ok(const std::string& area, const std::string& text) { findings.push_back({area, Finding::Level::ok, text, {}}); }
    void note(const std::string& area, const std::string& text)
    {
        findings.push_back({area, Finding::Level::note, text, {}});
    }
    void problem(const std::string& area, const std::string& text, const std::string& step)
    {
        findings.push_back({area, Finding::Level::problem, text, step});
    }
    const Finding* firstProblem() const
    {
        for (const Finding& finding : findings) {
            if (finding.level == Finding::Level::problem) {
                return &finding;
            }
        }
        return nullptr;
    }
    // Exit code 0: the service answers and at least one certificate can be read.
    bool ready() const { return serviceAnswers && !certificates.empty(); }
};

// Facts only one platform has: on Linux, where the token bridge leads and
// which p11-kit modules are registered. One source file per platform.
void reportTokenSetup(Report& report);

// Whether Sign and Authenticate can show their PIN prompt here.
void reportPromptSetup(Report& report);

// How a user starts the service on this platform.
const char* startServiceStep();

} // namespace doctor
