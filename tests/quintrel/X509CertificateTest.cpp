#include "X509Certificate.h"
#include "harness/TestCertificates.h"

#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <ctime>

namespace {

std::optional<DecodedCertificate> decode(const Bytes& der)
{
    return decodeCertificate(der.data(), der.size());
}

// The RSAPublicKey as OpenSSL encodes it for this key.
Bytes rsaPublicKeyDer(EVP_PKEY* key)
{
    unsigned char* der = nullptr;
    const int length = i2d_PublicKey(key, &der);
    Bytes bytes(der, der + (length > 0 ? length : 0));
    OPENSSL_free(der);
    return bytes;
}

} // namespace

TEST(DecodeCertificate, rsaCertificateWithCjkNameYieldsEveryField)
{
    CertificateRecipe recipe;
    recipe.key = KeyKind::Rsa2048;
    recipe.commonName = "\xe5\xb1\xb1\xe7\x94\xb0\xe5\xa4\xaa";   // three CJK characters
    recipe.serial = { 0x12, 0x34 };
    recipe.notBefore = "20270305000000Z";
    recipe.notAfter = "20301231160000Z";
    const TestCertificate certificate = makeCertificate(recipe);

    const auto decoded = decode(certificate.der);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->commonName, recipe.commonName);
    EXPECT_EQ(decoded->commonName.size(), 9u);
    EXPECT_EQ(decoded->serial, (Bytes { 0x12, 0x34 }));
    EXPECT_EQ(decoded->notBefore.year, 2027);
    EXPECT_EQ(decoded->notBefore.month, 3);
    EXPECT_EQ(decoded->notBefore.day, 5);
    EXPECT_EQ(decoded->publicKey, rsaPublicKeyDer(certificate.key.get()));
    EXPECT_EQ(decoded->der, certificate.der);
}

// The test runs with TZ set to UTC+8 (see CMakeLists.txt), where this
// instant is already 1 January 2031.
TEST(DecodeCertificate, validityIsReadInUtcWhateverTheLocalZone)
{
    const std::time_t instant = 1924963200;   // 2030-12-31T16:00:00Z
    const std::tm* local = std::localtime(&instant);
    ASSERT_NE(local, nullptr);
    ASSERT_EQ(local->tm_mday, 1) << "the test needs a zone east of UTC+7 (TZ)";

    CertificateRecipe recipe;
    recipe.notAfter = "20301231160000Z";
    const auto decoded = decode(makeCertificate(recipe).der);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->notAfter.year, 2030);
    EXPECT_EQ(decoded->notAfter.month, 12);
    EXPECT_EQ(decoded->notAfter.day, 31);
}

TEST(DecodeCertificate, generalizedTimeAfter2049IsRead)
{
    CertificateRecipe recipe;
    recipe.notAfter = "20510704120000Z";
    const auto decoded = decode(makeCertificate(recipe).der);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->notAfter.year, 2051);
    EXPECT_EQ(decoded->notAfter.month, 7);
    EXPECT_EQ(decoded->notAfter.day, 4);
}

TEST(DecodeCertificate, ecKeyIsTheUncompressedPoint)
{
    const TestCertificate certificate = makeCertificate(recipeFor(KeyKind::EcP256, "ec"));
    const auto decoded = decode(certificate.der);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->publicKey, ecPoint(certificate.key.get()));
    EXPECT_EQ(decoded->publicKey.size(), 65u);
    EXPECT_EQ(decoded->publicKey[0], 0x04);
}

TEST(DecodeCertificate, subjectWithoutCommonNameGivesEmptyName)
{
    const auto decoded = decode(makeCertificate(recipeFor(KeyKind::EcP256, "")).der);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->commonName, "");
}

TEST(DecodeCertificate, serialKeepsItsLeadingZeroOctet)
{
    CertificateRecipe recipe;
    recipe.serial = { 0x8f, 0x01 };   // encoded as 00 8f 01 to stay positive
    const auto decoded = decode(makeCertificate(recipe).der);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->serial, (Bytes { 0x00, 0x8f, 0x01 }));
}

TEST(DecodeCertificate, longSerialAndLongNameAreTakenWhole)
{
    CertificateRecipe recipe;
    recipe.serial = Bytes(40, 0x5c);
    recipe.commonName = std::string(150, 'n');
    const auto decoded = decode(makeCertificate(recipe).der);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->serial, Bytes(40, 0x5c));
    EXPECT_EQ(decoded->commonName, recipe.commonName);
}

TEST(DecodeCertificate, certificateOverThreeKilobytesDecodes)
{
    CertificateRecipe recipe;
    recipe.commentLength = 3200;
    const TestCertificate certificate = makeCertificate(recipe);
    ASSERT_GT(certificate.der.size(), 3072u);
    const auto decoded = decode(certificate.der);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->der, certificate.der);
}

TEST(DecodeCertificate, keyThatIsNoIntegerSequenceStillDecodes)
{
    const auto decoded = decode(makeCertificate(recipeFor(KeyKind::SequenceWithoutInteger, "odd")).der);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->publicKey, (Bytes { 0x30, 0x03, 0x04, 0x01, 0x00 }));
}

TEST(DecodeCertificate, bytesThatAreNotOneCertificateAreRejected)
{
    const Bytes der = makeCertificate(CertificateRecipe()).der;
    EXPECT_FALSE(decode(Bytes(der.begin(), der.end() - 1)));
    Bytes trailing = der;
    trailing.push_back(0x00);
    EXPECT_FALSE(decode(trailing));
    EXPECT_FALSE(decode({ 0x30, 0x03, 0x02, 0x01, 0x01 }));
    EXPECT_FALSE(decodeCertificate(der.data(), 0));
}
