// The Windows certificate decoder against OpenSSL's reading of the same
// DER files (written on the build machine by corvane_certificate_fixtures,
// into the directory named by CORVANE_TEST_CERT_FIXTURES).

#include "CertificateRecords.h"
#include "X509Certificate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

namespace {

struct Fixture {
    std::string name;
    Bytes der;
    std::map<std::string, std::string> fields; // empty when it must be rejected
};

std::string hex(const Bytes& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0x0f];
    }
    return text;
}

std::string hex(const std::string& text)
{
    return hex(Bytes(text.begin(), text.end()));
}

std::string date(const CivilDate& d)
{
    return std::to_string(d.year) + " " + std::to_string(d.month) + " " + std::to_string(d.day);
}

std::vector<Fixture> loadFixtures()
{
    const char* directory = std::getenv("CORVANE_TEST_CERT_FIXTURES");
    std::vector<Fixture> fixtures;
    if (directory == nullptr) {
        return fixtures;
    }
    for (const auto& entry : fs::directory_iterator(directory)) {
        if (entry.path().extension() != ".der") {
            continue;
        }
        Fixture fixture;
        fixture.name = entry.path().stem().string();
        std::ifstream der(entry.path(), std::ios::binary);
        fixture.der.assign(std::istreambuf_iterator<char>(der), std::istreambuf_iterator<char>());
        std::ifstream fields(fs::path(entry.path()).replace_extension(".fields"), std::ios::binary);
        std::string line;
        while (std::getline(fields, line)) {
            const auto blank = line.find(' ');
            if (blank != std::string::npos) {
                fixture.fields[line.substr(0, blank)] = line.substr(blank + 1);
            }
        }
        fixtures.push_back(std::move(fixture));
    }
    return fixtures;
}

class X509Fixtures : public ::testing::Test {
protected:
    void SetUp() override
    {
        fixtures = loadFixtures();
        ASSERT_GE(fixtures.size(), 10u) << "no fixtures: CORVANE_TEST_CERT_FIXTURES must name the directory that "
                                          "corvane_certificate_fixtures wrote (scripts/test-windows.sh does)";
    }

    std::vector<Fixture> fixtures;
};

// The info line is what the Linux build lists: GetCertInfo answers alike on both.
TEST_F(X509Fixtures, everyCertificateDecodesToOpenSslsReading)
{
    for (const Fixture& fixture : fixtures) {
        if (fixture.fields.empty()) {
            continue;
        }
        SCOPED_TRACE(fixture.name);
        const auto decoded = decodeCertificate(fixture.der.data(), fixture.der.size());
        ASSERT_TRUE(decoded);
        EXPECT_EQ(hex(decoded->serial), fixture.fields.at("serial"));
        EXPECT_EQ(date(decoded->notBefore), fixture.fields.at("notBefore"));
        EXPECT_EQ(date(decoded->notAfter), fixture.fields.at("notAfter"));
        EXPECT_EQ(hex(decoded->commonName), fixture.fields.at("commonName"));
        EXPECT_EQ(hex(decoded->publicKey), fixture.fields.at("publicKey"));
        EXPECT_EQ(decoded->keyAlgorithm, fixture.fields.at("keyAlgorithm"));
        std::string keyRecord;
        if (appendPublicKey(*decoded, keyRecord) != WalkStep::Continue) {
            keyRecord = "abandon";
        }
        std::replace(keyRecord.begin(), keyRecord.end(), '\n', '|');
        EXPECT_EQ(keyRecord, fixture.fields.at("publicKeyRecord"));
        EXPECT_EQ(decoded->der, fixture.der);
        std::string info;
        appendCertificateInfo("T", *decoded, info);
        EXPECT_EQ(info, fixture.fields.at("info"));
    }
}

TEST_F(X509Fixtures, bytesThatAreNotOneCertificateAreRejected)
{
    int rejected = 0;
    for (const Fixture& fixture : fixtures) {
        if (!fixture.fields.empty()) {
            continue;
        }
        SCOPED_TRACE(fixture.name);
        EXPECT_FALSE(decodeCertificate(fixture.der.data(), fixture.der.size()));
        ++rejected;
    }
    EXPECT_GE(rejected, 2);
}

} // namespace
