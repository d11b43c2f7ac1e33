#pragma once

// Which web origins may open a connection, as an administrator lists them.
//
// An entry is "scheme://host[:port]", matched exactly (scheme and host
// without regard to case; a missing port is the scheme's default, 80 for
// http and ws, 443 for https and wss), or "scheme://*.domain[:port]", which
// matches every host below domain but not domain itself. Blank lines and
// lines starting with '#' are ignored; white space around an entry is
// dropped. Anything else that is not such an origin (a path, a query,
// user information, a bad port, a '*' elsewhere, white space inside) is a
// problem: reported and skipped.
//
// parseOriginPolicy does no I/O and takes any bytes; loadOriginPolicy reads
// the platform's source and says what to log.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace server {

struct ParsedOriginPolicy;

class OriginPolicy {
public:
    // Whether the value of an Origin header names a listed origin. A value
    // that is not scheme://host[:port] (such as "null") never does. An empty
    // policy allows nothing.
    bool allows(std::string_view origin) const;
    bool empty() const { return m_entries.empty(); }
    std::size_t size() const { return m_entries.size(); }

    struct Entry {
        std::string scheme; // lower case
        std::string host;   // lower case; for a wildcard, the domain below which it matches
        unsigned port = 0;  // given or the scheme's default; 0 when neither
        bool wildcard = false;
    };
    const std::vector<Entry>& entries() const { return m_entries; }

private:
    friend ParsedOriginPolicy parseOriginPolicy(const std::vector<std::string>& lines);
    std::vector<Entry> m_entries;
};

// A line that was skipped: its number (from 1), its text as written, why.
struct OriginPolicyProblem {
    std::size_t line = 0;
    std::string text;
    std::string reason;
};

struct ParsedOriginPolicy {
    OriginPolicy policy;
    std::vector<OriginPolicyProblem> problems;
};

// One entry per element (a file's lines, a registry value's strings).
ParsedOriginPolicy parseOriginPolicy(const std::vector<std::string>& lines);
// The same for a whole text: lines end at '\n', a '\r' before it is dropped.
ParsedOriginPolicy parseOriginPolicy(std::string_view text);

// Text from outside made safe for a log line: bytes outside printable ASCII
// become \xHH, and '"' and '\' are escaped, so the text can be quoted.
std::string printable(std::string_view text);

// What start-up makes of the platform's policy source. Without a policy
// every origin is accepted; with one that cannot be read or holds no valid
// entry, the policy is empty and refuses every origin (fail closed).
struct OriginPolicyLoad {
    enum class Level { info, warning, error };
    struct Message {
        Level level;
        std::string text;
    };
    std::optional<OriginPolicy> policy;
    std::vector<Message> messages; // for the error log, in order
};
OriginPolicyLoad loadOriginPolicy();

} // namespace server
