// Quintrel's Invoke, loaded through the platform loader, against the fake
// token library. CTest runs this program three times, with the fake's
// directory (or none) on the library search path; the token library stays
// loaded for the process, so each variant needs its own process. The fake
// re-reads its configuration on every C_GetFunctionList, which every call
// of Invoke triggers once, so the scenarios within one process are
// independent.

#include "harness/TestCertificates.h"

#include "platform/modules/Modules.h"
#include "plugin/CorvanePlugin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct CallResult {
    int rc = 0;
    bool written = false;
    std::string text;
};

char g_untouched[] = "untouched";

class QuintrelFault : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::uint32_t error = 0;
        s_module = platform::loadModule(QUINTREL_MODULE_PATH, error);
        ASSERT_NE(s_module, nullptr) << "cannot load " << QUINTREL_MODULE_PATH << ", error " << error;
        s_invoke = reinterpret_cast<CorvaneInvokeFn>(platform::findSymbol(s_module, CORVANE_PLUGIN_ENTRY_NAME));
        ASSERT_NE(s_invoke, nullptr);
    }

    void SetUp() override
    {
        ASSERT_NE(s_invoke, nullptr);
        const char* config = std::getenv("KESTOVA_FAKE_CONFIG");
        ASSERT_NE(config, nullptr) << "KESTOVA_FAKE_CONFIG must name the fake's configuration file";
        m_configPath = config;
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_directory = m_configPath.parent_path() / info->name();
        fs::remove_all(m_directory);
        fs::create_directories(m_directory);
        m_logPath = m_directory / "calls.log";
        configure("");
    }

    // Slots and objects for the fake; the log line is added here.
    void configure(const std::string& body)
    {
        std::ofstream out(m_configPath, std::ios::trunc);
        out << "log " << m_logPath.string() << "\n" << body;
        ASSERT_TRUE(static_cast<bool>(out));
        fs::remove(m_logPath);
    }

    std::string object(const Bytes& value)
    {
        const fs::path path = m_directory / ("object" + std::to_string(m_objects++) + ".der");
        writeBytes(path.string(), value);
        return "object " + path.string() + "\n";
    }

    CallResult call(const char* method, const char* param = "{}")
    {
        fs::remove(m_logPath);
        char* result = g_untouched;
        CallResult outcome;
        outcome.rc = s_invoke(method, param, &result);
        outcome.written = result != g_untouched;
        if (outcome.written && result != nullptr) {
            outcome.text = result;
            delete[] result;
        }
        return outcome;
    }

    std::string text(const char* method)
    {
        const CallResult outcome = call(method);
        EXPECT_EQ(outcome.rc, 0) << method;
        EXPECT_TRUE(outcome.written) << method;
        return outcome.text;
    }

    std::vector<std::string> loggedCalls() const
    {
        std::vector<std::string> calls;
        std::ifstream in(m_logPath);
        for (std::string line; std::getline(in, line);) {
            calls.push_back(line);
        }
        return calls;
    }

    static platform::ModuleHandle s_module;
    static CorvaneInvokeFn s_invoke;

    fs::path m_configPath;
    fs::path m_directory;
    fs::path m_logPath;
    int m_objects = 0;
};

platform::ModuleHandle QuintrelFault::s_module = nullptr;
CorvaneInvokeFn QuintrelFault::s_invoke = nullptr;

const char* const kMethods[] = { "Quintrel", "GetCert", "GetCertNotAfter", "GetCertNotBefore", "GetCertPubKey" };

Bytes certificateNamed(const std::string& name)
{
    return makeCertificate(recipeFor(KeyKind::EcP256, name)).der;
}

} // namespace

TEST_F(QuintrelFault, oneTokenOneCertificate_followsTheDocumentedCallSequence)
{
    configure("slot 1\n" + object(certificateNamed("alpha")));

    EXPECT_EQ(text("Quintrel"), "alpha;");
    const std::vector<std::string> expected = {
        "C_GetFunctionList", "Kv_GetAuxFunctionList", "C_Initialize",
        "C_GetSlotList", "C_GetSlotList", "C_GetTokenInfo",
        "C_GetSlotList", "C_GetSlotList",
        "C_OpenSession", "C_FindObjectsInit",
        "C_FindObjects", "C_GetAttributeValue", "C_GetAttributeValue",
        "C_FindObjects", "C_CloseSession",
    };
    EXPECT_EQ(loggedCalls(), expected);

    // GetCertInfo's own walk: the slots listed once, the handles fetched
    // before the values, one read per value.
    EXPECT_NE(text("GetCertInfo").find("\"token\":\"Fake token\""), std::string::npos);
    EXPECT_EQ(loggedCalls(), (std::vector<std::string> {
        "C_GetFunctionList", "Kv_GetAuxFunctionList", "C_Initialize",
        "C_GetSlotList", "C_GetSlotList", "C_GetTokenInfo",
        "C_OpenSession", "C_FindObjectsInit", "C_FindObjects", "C_FindObjects", "C_FindObjectsFinal",
        "C_GetAttributeValue", "C_CloseSession",
    }));
}

TEST_F(QuintrelFault, getCertInfo_readsEachValueOnceAndFetchesHandlesInBatches)
{
    std::string body = "slot 1\n";
    for (int i = 0; i < 70; ++i) {
        body += object(certificateNamed("c" + std::to_string(i)));
    }
    configure(body + "slot 2\n" + object(certificateNamed("other")));
    const std::string info = text("GetCertInfo");
    EXPECT_NE(info.find("\"commonName\":\"c69\""), std::string::npos) << info.substr(0, 200);
    EXPECT_NE(info.find("\"commonName\":\"other\""), std::string::npos) << info.substr(0, 200);
    const std::vector<std::string> calls = loggedCalls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "C_GetAttributeValue"), 71);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "C_GetSlotList"), 2);
    // 64 and 6 handles, then none; the second token: 1, then none.
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "C_FindObjects"), 5);
}

TEST_F(QuintrelFault, getCertInfo_passesOverWhatCannotBeReadAndListsEveryX509Certificate)
{
    CertificateRecipe bigRecipe = recipeFor(KeyKind::EcP256, "big");
    bigRecipe.commentLength = 9000;
    const Bytes big = makeCertificate(bigRecipe).der;
    ASSERT_GT(big.size(), 8192u);
    configure("slot 1\n" + object(certificateNamed("first")) + object(Bytes { 0x30, 0x03, 0x02, 0x01, 0x05 })
              + "object-attribute " + m_directory.string() + "/attribute.der\n" + "object-huge\n" + object(big)
              + object(certificateNamed("last")) + "slot 2\n" + object(certificateNamed("other")));
    // An X.509 certificate filed as an attribute certificate: never searched for.
    writeBytes((m_directory / "attribute.der").string(), certificateNamed("attribute"));

    const std::string info = text("GetCertInfo");
    std::vector<std::string> names;
    for (std::size_t at = 0; (at = info.find("\"commonName\":\"", at)) != std::string::npos;) {
        at += 14;
        names.push_back(info.substr(at, info.find('"', at) - at));
    }
    EXPECT_EQ(names, (std::vector<std::string> { "first", "big", "last", "other" })) << info.substr(0, 300);
    // One read each, two for the absurd length (refused after the size),
    // three for the certificate over the first buffer.
    const std::vector<std::string> calls = loggedCalls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "C_GetAttributeValue"), 1 + 1 + 2 + 3 + 1 + 1);

    // The record methods still end the token's search at the first bad object.
    EXPECT_EQ(text("Quintrel"), "first;other;");
}

TEST_F(QuintrelFault, twoCertificates_everyMethodGivesOneRecordEach)
{
    CertificateRecipe rsaRecipe;
    rsaRecipe.key = KeyKind::Rsa2048;
    rsaRecipe.commonName = "\xe5\xb1\xb1\xe7\x94\xb0\xe5\xa4\xaa";
    rsaRecipe.serial = { 0x8f, 0x01 };
    rsaRecipe.notBefore = "20270305000000Z";
    rsaRecipe.notAfter = "20301231160000Z";
    const TestCertificate rsa = makeCertificate(rsaRecipe);
    CertificateRecipe ecRecipe;
    ecRecipe.serial = { 0x02 };
    ecRecipe.commentLength = 3200;   // a certificate of more than 3,021 bytes
    const TestCertificate ec = makeCertificate(ecRecipe);
    ASSERT_GT(ec.der.size(), 3022u);
    configure("slot 7\n" + object(rsa.der) + object(ec.der));

    EXPECT_EQ(text("Quintrel"), rsaRecipe.commonName + ";;");
    EXPECT_EQ(text("GetCert"), "008f01:" + wrappedBase64(rsa.der) + ";02:" + wrappedBase64(ec.der) + ";");
    EXPECT_EQ(text("GetCertNotAfter"), "008f01:2030-12-31;02:2030-1-1;");
    EXPECT_EQ(text("GetCertNotBefore"), "008f01:2027-3-5;02:2025-1-1;");
    EXPECT_EQ(text("GetCertPubKey"), "008f01:" + wrappedBase64(rsaModulus(rsa.key.get())) + ";02:"
                                         + wrappedBase64(ecPoint(ec.key.get())) + ";");
}

TEST_F(QuintrelFault, initializeAnsweringAlreadyInitialized_countsAsSuccess)
{
    configure("initialize already\nslot 1\n" + object(certificateNamed("beta")));
    EXPECT_EQ(text("Quintrel"), "beta;");
}

TEST_F(QuintrelFault, initializeFailing_givesEmptyTextWithoutListingSlots)
{
    configure("initialize fail\nslot 1\n" + object(certificateNamed("beta")));
    EXPECT_EQ(text("Quintrel"), "");
    EXPECT_EQ(loggedCalls(), (std::vector<std::string> { "C_GetFunctionList", "Kv_GetAuxFunctionList", "C_Initialize" }));
}

TEST_F(QuintrelFault, noTokenOrNoCertificate_givesEmptyText)
{
    configure("slot 1 no-token\n" + object(certificateNamed("hidden")) + "slot 2 no-token\n");
    for (const char* method : kMethods) {
        EXPECT_EQ(text(method), "") << method;
    }
    configure("slot 1\n");
    EXPECT_EQ(text("GetCert"), "");
}

TEST_F(QuintrelFault, tokenInfoFailingForFirstSlot_visitsOnlyTheFirstSlot)
{
    configure("slot 1 token-info-fails\n" + object(certificateNamed("first")) + "slot 2\n"
              + object(certificateNamed("second")));
    EXPECT_EQ(text("Quintrel"), "first;");
}

TEST_F(QuintrelFault, openSessionFailingOnSecondToken_dropsEarlierRecords)
{
    configure("slot 1\n" + object(certificateNamed("first")) + "slot 2 open-session-fails\n"
              + object(certificateNamed("second")));
    EXPECT_EQ(text("Quintrel"), "");
    const std::vector<std::string> calls = loggedCalls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], "C_CloseSession");
    EXPECT_EQ(calls.back(), "C_OpenSession");
    EXPECT_EQ(text("GetCertInfo"), "[]");
}

TEST_F(QuintrelFault, cardTakenOutBeforeItsSessionOpens_getCertInfoListsTheOtherTokens)
{
    configure("slot 1 removed-at-open\n" + object(certificateNamed("gone")) + "slot 2\n"
              + object(certificateNamed("stays")));
    const std::string listed = text("GetCertInfo");
    EXPECT_NE(listed.find("\"commonName\":\"stays\""), std::string::npos) << listed;
    EXPECT_EQ(listed.find("\"commonName\":\"gone\""), std::string::npos) << listed;
    EXPECT_EQ(text("Quintrel"), "");
}

TEST_F(QuintrelFault, undecodableObjectBetweenCertificates_endsThatTokensSearch)
{
    configure("slot 1\n" + object(certificateNamed("first")) + object(Bytes { 0x30, 0x03, 0x02, 0x01, 0x05 })
              + object(certificateNamed("third")) + "slot 2\n" + object(certificateNamed("other")));
    EXPECT_EQ(text("Quintrel"), "first;other;");
}

TEST_F(QuintrelFault, handleLeftUnchangedWhenExhausted_searchStillEnds)
{
    configure("exhausted keep-handle\nslot 1\n" + object(certificateNamed("one")) + object(certificateNamed("two")));
    EXPECT_EQ(text("Quintrel"), "one;two;");
}

TEST_F(QuintrelFault, absurdValueLength_endsTheSearchWithoutReadingTheValue)
{
    configure("slot 1\n" + object(certificateNamed("before")) + "object-huge\n" + object(certificateNamed("after")));
    EXPECT_EQ(text("Quintrel"), "before;");
    const std::vector<std::string> calls = loggedCalls();
    ASSERT_GE(calls.size(), 3u);
    // Two reads for the first certificate, only the size query for the other.
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "C_GetAttributeValue"), 3);
    EXPECT_EQ(calls[calls.size() - 2], "C_GetAttributeValue");
    EXPECT_EQ(calls.back(), "C_CloseSession");
}

TEST_F(QuintrelFault, publicKeySequenceWithoutInteger_emptiesTheWholeText)
{
    const Bytes odd = makeCertificate(recipeFor(KeyKind::SequenceWithoutInteger, "odd")).der;
    configure("slot 1\n" + object(certificateNamed("good")) + object(odd) + "slot 2\n"
              + object(certificateNamed("later")));

    EXPECT_EQ(text("GetCertPubKey"), "");
    const std::vector<std::string> calls = loggedCalls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], "C_FindObjectsFinal");
    EXPECT_EQ(calls.back(), "C_CloseSession");
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "C_OpenSession"), 1);

    // The certificate itself is fine for every other method.
    EXPECT_EQ(text("Quintrel"), "good;odd;later;");
    // GetCertInfo still lists it, with an empty key, and goes on.
    const std::string info = text("GetCertInfo");
    const std::size_t oddObject = info.find("\"commonName\":\"odd\",\"subject\":\"CN=odd,O=Test Org\"");
    const std::size_t emptyKey = info.find("\"publicKey\":\"\"");
    const std::size_t later = info.find("\"commonName\":\"later\"");
    ASSERT_NE(later, std::string::npos) << info;
    EXPECT_LT(oddObject, emptyKey) << info;
    EXPECT_LT(emptyKey, later) << info;
}

// A hostile library: counts beyond what it can have written are never believed.
TEST_F(QuintrelFault, getCertInfo_libraryOverclaimingCounts_readsNothingItClaims)
{
    configure("lie found-count\nslot 1\n" + object(certificateNamed("one")) + object(certificateNamed("two")));
    // A batch claiming more handles than it can hold ends the search.
    EXPECT_EQ(text("GetCertInfo"), "[]");
    const std::vector<std::string> calls = loggedCalls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "C_GetAttributeValue"), 0);
    EXPECT_EQ(calls.back(), "C_CloseSession");

    configure("lie value-length\nslot 1\n" + object(certificateNamed("one")));
    EXPECT_EQ(text("GetCertInfo"), "[]");
}

// A search that never ends is cut off: GetCertInfo answers.
TEST_F(QuintrelFault, getCertInfo_searchThatNeverEnds_stopsAtItsBound)
{
    configure("exhausted never\nslot 1\n" + object(certificateNamed("again")));
    const std::string listed = text("GetCertInfo");
    EXPECT_EQ(std::count(listed.begin(), listed.end(), '{'), 4096);
}

TEST_F(QuintrelFault, ed25519KeyStartingWithSequenceTag_isTakenWholeAndTheOthersStay)
{
    const TestCertificate ed = makeCertificate(recipeFor(KeyKind::Ed25519Sequence, "ed"));
    configure("slot 1\n" + object(certificateNamed("good")) + object(ed.der) + "slot 2\n"
              + object(certificateNamed("later")));
    const std::string text = this->text("GetCertPubKey");
    EXPECT_NE(text.find(";01:" + wrappedBase64(ed25519Raw(ed.key.get())) + ";"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), ';'), 3) << text;
}

TEST_F(QuintrelFault, nullParam_runsTheMethod)
{
    configure("slot 1\n" + object(certificateNamed("gamma")));
    const CallResult outcome = call("Quintrel", nullptr);
    EXPECT_EQ(outcome.rc, 0);
    EXPECT_EQ(outcome.text, "gamma;");
}

TEST_F(QuintrelFault, paramNotExactlyOneJsonValue_returnsMinusOneAndLeavesResult)
{
    configure("slot 1\n" + object(certificateNamed("gamma")));
    const std::string unterminatedDeep(100000, '[');
    for (const std::string& param : { std::string(), std::string(" \t\r\n"), std::string("{} {}"),
                                      std::string("{\"a\":1"), std::string("[1,]"), std::string("{}/**/"),
                                      unterminatedDeep }) {
        const CallResult outcome = call("Quintrel", param.c_str());
        EXPECT_EQ(outcome.rc, -1) << param.substr(0, 10);
        EXPECT_FALSE(outcome.written) << param.substr(0, 10);
    }
    EXPECT_TRUE(loggedCalls().empty());
}

TEST_F(QuintrelFault, paramAnyOneJsonValue_isAcceptedAndIgnored)
{
    configure("slot 1\n" + object(certificateNamed("gamma")));
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    for (const std::string& param : { std::string("{}"), std::string(" [1, 2]\n"), std::string("42"),
                                      std::string("\t\"text\""), std::string("true"), std::string("false"),
                                      std::string("null"), deep }) {
        const CallResult outcome = call("Quintrel", param.c_str());
        EXPECT_EQ(outcome.rc, 0) << param.substr(0, 10);
        EXPECT_EQ(outcome.text, "gamma;") << param.substr(0, 10);
    }
}

TEST_F(QuintrelFault, unknownMethod_returnsZeroAndLeavesResult)
{
    configure("slot 1\n" + object(certificateNamed("gamma")));
    for (const char* method : { "quintrel", "GetCert ", "GetCer", "GetCertPubKeyX", "getcert" }) {
        const CallResult outcome = call(method);
        EXPECT_EQ(outcome.rc, 0) << method;
        EXPECT_FALSE(outcome.written) << method;
    }
    EXPECT_TRUE(loggedCalls().empty());
}

TEST_F(QuintrelFault, withoutAuxiliaryExport_givesEmptyText)
{
    std::uint32_t error = 0;
    const platform::ModuleHandle fake = platform::loadModule(TOKEN_LIBRARY_NAME, error);
    ASSERT_NE(fake, nullptr) << "the fake without the vendor export must be reachable";
    ASSERT_NE(platform::findSymbol(fake, "C_GetFunctionList"), nullptr);
    ASSERT_EQ(platform::findSymbol(fake, "Kv_GetAuxFunctionList"), nullptr);

    configure("slot 1\n" + object(certificateNamed("unseen")));
    for (const char* method : kMethods) {
        EXPECT_EQ(text(method), "") << method;
    }
    EXPECT_TRUE(loggedCalls().empty());
}

TEST_F(QuintrelFault, missingLibrary_everyMethodGivesEmptyText)
{
    std::uint32_t error = 0;
    ASSERT_EQ(platform::loadModule(TOKEN_LIBRARY_NAME, error), nullptr) << "no token library may be reachable";

    for (const char* method : kMethods) {
        EXPECT_EQ(text(method), "") << method;
    }
}
