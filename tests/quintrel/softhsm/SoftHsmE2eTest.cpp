// The whole road from a page to a token: the real service loads Quintrel,
// Quintrel loads the Kestova bridge beside the service, and the bridge hands
// it SoftHSM2 with two tokens made for this test. Every answer is compared
// with what OpenSSL reads from the same certificate files. The tokens are
// walked in their own order, so records are compared as multisets.

#include "harness/Answers.h"
#include "harness/ServiceProcess.h"
#include "harness/Shell.h"
#include "harness/WsClient.h"

#include <p11-kit/pkcs11.h>

#include <dlfcn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

using harness::ServiceOptions;
using harness::ServiceProcess;
using harness::WsClient;

namespace {

using Bytes = std::vector<unsigned char>;
using Records = std::multiset<std::string>;

// Two tokens; together they hold every certificate the checks below need.
const char* const kTokenA = "Token A:rsa-cjk,ec-p256,serial-00,escaped";
const char* const kTokenB = "Token B:no-cn,large,person,no-ku";
const std::vector<std::string> kKinds = {"rsa-cjk", "ec-p256", "serial-00", "escaped",
                                         "no-cn", "large", "person", "no-ku"};

using harness::runCommand;
using harness::shellQuote;

Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string hex(const unsigned char* data, std::size_t length)
{
    std::string text;
    char digits[3];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", data[i]);
        text += digits;
    }
    return text;
}

// Reads one DER header at pos; returns the content length and moves pos to
// the content.
std::size_t derHeader(const Bytes& der, std::size_t& pos, unsigned char expectedTag)
{
    if (pos + 2 > der.size() || der[pos] != expectedTag) {
        throw std::runtime_error("unexpected DER tag");
    }
    ++pos;
    std::size_t length = der[pos++];
    if (length & 0x80) {
        const std::size_t octets = length & 0x7f;
        length = 0;
        for (std::size_t i = 0; i < octets; ++i) {
            length = (length << 8) | der[pos++];
        }
    }
    return length;
}

// The serialNumber INTEGER's content octets exactly as encoded, a leading
// 0x00 included, which OpenSSL's ASN1_INTEGER would strip.
std::string serialAsEncoded(const Bytes& der)
{
    std::size_t pos = 0;
    derHeader(der, pos, 0x30);                 // Certificate
    derHeader(der, pos, 0x30);                 // TBSCertificate
    if (der.at(pos) == 0xa0) {                 // [0] version
        pos += derHeader(der, pos, 0xa0);
    }
    const std::size_t length = derHeader(der, pos, 0x02);
    return hex(der.data() + pos, length);
}

std::string base64Lines(const Bytes& data)
{
    std::string flat(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&flat[0]), data.data(), static_cast<int>(data.size()));
    flat.resize(static_cast<std::size_t>(n));
    // Lines of 64 characters, each ending in a line feed; a text whose
    // length is a multiple of 64 gets one more, empty line.
    std::string lines;
    for (std::size_t p = 0; p <= flat.size(); p += 64) {
        lines += flat.substr(p, 64) + "\n";
    }
    return lines;
}

std::string utcDate(const ASN1_TIME* time)
{
    std::tm tm{};
    if (ASN1_TIME_to_tm(time, &tm) != 1) {
        throw std::runtime_error("unreadable certificate time");
    }
    return std::to_string(tm.tm_year + 1900) + "-" + std::to_string(tm.tm_mon + 1) + "-" + std::to_string(tm.tm_mday);
}

// The key a page gets: an RSA modulus without sign octet, or an EC point.
Bytes publicKeyBytes(X509* certificate)
{
    EVP_PKEY* key = X509_get0_pubkey(certificate);
    Bytes bytes;
    if (EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA) {
        BIGNUM* modulus = nullptr;
        EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &modulus);
        bytes.resize(static_cast<std::size_t>(BN_num_bytes(modulus)));
        BN_bn2bin(modulus, bytes.data());
        BN_free(modulus);
    } else {
        std::size_t length = 0;
        EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, nullptr, 0, &length);
        bytes.resize(length);
        EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, bytes.data(), length, &length);
    }
    return bytes;
}

struct Expected {
    Records names, certs, notAfter, notBefore, keys;
};

std::vector<std::string> recordList(const std::string& text)
{
    std::vector<std::string> records;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find(';', start)) != std::string::npos; start = end + 1) {
        records.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "text does not end with ';': " << text;
    return records;
}

Records splitRecords(const std::string& text)
{
    const auto list = recordList(text);
    return Records(list.begin(), list.end());
}

std::string compactJson(const rapidjson::Value& value)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

// The objects of a JSON array text, each written compactly with its members
// in their order; a failure when the text is not an array of objects.
std::vector<std::string> arrayObjects(const std::string& text)
{
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    std::vector<std::string> objects;
    if (document.HasParseError() || !document.IsArray()) {
        ADD_FAILURE() << "not a JSON array: " << text;
        return objects;
    }
    for (const auto& element : document.GetArray()) {
        EXPECT_TRUE(element.IsObject()) << text;
        objects.push_back(compactJson(element));
    }
    return objects;
}

// One object to create on a token: a certificate of the given type whose
// value is `value`. SoftHSM2 takes X.509 and OpenPGP ones.
struct TokenObject {
    CK_CERTIFICATE_TYPE type;
    Bytes value;
};

// Creates the objects on the token labelled `label` through SoftHSM2's own
// module, logged in as the user, in the order given. pkcs11-tool refuses a
// certificate it cannot parse, so the test writes them itself.
void createObjects(const std::string& label, const std::string& pin, const std::vector<TokenObject>& objects)
{
    void* module = ::dlopen(CORVANE_SOFTHSM_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << ::dlerror();
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(module, "C_GetFunctionList"));
    ASSERT_NE(getList, nullptr);
    CK_FUNCTION_LIST_PTR p11 = nullptr;
    ASSERT_EQ(getList(&p11), CKR_OK);
    ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    CK_ULONG count = 0;
    ASSERT_EQ(p11->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    std::vector<CK_SLOT_ID> slots(count);
    ASSERT_EQ(p11->C_GetSlotList(CK_TRUE, slots.data(), &count), CKR_OK);
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    for (CK_ULONG i = 0; i < count && session == CK_INVALID_HANDLE; ++i) {
        CK_TOKEN_INFO info{};
        if (p11->C_GetTokenInfo(slots[i], &info) == CKR_OK &&
            std::string(reinterpret_cast<const char*>(info.label), sizeof info.label).rfind(label, 0) == 0) {
            ASSERT_EQ(p11->C_OpenSession(slots[i], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
                      CKR_OK);
        }
    }
    ASSERT_NE(session, CK_INVALID_HANDLE) << "no token " << label;
    std::string pinText = pin;
    ASSERT_EQ(p11->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pinText.data()), pinText.size()),
              CKR_OK);
    for (const TokenObject& object : objects) {
        CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
        CK_CERTIFICATE_TYPE type = object.type;
        CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
        Bytes value = object.value;
        unsigned char subject[] = {0x30, 0x00};
        CK_ATTRIBUTE attributes[] = {
            {CKA_CLASS, &certificateClass, sizeof certificateClass},
            {CKA_CERTIFICATE_TYPE, &type, sizeof type},
            {CKA_TOKEN, &yes, sizeof yes},
            {CKA_PRIVATE, &no, sizeof no},
            {CKA_VALUE, value.data(), value.size()},
            {CKA_SUBJECT, subject, sizeof subject},
        };
        CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
        ASSERT_EQ(p11->C_CreateObject(session, attributes, std::size(attributes), &handle), CKR_OK)
            << "object " << (&object - objects.data());
    }
    p11->C_CloseSession(session);
    p11->C_Finalize(nullptr);
    ::dlclose(module);
}

class SoftHsmTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/corvane-softhsm-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        s_directory = pattern;
        const std::string command = shellQuote(CORVANE_PROVISION_SCRIPT) + " " + shellQuote(s_directory) + " " +
                                    shellQuote(kTokenA) + " " + shellQuote(kTokenB) + " >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        s_expected = expectationsFromFiles();
    }

    static void TearDownTestSuite()
    {
        if (std::getenv("CORVANE_TEST_KEEP_DIRS") == nullptr && !s_directory.empty()) {
            std::error_code ignored; // a leftover temporary directory fails no test
            std::filesystem::remove_all(s_directory, ignored);
        }
    }

    static Expected expectationsFromFiles()
    {
        Expected expected;
        for (const auto& kind : kKinds) {
            const Bytes der = readFile(s_directory + "/certs/" + kind + ".der");
            const unsigned char* p = der.data();
            std::unique_ptr<X509, decltype(&X509_free)> certificate(
                d2i_X509(nullptr, &p, static_cast<long>(der.size())), X509_free);
            if (!certificate) {
                throw std::runtime_error("cannot decode " + kind);
            }
            const std::string serial = serialAsEncoded(der);
            char name[256] = {};
            X509_NAME_get_text_by_NID(X509_get_subject_name(certificate.get()), NID_commonName, name, sizeof name);
            // A ";" inside a name splits it, as it does for a page.
            for (const auto& piece : splitRecords(std::string(name) + ";")) {
                expected.names.insert(piece);
            }
            expected.certs.insert(serial + ":" + base64Lines(der));
            expected.notAfter.insert(serial + ":" + utcDate(X509_get0_notAfter(certificate.get())));
            expected.notBefore.insert(serial + ":" + utcDate(X509_get0_notBefore(certificate.get())));
            expected.keys.insert(serial + ":" + base64Lines(publicKeyBytes(certificate.get())));
        }
        return expected;
    }

    ServiceOptions options(const std::string& bridgeTarget) const
    {
        ServiceOptions result;
        result.files[CORVANE_QUINTREL] = "Quintrel.so";
        result.files[CORVANE_BRIDGE] = "libKestova.so";
        result.environment["KESTOVA_BRIDGE_MODULE"] = bridgeTarget;
        result.environment["SOFTHSM2_CONF"] = s_directory + "/softhsm2.conf";
        result.environment["KESTOVA_BRIDGE_ATTRIBUTE_LOG"] = attributeLog();
        // Nine hours ahead of UTC: both validity instants fall on the next
        // local day, so a conversion to local time would show.
        result.environment["TZ"] = "JST-9";
        return result;
    }

    // The "Response" of one call, after a check of MsgId and Result.
    static std::string call(WsClient& client, const std::string& method)
    {
        const std::string answer = client.request("{\"MsgId\":\"m\",\"Method\":\"" + method + "\",\"Param\":\"{}\"}");
        rapidjson::Document document;
        document.Parse(answer.c_str(), answer.size());
        if (document.HasParseError() || !document.IsObject() || !document["Response"].IsString()) {
            ADD_FAILURE() << "not an answer: " << answer;
            return {};
        }
        EXPECT_STREQ(document["MsgId"].GetString(), "m");
        EXPECT_TRUE(document["Result"].GetBool()) << answer;
        return std::string(document["Response"].GetString(), document["Response"].GetStringLength());
    }

    static void loadQuintrel(WsClient& client)
    {
        ASSERT_EQ(client.request(harness::loadRequest("Quintrel")), harness::kLoadSuccess);
    }

    // What GetCertInfo must list, one compact object per certificate, as
    // Python's cryptography package reads the certificate files.
    static Records expectedCertificateInfo()
    {
        std::string command = "python3 " + shellQuote(CORVANE_EXPECTED_CERT_INFO);
        for (const char* token : {kTokenA, kTokenB}) {
            const std::string entry(token);
            const std::string label = entry.substr(0, entry.find(':'));
            std::size_t start = entry.find(':') + 1;
            for (std::size_t end; start <= entry.size(); start = end + 1) {
                end = entry.find(',', start);
                end = end == std::string::npos ? entry.size() : end;
                command += " " + shellQuote(label + ":" + s_directory + "/certs/" + entry.substr(start, end - start) + ".der");
            }
        }
        Records expected;
        const std::string lines = runCommand(command);
        for (std::size_t start = 0, end; (end = lines.find('\n', start)) != std::string::npos; start = end + 1) {
            rapidjson::Document line;
            line.Parse(lines.c_str() + start, end - start);
            if (line.HasParseError()) {
                throw std::runtime_error("unreadable expectation: " + lines.substr(start, end - start));
            }
            expected.insert(compactJson(line));
        }
        return expected;
    }

    static std::string attributeLog() { return s_directory + "/attribute-reads.log"; }

    // The bridge's attribute reads since the last count.
    static std::size_t attributeReads()
    {
        std::ifstream in(attributeLog());
        std::size_t lines = 0;
        for (std::string line; std::getline(in, line);) {
            ++lines;
        }
        std::filesystem::remove(attributeLog());
        return lines;
    }

    static std::string s_directory;
    static Expected s_expected;
};

std::string SoftHsmTest::s_directory;
Expected SoftHsmTest::s_expected;

TEST_F(SoftHsmTest, fixture_certificatesCoverTheAwkwardCases)
{
    const Bytes large = readFile(s_directory + "/certs/large.der");
    EXPECT_GT(large.size(), 3u * 1024u);
    EXPECT_EQ(serialAsEncoded(readFile(s_directory + "/certs/serial-00.der")), "008f0102030405");
    EXPECT_EQ(s_expected.names.count("\xe7\x8e\x8b\xe5\xb0\x8f\xe6\x98\x8e"), 1u);
    EXPECT_EQ(s_expected.names.count(""), 1u);
    EXPECT_EQ(s_expected.notAfter.count("11223344:2030-12-31"), 1u);
    EXPECT_EQ(s_expected.notBefore.count("21324354:2025-3-4"), 1u);
}

TEST_F(SoftHsmTest, allFiveMethods_returnOneRecordPerCertificateOfBothTokens)
{
    ServiceProcess service(options(CORVANE_SOFTHSM_MODULE));
    WsClient client;
    client.connect();
    loadQuintrel(client);

    EXPECT_EQ(splitRecords(call(client, "Quintrel")), s_expected.names);
    // The certificate over 3 KiB comes back whole, not as an empty field.
    EXPECT_EQ(splitRecords(call(client, "GetCert")), s_expected.certs);
    EXPECT_EQ(splitRecords(call(client, "GetCertNotAfter")), s_expected.notAfter);
    EXPECT_EQ(splitRecords(call(client, "GetCertNotBefore")), s_expected.notBefore);
    EXPECT_EQ(splitRecords(call(client, "GetCertPubKey")), s_expected.keys);
}

TEST_F(SoftHsmTest, getCertInfo_listsEveryCertificateInWalkOrderAsCryptographyReadsIt)
{
    const Records expected = expectedCertificateInfo();
    ASSERT_EQ(expected.size(), kKinds.size());
    ServiceProcess service(options(CORVANE_SOFTHSM_MODULE));
    WsClient client;
    client.connect();
    loadQuintrel(client);
    attributeReads();

    const std::vector<std::string> objects = arrayObjects(call(client, "GetCertInfo"));
    EXPECT_EQ(Records(objects.begin(), objects.end()), expected);
    // On a slow token each read is what users wait for: one per certificate,
    // the one over 3 KiB included.
    EXPECT_EQ(attributeReads(), kKinds.size());

    // The same walk as the record methods: the same certificates in the same order.
    std::vector<std::string> serials;
    for (const auto& object : objects) {
        rapidjson::Document document;
        document.Parse(object.c_str());
        serials.push_back(document["serial"].GetString());
    }
    std::vector<std::string> recordSerials;
    for (const auto& record : recordList(call(client, "GetCertNotAfter"))) {
        recordSerials.push_back(record.substr(0, record.find(':')));
    }
    EXPECT_EQ(serials, recordSerials);
}

// Valid certificates between objects that do not decode: GetCertInfo lists
// every valid one, whatever order the token keeps them in.
TEST_F(SoftHsmTest, getCertInfo_listsEveryCertificateAroundObjectsThatDoNotDecode)
{
    char pattern[] = "/tmp/corvane-softhsm-bad-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string directory = pattern;
    std::filesystem::create_directories(directory + "/tokens");
    {
        std::ofstream conf(directory + "/softhsm2.conf");
        conf << "directories.tokendir = " << directory << "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n";
    }
    const std::string environment = "SOFTHSM2_CONF=" + shellQuote(directory + "/softhsm2.conf") + " ";
    ASSERT_EQ(std::system((environment + "softhsm2-util --init-token --free --label 'Token C' --pin 123456 "
                                         "--so-pin 12345678 >/dev/null").c_str()),
              0);
    ::setenv("SOFTHSM2_CONF", (directory + "/softhsm2.conf").c_str(), 1);
    const std::vector<std::string> good = {"rsa-cjk", "ec-p256", "serial-00", "no-ku"};
    const auto der = [](const std::string& kind) { return readFile(s_directory + "/certs/" + kind + ".der"); };
    Bytes cut = der("ec-p256");
    cut.pop_back();
    Bytes trailing = der("ec-p256");
    trailing.push_back(0x00);
    createObjects("Token C", "123456",
                  {{CKC_X_509, Bytes{0x30, 0x03, 0x02, 0x01, 0x05}}, {CKC_X_509, der(good[0])},
                   {CKC_X_509, cut}, {CKC_X_509, der(good[1])}, {CKC_OPENPGP, der("person")},
                   {CKC_X_509, der(good[2])}, {CKC_X_509, trailing}, {CKC_X_509, Bytes{'n', 'o'}},
                   {CKC_X_509, der(good[3])}, {CKC_X_509, Bytes(9000, 0x30)}});
    ::unsetenv("SOFTHSM2_CONF");
    ASSERT_FALSE(HasFatalFailure());

    std::string command = "python3 " + shellQuote(CORVANE_EXPECTED_CERT_INFO);
    for (const auto& kind : good) {
        command += " " + shellQuote("Token C:" + s_directory + "/certs/" + kind + ".der");
    }
    Records expected;
    const std::string lines = runCommand(command);
    for (std::size_t start = 0, end; (end = lines.find('\n', start)) != std::string::npos; start = end + 1) {
        rapidjson::Document line;
        line.Parse(lines.c_str() + start, end - start);
        ASSERT_FALSE(line.HasParseError());
        expected.insert(compactJson(line));
    }
    ASSERT_EQ(expected.size(), good.size());

    ServiceOptions withBadObjects = options(CORVANE_SOFTHSM_MODULE);
    withBadObjects.environment["SOFTHSM2_CONF"] = directory + "/softhsm2.conf";
    ServiceProcess service(withBadObjects);
    WsClient client;
    client.connect();
    loadQuintrel(client);
    attributeReads();
    const std::vector<std::string> objects = arrayObjects(call(client, "GetCertInfo"));
    EXPECT_EQ(Records(objects.begin(), objects.end()), expected);
    // Every X.509 object was read, whichever order SoftHSM2 keeps them in:
    // one read each, three for the one over 8 KiB; the OpenPGP one is not
    // searched for.
    EXPECT_EQ(attributeReads(), 8u + 3u);
    if (std::getenv("CORVANE_TEST_KEEP_DIRS") == nullptr) {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
}

TEST_F(SoftHsmTest, secondConnection_seesTheSameTokensAgain)
{
    ServiceProcess service(options(CORVANE_SOFTHSM_MODULE));
    {
        WsClient first;
        first.connect();
        loadQuintrel(first);
        EXPECT_EQ(splitRecords(call(first, "GetCertNotAfter")), s_expected.notAfter);
        first.close();
    }
    // The plug-in is loaded anew, the bridge and SoftHSM stay initialized.
    WsClient second;
    second.connect();
    loadQuintrel(second);
    EXPECT_EQ(splitRecords(call(second, "Quintrel")), s_expected.names);
}

TEST_F(SoftHsmTest, bridgeTargetMissing_givesEmptyTextsAndNamesTheModuleOnStderr)
{
    const std::string missing = s_directory + "/no-such-module.so";
    ServiceProcess service(options(missing));
    WsClient client;
    client.connect();
    loadQuintrel(client);
    for (const char* method : {"Quintrel", "GetCert", "GetCertNotAfter", "GetCertNotBefore", "GetCertPubKey"}) {
        EXPECT_EQ(call(client, method), "") << method;
    }
    EXPECT_EQ(call(client, "GetCertInfo"), "[]");
    client.close();
    service.terminate();
    service.waitExit(std::chrono::milliseconds(5000));
    EXPECT_NE(service.standardError().find("libKestova: cannot use PKCS#11 module " + missing), std::string::npos)
        << service.standardError();
}

} // namespace
