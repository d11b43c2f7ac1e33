#include "server/OriginPolicy.h"

#include "platform/paths/Paths.h"

#include <algorithm>

namespace server {
namespace {

bool isAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isHexDigit(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string lower(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return out;
}

unsigned defaultPort(const std::string& scheme)
{
    if (scheme == "http" || scheme == "ws") {
        return 80;
    }
    if (scheme == "https" || scheme == "wss") {
        return 443;
    }
    return 0;
}

bool validScheme(std::string_view scheme)
{
    return !scheme.empty() && isAlpha(scheme[0]) && std::all_of(scheme.begin(), scheme.end(), [](char c) {
        return isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.';
    });
}

// Dot-separated labels of letters, digits, '-' and '_'; no empty label.
bool validHostName(std::string_view host)
{
    std::size_t label = 0;
    for (const char c : host) {
        if (c == '.') {
            if (label == 0) {
                return false;
            }
            label = 0;
        } else if (isAlpha(c) || isDigit(c) || c == '-' || c == '_') {
            ++label;
        } else {
            return false;
        }
    }
    return label > 0;
}

bool validIpv6Literal(std::string_view host)
{
    return host.size() > 2 && std::all_of(host.begin() + 1, host.end() - 1,
                                          [](char c) { return isHexDigit(c) || c == ':' || c == '.'; });
}

// Reads scheme://host[:port] (with a leading "*." in the host when
// wildcards are allowed) into entry; returns why the text is not one, or
// nothing.
std::string parseOrigin(std::string_view text, bool wildcardAllowed, OriginPolicy::Entry& entry)
{
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f') {
            return "contains white space";
        }
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x21 || byte > 0x7e) {
            return "contains a character that is not printable ASCII (an international domain name is written in "
                   "its xn-- form)";
        }
    }
    const auto separator = text.find("://");
    if (separator == std::string_view::npos) {
        return "is not of the form scheme://host[:port]";
    }
    const std::string_view scheme = text.substr(0, separator);
    std::string_view authority = text.substr(separator + 3);

    entry.wildcard = wildcardAllowed && authority.substr(0, 2) == "*.";
    if (std::count(text.begin(), text.end(), '*') != (entry.wildcard ? 1 : 0)) {
        return "has a '*' that is not a leading \"*.\" of the host";
    }
    if (!validScheme(scheme)) {
        return "has no valid scheme";
    }
    const auto end = authority.find_first_of("/?#");
    if (end != std::string_view::npos) {
        switch (authority[end]) {
        case '/': return "has a path (an origin is scheme://host[:port] only)";
        case '?': return "has a query";
        default: return "has a fragment";
        }
    }
    if (authority.find('@') != std::string_view::npos) {
        return "has user information";
    }

    std::string_view host = authority;
    std::string_view afterHost;
    if (!authority.empty() && authority[0] == '[') {
        const auto close = authority.find(']');
        host = authority.substr(0, close == std::string_view::npos ? authority.size() : close + 1);
        if (close == std::string_view::npos || !validIpv6Literal(host)) {
            return "has an invalid IPv6 address";
        }
        afterHost = authority.substr(close + 1);
    } else {
        const auto colon = authority.find(':');
        host = authority.substr(0, colon);
        afterHost = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
        if (entry.wildcard) {
            host.remove_prefix(2);
        }
        if (host.empty()) {
            return "has no host";
        }
        if (!validHostName(host)) {
            return "has an invalid host name";
        }
    }

    entry.scheme = lower(scheme);
    entry.host = lower(host);
    entry.port = defaultPort(entry.scheme);
    if (!afterHost.empty()) {
        const std::string_view port = afterHost.substr(1);
        if (afterHost[0] != ':' || port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), isDigit)) {
            return "has an invalid port";
        }
        entry.port = static_cast<unsigned>(std::stoul(std::string(port)));
        if (entry.port == 0 || entry.port > 65535) {
            return "has an invalid port";
        }
    }
    return {};
}

std::string_view trimmed(std::string_view text)
{
    const char* const blanks = " \t\r\n\v\f";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

} // namespace

bool OriginPolicy::allows(std::string_view origin) const
{
    Entry candidate;
    if (!parseOrigin(origin, false, candidate).empty()) {
        return false;
    }
    return std::any_of(m_entries.begin(), m_entries.end(), [&candidate](const Entry& entry) {
        if (entry.scheme != candidate.scheme || entry.port != candidate.port) {
            return false;
        }
        if (!entry.wildcard) {
            return entry.host == candidate.host;
        }
        const std::string& host = candidate.host;
        return host.size() > entry.host.size() + 1 &&
               host.compare(host.size() - entry.host.size(), entry.host.size(), entry.host) == 0 &&
               host[host.size() - entry.host.size() - 1] == '.';
    });
}

ParsedOriginPolicy parseOriginPolicy(const std::vector<std::string>& lines)
{
    ParsedOriginPolicy parsed;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string_view line = trimmed(lines[i]);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        OriginPolicy::Entry entry;
        std::string reason = parseOrigin(line, true, entry);
        if (reason.empty()) {
            parsed.policy.m_entries.push_back(std::move(entry));
        } else {
            parsed.problems.push_back({i + 1, lines[i], std::move(reason)});
        }
    }
    return parsed;
}

ParsedOriginPolicy parseOriginPolicy(std::string_view text)
{
    std::vector<std::string> lines;
    while (!text.empty()) {
        const auto end = text.find('\n');
        lines.emplace_back(text.substr(0, end)); // a trailing '\r' goes with the white space
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    return parseOriginPolicy(lines);
}

std::string printable(std::string_view text)
{
    static const char* const digits = "0123456789abcdef";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte > 0x7e) {
            out += "\\x";
            out += digits[byte >> 4];
            out += digits[byte & 0xf];
        } else {
            out += c;
        }
    }
    return out;
}

OriginPolicyLoad loadOriginPolicy()
{
    using Level = OriginPolicyLoad::Level;
    OriginPolicyLoad load;
    const platform::OriginPolicySource source = platform::readOriginPolicySource();
    const std::string name = "origin policy " + source.location;
    const std::string refusingAll = ": every handshake with an Origin header is refused";
    switch (source.state) {
    case platform::OriginPolicySource::State::absent:
        return load;
    case platform::OriginPolicySource::State::unreadable:
        load.policy.emplace();
        load.messages.push_back({Level::error, name + " cannot be read (" + source.error + ")" + refusingAll});
        return load;
    case platform::OriginPolicySource::State::read:
        break;
    }

    ParsedOriginPolicy parsed = parseOriginPolicy(source.lines);
    for (const OriginPolicyProblem& problem : parsed.problems) {
        load.messages.push_back({Level::warning, name + ", line " + std::to_string(problem.line) + ": \"" +
                                                     printable(problem.text) + "\" " + problem.reason + "; skipped"});
    }
    if (parsed.policy.empty()) {
        load.messages.push_back({Level::error, name + " holds no valid entry" + refusingAll});
    } else {
        load.messages.push_back({Level::info, name + ": " + std::to_string(parsed.policy.size()) +
                                                  " allowed origin entries; handshakes from other origins are refused"});
    }
    load.policy = std::move(parsed.policy);
    return load;
}

} // namespace server
