#include "server/OriginPolicy.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using server::OriginPolicy;
using server::parseOriginPolicy;

namespace {

TEST(OriginPolicyTest, exactEntry_matchesWithDefaultPortAndWithoutRegardToCase)
{
    const auto parsed = parseOriginPolicy("https://app.example\nHTTP://Intranet.Example:8080\r\nhttp://b.example:80\n");
    ASSERT_TRUE(parsed.problems.empty());
    const OriginPolicy& policy = parsed.policy;

    for (const char* allowed : {"https://app.example", "https://app.example:443", "https://APP.example",
                                "http://intranet.example:8080", "http://b.example"}) {
        EXPECT_TRUE(policy.allows(allowed)) << allowed;
    }
    for (const char* refused : {"http://app.example", "https://app.example:8443", "http://intranet.example",
                                "https://sub.app.example", "https://app.example.evil.test", "https://app.example/",
                                "null", ""}) {
        EXPECT_FALSE(policy.allows(refused)) << refused;
    }
}

TEST(OriginPolicyTest, wildcard_matchesEverySubdomainButNotTheDomainItself)
{
    const OriginPolicy policy = parseOriginPolicy("https://*.example.org").policy;

    for (const char* allowed : {"https://a.example.org", "https://a.b.example.org", "https://A.Example.ORG:443"}) {
        EXPECT_TRUE(policy.allows(allowed)) << allowed;
    }
    for (const char* refused : {"https://example.org", "https://badexample.org", "https://.example.org",
                                "https://a.example.org.evil.test", "http://a.example.org", "https://a.example.org:8443",
                                "https://*.example.org"}) {
        EXPECT_FALSE(policy.allows(refused)) << refused;
    }
}

TEST(OriginPolicyTest, malformedLines_areReportedWithTheirNumberAndSkipped)
{
    const std::vector<std::string> lines = {
        "# comment",
        "",
        "  \t ",
        "  https://ok.example  ", // 4: white space around an entry is dropped
        "app.example",
        "https://a.example/",
        "https://a.example?x=1",
        "https://a.example#top",
        "https://user@a.example",
        "https://a.example:0", // 10
        "https://a.example:65536",
        "https://a.example:",
        "https://a.example:8o",
        "https://a*.example",
        "*.example.org", // 15
        "https://*.*.example",
        "https://*",
        "https://a .example",
        "https://a.example # main",
        "https://b\xc3\xbc" "cher.example", // 20
        "https://a..example",
        "://a.example",
        "https://[::1]:8443",
    };
    const auto parsed = parseOriginPolicy(lines);

    std::vector<std::size_t> reported;
    for (const auto& problem : parsed.problems) {
        reported.push_back(problem.line);
        EXPECT_EQ(problem.text, lines[problem.line - 1]);
        EXPECT_FALSE(problem.reason.empty());
    }
    std::vector<std::size_t> expected;
    for (std::size_t line = 5; line <= 22; ++line) {
        expected.push_back(line);
    }
    EXPECT_EQ(reported, expected);
    EXPECT_EQ(parsed.policy.size(), 2u);
    EXPECT_TRUE(parsed.policy.allows("https://ok.example"));
    EXPECT_TRUE(parsed.policy.allows("https://[::1]:8443"));
}

TEST(OriginPolicyTest, policyWithoutValidEntry_isEmptyAndAllowsNothing)
{
    const auto parsed = parseOriginPolicy("# only a comment\nhttps://a.example/\n");
    EXPECT_TRUE(parsed.policy.empty());
    EXPECT_FALSE(parsed.policy.allows("https://a.example"));
}

// What administrators copy: the Debian package's example file and the example
// in the Group Policy template's explanation.
TEST(OriginPolicyTest, shippedExamples_parseCleanlyAndMeanWhatTheirCommentsSay)
{
    const auto read = [](const std::string& path) {
        std::ifstream file(std::string(PACKAGING_DIR) + "/" + path, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    };
    const std::string file = read("debian/allowed-origins");
    ASSERT_FALSE(file.empty());
    const auto parsed = parseOriginPolicy(file);
    EXPECT_TRUE(parsed.problems.empty());
    for (const char* allowed : {"https://app.example.org", "https://team.intranet.example.org",
                                "https://intranet.example.org", "http://localhost:8080"}) {
        EXPECT_TRUE(parsed.policy.allows(allowed)) << allowed;
    }
    EXPECT_FALSE(parsed.policy.allows("https://other.example"));

    const std::string adml = read("windows/policy/en-US/Corvane.adml");
    const std::size_t start = adml.find("Example:\n");
    ASSERT_NE(start, std::string::npos);
    const std::size_t from = start + 9;
    const auto example = parseOriginPolicy(adml.substr(from, adml.find("\n\n", from) - from));
    EXPECT_TRUE(example.problems.empty());
    EXPECT_EQ(example.policy.size(), 3u);
}

TEST(OriginPolicyTest, printable_escapesWhatCouldForgeALogLine)
{
    EXPECT_EQ(server::printable("a\"b\\c\r\n[error] x\xff"), "a\\\"b\\\\c\\x0d\\x0a[error] x\\xff");
}

} // namespace
