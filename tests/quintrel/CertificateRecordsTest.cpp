#include "CertificateRecords.h"
#include "harness/TestCertificates.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>

namespace {

Bytes sequentialBytes(std::size_t count)
{
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<unsigned char>(i * 7 + 3);
    }
    return bytes;
}

std::string encodeWithRoom(const Bytes& data, unsigned room, int& rc, unsigned& capacity)
{
    std::string buffer(room, '\0');
    capacity = room;
    rc = Base64Encode(data.data(), static_cast<unsigned>(data.size()), buffer.data(), &capacity);
    return buffer.c_str();
}

unsigned neededSize(std::size_t length)
{
    unsigned capacity = 0;
    const Bytes data(length, 0x5a);
    const int rc = Base64Encode(data.data(), static_cast<unsigned>(length), nullptr, &capacity);
    EXPECT_EQ(rc, static_cast<int>(capacity));
    return capacity;
}

} // namespace

TEST(Base64Encode, rfc4648VectorsEncodeWithOneLineFeed)
{
    const std::pair<const char*, const char*> vectors[] = {
        { "f", "Zg==" }, { "fo", "Zm8=" }, { "foo", "Zm9v" }, { "foobar", "Zm9vYmFy" },
    };
    for (const auto& [plain, encoded] : vectors) {
        const Bytes data(plain, plain + std::strlen(plain));
        int rc = 0;
        unsigned capacity = 0;
        EXPECT_EQ(encodeWithRoom(data, 64, rc, capacity), std::string(encoded) + "\n");
        EXPECT_EQ(rc, static_cast<int>(std::strlen(encoded)));
        EXPECT_EQ(capacity, std::strlen(encoded) + 4);
    }
}

TEST(Base64Encode, emptyInputGivesSingleLineFeed)
{
    int rc = -2;
    unsigned capacity = 0;
    EXPECT_EQ(encodeWithRoom({}, 16, rc, capacity), "\n");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(capacity, 3u);
}

TEST(Base64Encode, lengthsMatchOpenSslLineLayout)
{
    for (const std::size_t length : { 1u, 2u, 48u, 49u, 1200u }) {
        const Bytes data = sequentialBytes(length);
        int rc = 0;
        unsigned capacity = 0;
        const std::string text = encodeWithRoom(data, 4096, rc, capacity);
        EXPECT_EQ(text, wrappedBase64(data)) << length;
        EXPECT_EQ(rc, static_cast<int>(4 * ((length + 2) / 3))) << length;
    }
    // 48 bytes fill exactly one line: 64 characters then two line feeds.
    int rc = 0;
    unsigned capacity = 0;
    const std::string text = encodeWithRoom(sequentialBytes(48), 128, rc, capacity);
    EXPECT_EQ(text.size(), 66u);
    EXPECT_EQ(text.substr(64), "\n\n");
    EXPECT_EQ(capacity, 68u);
    // 1,200 bytes: 25 full lines and one more line feed.
    const std::string large = encodeWithRoom(sequentialBytes(1200), 4096, rc, capacity);
    EXPECT_EQ(large.size(), 1600u + 26u);
    EXPECT_EQ(large.substr(large.size() - 2), "\n\n");
}

TEST(Base64Encode, roomBelowNeededSizeRefusesAndWritesNothing)
{
    const Bytes data = sequentialBytes(100);
    const unsigned needed = neededSize(100);
    ASSERT_EQ(needed, 136u + 2u + 4u);

    std::string buffer(needed, 'x');
    buffer[0] = '\0';
    unsigned capacity = needed - 1;
    EXPECT_EQ(Base64Encode(data.data(), 100, buffer.data(), &capacity), -1);
    EXPECT_EQ(capacity, needed - 1);
    EXPECT_EQ(buffer.substr(1), std::string(needed - 1, 'x'));

    int rc = 0;
    EXPECT_EQ(encodeWithRoom(data, needed, rc, capacity), wrappedBase64(data));
    EXPECT_EQ(rc, 136);
}

TEST(Base64Encode, nullOutputOrZeroRoomOnlyReportsNeededSize)
{
    const Bytes data = sequentialBytes(3);
    char buffer[8] = "keep";
    unsigned capacity = 0;
    EXPECT_EQ(Base64Encode(data.data(), 3, buffer, &capacity), 8);
    EXPECT_EQ(capacity, 8u);
    EXPECT_STREQ(buffer, "keep");
    capacity = 100;
    EXPECT_EQ(Base64Encode(data.data(), 3, nullptr, &capacity), 8);
    EXPECT_EQ(capacity, 8u);
}

TEST(Base64Encode, appendsAfterExistingTextAndCountsItAgainstRoom)
{
    const Bytes data = sequentialBytes(3);   // needs 8
    std::string buffer(10, '\0');
    std::memcpy(buffer.data(), "ab", 2);
    unsigned capacity = 10;
    EXPECT_EQ(Base64Encode(data.data(), 3, buffer.data(), &capacity), 4);
    EXPECT_EQ(std::string(buffer.c_str()), "ab" + wrappedBase64(data));

    std::string tight(9, '\0');
    std::memcpy(tight.data(), "abc", 3);
    capacity = 9;
    EXPECT_EQ(Base64Encode(data.data(), 3, tight.data(), &capacity), -1);
    EXPECT_STREQ(tight.c_str(), "abc");
}

TEST(Base64Encode, fixedBufferBoundariesOfCertificateAndKey)
{
    EXPECT_EQ(neededSize(3021), 4094u);
    EXPECT_GT(neededSize(3022), 4096u);
    EXPECT_EQ(neededSize(753), 1023u);
    EXPECT_GT(neededSize(754), 1024u);
}

TEST(CertificateFields, serialIsLowerCaseHexOfEveryOctet)
{
    EXPECT_EQ(serialText({ 0x00, 0x8f, 0x01 }), "008f01");
    EXPECT_EQ(serialText({}), "");
    std::string expected;
    for (int i = 0; i < 40; ++i) {
        expected += "ab";
    }
    EXPECT_EQ(serialText(Bytes(40, 0xab)), expected);
}

TEST(CertificateFields, dateHasNoLeadingZerosAndZerosOnFailure)
{
    EXPECT_EQ(dateText({ 2027, 3, 5 }), "2027-3-5");
    EXPECT_EQ(dateText({ 2030, 12, 31 }), "2030-12-31");
    EXPECT_EQ(dateText({}), "0-0-0");
}

TEST(PublicKeyBytes, rsaModulusLosesItsSignOctet)
{
    const PkeyPtr key = rsaKey();
    const TestCertificate certificate = makeCertificate(recipeFor(KeyKind::Rsa2048), key.get());
    const auto decoded = decodeCertificate(certificate.der.data(), certificate.der.size());
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->publicKey[0], 0x30);

    const auto bytes = publicKeyBytes(*decoded);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(bytes->size(), 256u);
    EXPECT_EQ(*bytes, rsaModulus(key.get()));
    const std::string text = base64Text(bytes->data(), bytes->size());
    EXPECT_EQ(text.size(), 344u + 6u);   // five lines of 64, one of 24
}

TEST(PublicKeyBytes, ecPointIsTakenWhole)
{
    const PkeyPtr key = ecKey();
    const Bytes point = ecPoint(key.get());
    ASSERT_EQ(point.size(), 65u);
    const auto bytes = publicKeyBytes(point, false);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, point);
    EXPECT_EQ(base64Text(bytes->data(), bytes->size()), wrappedBase64(point));
}

TEST(PublicKeyBytes, shortAndLongLengthFormsAreRead)
{
    EXPECT_EQ(publicKeyBytes({ 0x30, 0x06, 0x02, 0x02, 0x00, 0x9c, 0x02, 0x01 }, true), Bytes { 0x9c });
    EXPECT_EQ(publicKeyBytes({ 0x30, 0x81, 0x05, 0x02, 0x81, 0x02, 0x11, 0x22 }, true), (Bytes { 0x11, 0x22 }));
    EXPECT_EQ(publicKeyBytes({ 0x30, 0x82, 0x00, 0x05, 0x02, 0x82, 0x00, 0x01, 0x33 }, true), Bytes { 0x33 });
}

TEST(PublicKeyBytes, headersRunningPastTheKeyAreRejected)
{
    const Bytes cases[] = {
        { 0x30 },                                  // no length octet
        { 0x30, 0x84, 0x00, 0x00 },                // length octets past the end
        { 0x30, 0x03 },                            // nothing after the header
        { 0x30, 0x03, 0x02 },                      // INTEGER without length
        { 0x30, 0x05, 0x02, 0x05, 0x01 },          // content past the end
        { 0x30, 0x05, 0x02, 0x82, 0x01 },          // two-octet length cut
        { 0x30, 0x05, 0x02, 0x81, 0xff, 0x01 },    // long length past the end
        { 0x30, 0x03, 0x04, 0x01, 0x00 },          // SEQUENCE holding no INTEGER
    };
    for (const Bytes& key : cases) {
        EXPECT_FALSE(publicKeyBytes(key, true)) << key.size();
        // Only an RSA key is parsed: any other key is taken whole.
        EXPECT_EQ(publicKeyBytes(key, false), key) << key.size();
    }
}

// One key in 256 starts with the SEQUENCE tag; read as an RSAPublicKey it
// would empty GetCertPubKey's whole answer.
TEST(PublicKeyBytes, ed25519KeyStartingWithSequenceTagIsTakenWhole)
{
    const TestCertificate certificate = makeCertificate(recipeFor(KeyKind::Ed25519Sequence, "ed"));
    const Bytes raw = ed25519Raw(certificate.key.get());
    ASSERT_EQ(raw[0], 0x30);
    const auto decoded = decodeCertificate(certificate.der.data(), certificate.der.size());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->keyAlgorithm, "1.3.101.112");
    EXPECT_EQ(decoded->publicKey, raw);

    std::string text;
    EXPECT_EQ(appendPublicKey(*decoded, text), WalkStep::Continue);
    EXPECT_EQ(text, "01:" + wrappedBase64(raw) + ";");
    text.clear();
    appendCertificateInfo("T", *decoded, text);
    std::string flat = wrappedBase64(raw);
    flat.erase(flat.find('\n'));
    EXPECT_NE(text.find("\"publicKey\":\"" + flat + "\""), std::string::npos) << text;
}

TEST(RecordProducers, bigCertificateAndKeyAreEncodedWhole)
{
    DecodedCertificate certificate;
    certificate.serial = { 0x0a };
    certificate.der = sequentialBytes(3022);
    certificate.publicKey = sequentialBytes(800);
    certificate.publicKey[0] = 0x04;

    std::string text;
    appendCertificate(certificate, text);
    EXPECT_EQ(text, "0a:" + wrappedBase64(certificate.der) + ";");

    text.clear();
    EXPECT_EQ(appendPublicKey(certificate, text), WalkStep::Continue);
    EXPECT_EQ(text, "0a:" + wrappedBase64(certificate.publicKey) + ";");
}

TEST(RecordProducers, recordsEndInSemicolon)
{
    DecodedCertificate certificate;
    certificate.serial = { 0x00, 0x8f, 0x01 };
    certificate.notBefore = { 2027, 3, 5 };
    certificate.notAfter = { 2030, 12, 31 };
    certificate.publicKey = { 0x30, 0x03, 0x04, 0x01, 0x00 };
    certificate.keyAlgorithm = kRsaEncryptionOid;

    std::string text;
    appendCommonName(certificate, text);
    EXPECT_EQ(text, ";");
    appendNotBefore(certificate, text);
    appendNotAfter(certificate, text);
    EXPECT_EQ(text, ";008f01:2027-3-5;008f01:2030-12-31;");
    EXPECT_EQ(appendPublicKey(certificate, text), WalkStep::Abandon);
}

TEST(CertificateInfo, namesAreEscapedAndUnnamedOrNonTextValuesWrittenAsHex)
{
    const DistinguishedName name = {
        { { "2.5.4.6", { 0x13, 0x02, 'E', 'E' }, std::string("EE") } },
        { { "2.5.4.3", {}, std::string("a\0b ", 4) }, { "2.5.4.3", { 0x04, 0x01, 0xff }, std::nullopt } },
        { { "2.5.4.3", {}, std::string(" ") }, { "2.5.4.5", { 0x13, 0x01, '7' }, std::string("7") } },
    };
    EXPECT_EQ(rfc4514Text(name), "CN=\\ +2.5.4.5=#130137,CN=a\\00b\\ +2.5.4.3=#0401ff,C=EE");
    EXPECT_EQ(instantText(CivilDate { 2027, 3, 5, 7, 8, 9 }), "2027-03-05T07:08:09Z");
}
