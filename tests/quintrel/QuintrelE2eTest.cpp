// Quintrel inside the real service, reading certificates from the fault
// module standing in for the token library. scripts/test-windows.sh runs
// this against Corvane.exe, Quintrel.dll and Kestova.dll under Wine, where
// the platform's certificate functions do the decoding; the native build
// runs it against its own service. Expected values come from OpenSSL's
// objects, never from the code under test.

#include "harness/ServiceProcess.h"
#include "harness/TestCertificates.h"
#include "harness/WsClient.h"

#include <rapidjson/document.h>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using harness::ServiceOptions;
using harness::ServiceProcess;
using harness::WsClient;

namespace {

struct Answer {
    std::string msgId;
    bool result = false;
    std::string response;
};

Answer parseAnswer(const std::string& json)
{
    rapidjson::Document document;
    document.Parse(json.c_str(), json.size());
    if (document.HasParseError() || !document.IsObject() || !document.HasMember("Response")) {
        throw std::runtime_error("not an answer: " + json);
    }
    return Answer { document["MsgId"].GetString(), document["Result"].GetBool(),
                    std::string(document["Response"].GetString(), document["Response"].GetStringLength()) };
}

const std::string kCjkName = "\xe5\xb1\xb1\xe7\x94\xb0\xe5\xa4\xaa"; // three CJK characters, nine bytes

// A first token holding, in this order: an RSA certificate whose serial is
// encoded with a leading 0x00 octet, an EC certificate with a CJK common
// name, and an EC certificate whose subject has no common name and whose
// end of validity is written as GeneralizedTime. A second token holds a
// certificate cut short, which must not decode, and a good one after it,
// which the ended search never reaches: that token adds no record.
class QuintrelOnToken : public ::testing::Test {
protected:
    void SetUp() override
    {
        CertificateRecipe rsa;
        rsa.key = KeyKind::Rsa2048;
        rsa.commonName = "Ada Example";
        rsa.serial = { 0x8f, 0x01, 0x02 };
        rsa.notBefore = "20270305000000Z";
        rsa.notAfter = "20301231160000Z";
        CertificateRecipe cjk;
        cjk.commonName = kCjkName;
        cjk.serial = { 0x2a };
        CertificateRecipe nameless;
        nameless.serial = { 0x7f, 0x00 };
        nameless.notBefore = "20240229120000Z";
        nameless.notAfter = "20510630120000Z";
        CertificateRecipe hidden;   // hidden from the record methods only
        hidden.commonName = "Behind Cut Short";
        for (const CertificateRecipe* wanted : { &rsa, &cjk, &nameless }) {
            certificates.push_back(makeCertificate(*wanted));
        }
        Bytes cutShort = certificates[0].der;
        cutShort.resize(cutShort.size() - 16);

        std::string pattern = (fs::temp_directory_path() / "corvane-token-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        tokenDirectory = pattern;
        std::ofstream config(tokenDirectory / "kestova.conf");
        config << "slot 1\n";
        auto addObject = [&](const std::string& name, const Bytes& value) {
            const fs::path file = tokenDirectory / name;
            writeBytes(file.string(), value);
            config << "object " << file.string() << "\n";
        };
        for (std::size_t i = 0; i < certificates.size(); ++i) {
            addObject("cert" + std::to_string(i) + ".der", certificates[i].der);
        }
        config << "slot 2\n";
        addObject("cut-short.der", cutShort);
        addObject("hidden.der", makeCertificate(hidden).der);
        config.close();

        ServiceOptions options;
        options.files[harness::environmentOr("CORVANE_TEST_QUINTREL", CORVANE_TEST_DEFAULT_QUINTREL)] =
            ServiceProcess::moduleFileName("Quintrel");
        options.files[harness::environmentOr("CORVANE_TEST_KESTOVA", CORVANE_TEST_DEFAULT_KESTOVA)] = "";
        options.environment["KESTOVA_FAKE_CONFIG"] = (tokenDirectory / "kestova.conf").string();
        // East of UTC+7, where 2030-12-31T16:00Z is already the next day.
        options.environment["TZ"] = "Asia/Shanghai";
        service = std::make_unique<ServiceProcess>(options);
        client.connect();
        const Answer loaded = parseAnswer(client.request("{\"MsgId\":\"1\",\"Module\":\"Quintrel\"}"));
        ASSERT_TRUE(loaded.result) << loaded.response;
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(tokenDirectory, ignored);
    }

    std::string call(const std::string& method)
    {
        const Answer answer = parseAnswer(client.request("{\"MsgId\":\"m\",\"Method\":\"" + method + "\",\"Param\":\"{}\"}"));
        EXPECT_EQ(answer.msgId, "m");
        EXPECT_TRUE(answer.result) << method;
        return answer.response;
    }

    std::vector<TestCertificate> certificates;
    fs::path tokenDirectory;
    std::unique_ptr<ServiceProcess> service;
    WsClient client;
};

TEST_F(QuintrelOnToken, commonNames_areUtf8AndANamelessSubjectGivesAnEmptyRecord)
{
    const std::string names = call("Quintrel");
    EXPECT_EQ(names, "Ada Example;" + kCjkName + ";;");
}

TEST_F(QuintrelOnToken, validityDates_areUtcCalendarDatesAfterTheEncodedSerial)
{
    EXPECT_EQ(call("GetCertNotBefore"), "008f0102:2027-3-5;2a:2025-1-1;7f00:2024-2-29;");
    EXPECT_EQ(call("GetCertNotAfter"), "008f0102:2030-12-31;2a:2030-1-1;7f00:2051-6-30;");
}

TEST_F(QuintrelOnToken, getCert_givesEachDerAsWrappedBase64)
{
    EXPECT_EQ(call("GetCert"), "008f0102:" + wrappedBase64(certificates[0].der) + ";2a:" +
                                   wrappedBase64(certificates[1].der) + ";7f00:" + wrappedBase64(certificates[2].der) +
                                   ";");
}

TEST_F(QuintrelOnToken, getCertPubKey_givesTheRsaModulusWithoutSignOctetAndTheWholeEcPoint)
{
    const Bytes modulus = rsaModulus(certificates[0].key.get());
    ASSERT_EQ(modulus.size(), 256u);
    const Bytes point = ecPoint(certificates[1].key.get());
    ASSERT_EQ(point.size(), 65u);
    EXPECT_EQ(call("GetCertPubKey"), "008f0102:" + wrappedBase64(modulus) + ";2a:" + wrappedBase64(point) + ";7f00:" +
                                         wrappedBase64(ecPoint(certificates[2].key.get())) + ";");
}

TEST_F(QuintrelOnToken, getCertInfo_listsTheSameCertificatesInOneAnswer)
{
    rapidjson::Document list;
    const std::string text = call("GetCertInfo");
    list.Parse(text.c_str(), text.size());
    ASSERT_TRUE(list.IsArray()) << text;
    // The record methods stop at the second token's cut-short object;
    // GetCertInfo passes over it and lists the certificate behind it.
    ASSERT_EQ(list.Size(), 4u) << text;
    const auto member = [&list](rapidjson::SizeType i, const char* name) { return std::string(list[i][name].GetString()); };
    EXPECT_EQ(member(0, "token"), "Fake token");
    EXPECT_EQ(member(0, "serial"), "008f0102");
    EXPECT_EQ(member(0, "subject"), "CN=Ada Example,O=Test Org");
    EXPECT_EQ(member(0, "notAfter"), "2030-12-31T16:00:00Z");
    EXPECT_EQ(member(1, "commonName"), kCjkName);
    EXPECT_EQ(member(2, "subject"), "O=Test Org");
    EXPECT_EQ(member(2, "notAfter"), "2051-06-30T12:00:00Z");
    EXPECT_TRUE(list[2]["keyUsage"].IsArray() && list[2]["keyUsage"].Empty());
    EXPECT_EQ(member(3, "commonName"), "Behind Cut Short");
    std::string flat = wrappedBase64(ecPoint(certificates[1].key.get()));
    flat.erase(std::remove(flat.begin(), flat.end(), '\n'), flat.end());
    EXPECT_EQ(member(1, "publicKey"), flat);
}

} // namespace
