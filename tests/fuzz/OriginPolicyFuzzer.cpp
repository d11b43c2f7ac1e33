// The origin policy over arbitrary text: every line that is not blank or a
// comment becomes an entry or a reported problem; a plain entry allows the
// origin it spells, in any letter case; a wildcard entry allows a name
// below its domain and never the domain itself; nothing outside a policy
// gets in; and printable() keeps a log line to printable ASCII.

#include "FuzzCheck.h"

#include "server/OriginPolicy.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

std::string withoutBlanks(const std::string& line)
{
    const auto isBlank = [](unsigned char c) { return std::isspace(c) != 0; };
    auto first = std::find_if_not(line.begin(), line.end(), isBlank);
    auto last = std::find_if_not(line.rbegin(), line.rend(), isBlank).base();
    return first < last ? std::string(first, last) : std::string();
}

std::string upper(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    const std::string origin = provider.ConsumeRandomLengthString(256);
    const std::string text = provider.ConsumeRemainingBytesAsString();

    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    const server::ParsedOriginPolicy parsed = server::parseOriginPolicy(text);

    std::size_t previous = 0;
    for (const server::OriginPolicyProblem& problem : parsed.problems) {
        FUZZ_CHECK(problem.line > previous && problem.line <= lines.size());
        FUZZ_CHECK(problem.text == lines[problem.line - 1] && !problem.reason.empty());
        previous = problem.line;
    }

    std::size_t considered = 0;
    std::size_t next = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string line = withoutBlanks(lines[i]);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        ++considered;
        const bool problem = next < parsed.problems.size() && parsed.problems[next].line == i + 1;
        next += problem ? 1 : 0;
        if (problem) {
            continue;
        }
        const std::size_t star = line.find("://*.");
        if (star == std::string::npos) {
            FUZZ_CHECK(parsed.policy.allows(line) && parsed.policy.allows(upper(line)));
        } else {
            std::string below = line;
            below.replace(star + 3, 1, "a");
            std::string apex = line;
            apex.erase(star + 3, 2);
            FUZZ_CHECK(parsed.policy.allows(below) && parsed.policy.allows(upper(below)));
            FUZZ_CHECK(!parsed.policy.allows(line));
            // Another entry may allow the apex itself.
            FUZZ_CHECK(parsed.policy.size() > 1 || !parsed.policy.allows(apex));
        }
    }
    FUZZ_CHECK(next == parsed.problems.size());
    FUZZ_CHECK(parsed.policy.size() + parsed.problems.size() == considered);

    FUZZ_CHECK(!server::OriginPolicy().allows(origin));
    FUZZ_CHECK(!parsed.policy.allows("null"));
    (void)parsed.policy.allows(origin);

    const std::string logged = server::printable(origin);
    for (std::size_t i = 0; i < logged.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(logged[i]);
        FUZZ_CHECK(c >= 0x20 && c <= 0x7e);
        if (c == '\\') {
            FUZZ_CHECK(i + 1 < logged.size());
            ++i; // the escaped character
        } else {
            FUZZ_CHECK(c != '"');
        }
    }
    return 0;
}
