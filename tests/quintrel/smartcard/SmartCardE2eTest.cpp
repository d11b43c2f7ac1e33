// A card inserted and removed while a page stays connected, on the real
// smart-card stack: pcscd with the virtual reader driver, OpenSC's PKCS#11
// module reached through p11-kit's proxy, the Kestova bridge, Quintrel and
// the service. Only the card is emulated (pkcs15-card.py); inserting it is
// starting the emulator, removing it is killing it. run-with-pcscd.sh gives
// the test its own pcscd in private namespaces.

#include "harness/Answers.h"
#include "harness/ChildProcess.h"
#include "harness/ServiceProcess.h"
#include "harness/Shell.h"
#include "harness/TestCertificates.h"
#include "harness/WsClient.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

using harness::ServiceOptions;
using harness::ServiceProcess;
using harness::WsClient;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
using Records = std::multiset<std::string>;

const char* const kLabel = "Corvane Card";
// A card seen later than this after its insertion or removal fails the test.
constexpr auto kNoticeLimit = 10s;
// One GetCertInfo answer slower than this counts as a hang.
constexpr auto kCallLimit = 10s;

using harness::runCommand;
using harness::shellQuote;

std::string compactJson(const rapidjson::Value& value)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

Records arrayObjects(const std::string& text)
{
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    Records objects;
    if (document.HasParseError() || !document.IsArray()) {
        ADD_FAILURE() << "not a JSON array: " << text;
        return objects;
    }
    for (const auto& element : document.GetArray()) {
        objects.insert(compactJson(element));
    }
    return objects;
}

double seconds(Clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

class SmartCardTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string pattern = (fs::temp_directory_path() / "corvane-smartcard-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        s_directory = pattern;
        CertificateRecipe rsa = recipeFor(KeyKind::Rsa2048, "\xe7\x8e\x8b\xe5\xb0\x8f\xe6\x98\x8e");
        rsa.serial = {0x00, 0x8f, 0x01};
        rsa.keyUsage = "critical,digitalSignature,nonRepudiation";
        CertificateRecipe ec = recipeFor(KeyKind::EcP256, "Card Holder");
        ec.serial = {0x42};
        ec.issuerCommonName = "Card Issuer";
        int n = 0;
        for (const CertificateRecipe& recipe : {rsa, ec}) {
            const std::string file = s_directory + "/card-" + std::to_string(++n) + ".der";
            writeBytes(file, makeCertificate(recipe).der);
            s_certificates.push_back(file);
        }
        // OpenSC reads an unknown card as PKCS#15 only with its default
        // driver, which it leaves off unless told.
        std::ofstream(s_directory + "/opensc.conf") << "app default {\n  enable_default_driver = true;\n}\n";
        // p11-kit's proxy also loads SoftHSM2, registered on this machine:
        // an empty token store of our own keeps its tokens out.
        fs::create_directories(s_directory + "/softhsm");
        std::ofstream(s_directory + "/softhsm2.conf") << "directories.tokendir = " << s_directory
                                                      << "/softhsm\nobjectstore.backend = file\nlog.level = ERROR\n";
        fs::create_directories(s_directory + "/home");

        std::string command = "python3 " + shellQuote(CORVANE_EXPECTED_CERT_INFO);
        for (const std::string& file : s_certificates) {
            command += " " + shellQuote(std::string(kLabel) + ":" + file);
        }
        const std::string lines = runCommand(command);
        for (std::size_t start = 0, end; (end = lines.find('\n', start)) != std::string::npos; start = end + 1) {
            rapidjson::Document line;
            line.Parse(lines.c_str() + start, end - start);
            ASSERT_FALSE(line.HasParseError()) << lines;
            s_expected.insert(compactJson(line));
        }
        ASSERT_EQ(s_expected.size(), s_certificates.size());
    }

    static void TearDownTestSuite()
    {
        if (std::getenv("CORVANE_TEST_KEEP_DIRS") == nullptr && !s_directory.empty()) {
            std::error_code ignored;
            fs::remove_all(s_directory, ignored);
        }
    }

    void TearDown() override { removeCard(); }

    // What the service and the doctor get: the bridge's default target (the
    // proxy), OpenSC told to read the card, no user configuration of p11-kit.
    static std::map<std::string, std::string> stackEnvironment()
    {
        return {{"OPENSC_CONF", s_directory + "/opensc.conf"},
                {"SOFTHSM2_CONF", s_directory + "/softhsm2.conf"},
                {"HOME", s_directory + "/home"},
                {"XDG_CONFIG_HOME", s_directory + "/home/.config"}};
    }

    void insertCard()
    {
        ASSERT_LT(m_card, 0) << "the card is in already";
        harness::ChildSpec card;
        card.argv = {"/usr/bin/python3", CORVANE_CARD_EMULATOR, "--label", kLabel};
        card.argv.insert(card.argv.end(), s_certificates.begin(), s_certificates.end());
        card.outputPath = s_directory + "/card.out";
        card.errorPath = s_directory + "/card.err";
        m_card = harness::startChild(card);
    }

    void removeCard()
    {
        if (m_card > 0) {
            harness::killChild(m_card);
            m_card = -1;
        }
    }

    static std::string getCertInfo(WsClient& client)
    {
        const auto start = Clock::now();
        const std::string answer =
            client.request(R"({"MsgId":"i","Method":"GetCertInfo","Param":"{}"})", kCallLimit);
        s_slowestCall = std::max(s_slowestCall, Clock::now() - start);
        EXPECT_LT(Clock::now() - start, kCallLimit);
        rapidjson::Document document;
        document.Parse(answer.c_str(), answer.size());
        if (document.HasParseError() || !document.IsObject() || !document.HasMember("Response") ||
            !document["Response"].IsString()) {
            ADD_FAILURE() << "not an answer: " << answer;
            return {};
        }
        return document["Response"].GetString();
    }

    // Asks GetCertInfo until its objects are `wanted`; false when they are
    // not within kNoticeLimit. `took` is the time until they were.
    static bool waitForObjects(WsClient& client, const Records& wanted, Clock::duration& took, Records& last)
    {
        const auto start = Clock::now();
        do {
            last = arrayObjects(getCertInfo(client));
            if (last == wanted) {
                took = Clock::now() - start;
                return true;
            }
            std::this_thread::sleep_for(100ms);
        } while (Clock::now() - start < kNoticeLimit);
        return false;
    }

    static std::string s_directory;
    static std::vector<std::string> s_certificates;
    static Records s_expected;
    static Clock::duration s_slowestCall;
    pid_t m_card = -1;
};

std::string SmartCardTest::s_directory;
std::vector<std::string> SmartCardTest::s_certificates;
Records SmartCardTest::s_expected;
Clock::duration SmartCardTest::s_slowestCall {};

TEST_F(SmartCardTest, cardInsertedAndRemovedOnOneConnection_isListedAndGoneWithoutARestart)
{
    ServiceOptions options;
    options.files[CORVANE_QUINTREL] = "Quintrel.so";
    options.files[CORVANE_BRIDGE] = "libKestova.so";
    options.environment = stackEnvironment();
    ServiceProcess service(options);
    WsClient client;
    client.connect();
    ASSERT_EQ(client.request(harness::loadRequest("Quintrel")), harness::kLoadSuccess);

    EXPECT_EQ(getCertInfo(client), "[]");
    const Records none;
    Records last;
    Clock::duration took {};
    for (const char* round : {"first", "second"}) {
        SCOPED_TRACE(round);
        insertCard();
        ASSERT_TRUE(waitForObjects(client, s_expected, took, last))
            << "not listed within " << kNoticeLimit.count() << " s; last answer has " << last.size()
            << " objects; the emulator said: " << runCommand("cat " + shellQuote(s_directory + "/card.err"));
        std::cout << "card inserted (" << round << "): listed after " << seconds(took) << " s\n";

        removeCard();
        ASSERT_TRUE(waitForObjects(client, none, took, last)) << "still listed after removal: " << last.size();
        std::cout << "card removed (" << round << "): [] after " << seconds(took) << " s\n";
    }
    std::cout << "slowest GetCertInfo: " << seconds(s_slowestCall) << " s\n";
}

TEST_F(SmartCardTest, doctor_namesTheReaderTheTokenAndItsCertificates)
{
    const fs::path directory = s_directory + "/doctor";
    fs::create_directories(directory);
    fs::copy_file(CORVANE_DOCTOR, directory / "corvane-doctor", fs::copy_options::overwrite_existing);
    fs::copy_file(CORVANE_QUINTREL, directory / "Quintrel.so", fs::copy_options::overwrite_existing);
    fs::copy_file(CORVANE_BRIDGE, directory / "libKestova.so", fs::copy_options::overwrite_existing);
    insertCard();

    std::string command = "cd " + shellQuote(directory.string()) + " && env XDG_RUNTIME_DIR=" +
                          shellQuote(directory.string());
    for (const auto& [name, value] : stackEnvironment()) {
        command += " " + name + "=" + shellQuote(value);
    }
    command += " ./corvane-doctor --json";
    // The card may take a moment to be read after its insertion, and the
    // doctor lists the slots before it walks the certificates: a report
    // counts only once both parts have seen the card.
    rapidjson::Document report;
    std::string output;
    bool reader = false, token = false;
    const auto start = Clock::now();
    do {
        output = harness::captureCommand(command).output;
        report.Parse(output.c_str());
        ASSERT_FALSE(report.HasParseError() || !report.IsObject()) << output;
        reader = token = false;
        for (const auto& finding : report["findings"].GetArray()) {
            const std::string text = finding["text"].GetString();
            reader = reader || (text.find("\"Virtual PCD 00 00\"") != std::string::npos &&
                                text.find("token present") != std::string::npos);
            token = token || (std::string(finding["status"].GetString()) == "ok" &&
                              text.find("token \"" + std::string(kLabel) + "\"") != std::string::npos);
        }
        if (reader && token && report["certificates"].GetArray().Size() == s_certificates.size()) {
            break;
        }
        std::this_thread::sleep_for(200ms);
    } while (Clock::now() - start < kNoticeLimit);

    EXPECT_TRUE(reader) << output;
    EXPECT_TRUE(token) << output;
    std::multiset<std::string> names;
    for (const auto& found : report["certificates"].GetArray()) {
        EXPECT_STREQ(found["token"].GetString(), kLabel);
        names.insert(found["commonName"].GetString());
    }
    EXPECT_EQ(names, (std::multiset<std::string> {"\xe7\x8e\x8b\xe5\xb0\x8f\xe6\x98\x8e", "Card Holder"})) << output;
}

} // namespace
