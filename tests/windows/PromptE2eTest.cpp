// Sign and Authenticate through Corvane.exe's own PIN dialog under Wine, on
// a virtual display: corvane_prompt_driver.exe finds the dialog, reports
// what it shows and fills it in with window messages. The fake token checks
// the PIN and logs every call.

#include "harness/E2eTest.h"
#include "harness/TestCertificates.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <rapidjson/document.h>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>

namespace fs = std::filesystem;
using namespace e2e;

namespace {

std::string fileText(const fs::path& path)
{
    std::ifstream in(path);
    std::string text(std::istreambuf_iterator<char>(in), {});
    // What the token library wrote under Windows has CR LF line ends.
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

Bytes sha256(const Bytes& data)
{
    Bytes digest(32);
    EVP_Digest(data.data(), data.size(), digest.data(), nullptr, EVP_sha256(), nullptr);
    return digest;
}

Bytes concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The fake token signs nothing: what a real one returns for CKM_RSA_PKCS
// over the data Corvane.exe handed it is made here with the test's key,
// and OpenSSL checks it as a SHA-256 signature over `digest`.
bool tokenSignatureVerifies(EVP_PKEY* key, const Bytes& input, const Bytes& digest)
{
    EVP_PKEY_CTX* sign = EVP_PKEY_CTX_new(key, nullptr);
    std::size_t length = 0;
    bool ok = sign != nullptr && EVP_PKEY_sign_init(sign) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(sign, RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_sign(sign, nullptr, &length, input.data(), input.size()) == 1;
    Bytes signature(length);
    ok = ok && EVP_PKEY_sign(sign, signature.data(), &length, input.data(), input.size()) == 1;
    EVP_PKEY_CTX_free(sign);
    EVP_PKEY_CTX* verify = ok ? EVP_PKEY_CTX_new(key, nullptr) : nullptr;
    ok = verify != nullptr && EVP_PKEY_verify_init(verify) == 1 &&
         EVP_PKEY_CTX_set_rsa_padding(verify, RSA_PKCS1_PADDING) == 1 &&
         EVP_PKEY_CTX_set_signature_md(verify, EVP_sha256()) == 1 &&
         EVP_PKEY_verify(verify, signature.data(), length, digest.data(), digest.size()) == 1;
    EVP_PKEY_CTX_free(verify);
    return ok;
}

class WindowsPrompt : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (harness::environmentOr("CORVANE_TEST_LAUNCHER").empty() ||
            harness::environmentOr("CORVANE_TEST_PROMPT_DRIVER").empty()) {
            GTEST_SKIP() << "drives Corvane.exe's dialog under Wine: run by ctest -L wine (scripts/test-windows.sh)";
        }
        std::string pattern = (fs::temp_directory_path() / "corvane-prompt-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        directory = pattern;
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(directory, ignored);
    }

    void start(const std::string& commonName, unsigned long flags = 0)
    {
        CertificateRecipe recipe = recipeFor(KeyKind::Rsa2048, commonName);
        recipe.keyUsage = "critical,digitalSignature";
        certificate = makeCertificate(recipe);
        writeBytes((directory / "cert.der").string(), certificate.der);
        std::ofstream(directory / "kestova.conf")
            << "log " << (directory / "calls").string() << "\nsign-input " << (directory / "signed").string()
            << "\npin 1234\nslot 1\ntoken-flags " << std::hex << flags
            << "\nobject " << (directory / "cert.der").string() << "\nobject-id 01\nprivate-key 01 "
            << hex(rsaModulus(certificate.key.get())) << "\n";
        ServiceOptions options;
        options.files[harness::environmentOr("CORVANE_TEST_QUINTREL")] = ServiceProcess::moduleFileName("Quintrel");
        options.files[harness::environmentOr("CORVANE_TEST_KESTOVA")] = "";
        options.environment["KESTOVA_FAKE_CONFIG"] = (directory / "kestova.conf").string();
        service = std::make_unique<ServiceProcess>(options);
        client.setRequestHeader("Origin", "https://bank.example");
        client.connect();
        ASSERT_NE(client.request("{\"MsgId\":\"1\",\"Module\":\"Quintrel\"}").find("\"Result\":true"), std::string::npos);
    }

    // The driver under Wine, in the background: what it saw in the dialog.
    static std::future<std::string> user(const std::string& arguments)
    {
        const std::string command = "wine '" + harness::environmentOr("CORVANE_TEST_PROMPT_DRIVER") + "' " + arguments +
                                    " 2>/dev/null";
        return std::async(std::launch::async, [command] {
            std::string seen;
            if (FILE* out = ::popen(command.c_str(), "r")) {
                char buffer[4096];
                for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;) {
                    seen.append(buffer, n);
                }
                ::pclose(out);
            }
            // Standard output under Wine ends its lines with CR LF.
            seen.erase(std::remove(seen.begin(), seen.end(), '\r'), seen.end());
            return seen;
        });
    }

    std::string requestText(const std::string& method, const std::string& extra = "") const
    {
        const std::string param =
            method == "Sign" ? "{\\\"certificate\\\":\\\"" + base64(certificate.der) + "\\\",\\\"hash\\\":\\\"" +
                                   base64(Bytes(32, 9)) + "\\\",\\\"hashAlgorithm\\\":\\\"SHA-256\\\"" + extra + "}"
                             : "{\\\"certificate\\\":\\\"" + base64(certificate.der) + "\\\",\\\"challenge\\\":\\\"" +
                                   base64(Bytes(32, 7)) + "\\\"" + extra + "}";
        return "{\"MsgId\":\"s\",\"Method\":\"" + method + "\",\"Param\":\"" + param + "\"}";
    }

    static rapidjson::Document response(const std::string& answer)
    {
        rapidjson::Document outer;
        outer.Parse(answer.c_str());
        rapidjson::Document inner;
        if (outer.IsObject() && outer.HasMember("Response") && outer["Response"].IsString()) {
            inner.Parse(outer["Response"].GetString());
        }
        EXPECT_TRUE(inner.IsObject()) << answer;
        return inner;
    }

    // The answer's Response, parsed; `extra` goes into the parameter as is.
    rapidjson::Document call(const std::string& method, const std::string& extra = "")
    {
        return response(client.request(requestText(method, extra), std::chrono::milliseconds(90000)));
    }

    Bytes signedData() const { return readBytes((directory / "signed").string()); }

    static std::string error(const rapidjson::Document& response)
    {
        return response.IsObject() && response.HasMember("error") ? response["error"].GetString() : "";
    }

    fs::path directory;
    TestCertificate certificate;
    std::unique_ptr<ServiceProcess> service;
    WsClient client;
};

// A page's own "origin" member cannot change the site the dialog names.
TEST_F(WindowsPrompt, sign_withThePinTypedIntoTheDialog_signsAndTheDialogNamesTheSiteCertificateAndToken)
{
    start("Ada Example");
    const std::string screenshot = harness::environmentOr("CORVANE_TEST_SCREENSHOT");
    if (!screenshot.empty()) {
        auto look = user("look");
        auto signing = std::async(std::launch::async, [&] { return call("Sign"); });
        look.get();
        EXPECT_EQ(std::system(("import -window root '" + screenshot + "'").c_str()), 0);
        auto typing = user("pin=1234");
        EXPECT_TRUE(signing.get().HasMember("signature"));
        typing.get();
    }
    auto seen = user("pin=1234");
    const rapidjson::Document response = call("Sign", ",\\\"origin\\\":\\\"https://evil.example\\\"");
    const std::string dialog = seen.get();
    ASSERT_TRUE(response.HasMember("signature")) << error(response) << "\n" << dialog;
    EXPECT_TRUE(tokenSignatureVerifies(certificate.key.get(), signedData(), Bytes(32, 9)));
    EXPECT_EQ(fileText(directory / "calls").find("C_Login no-pin"), std::string::npos);
    EXPECT_NE(fileText(directory / "calls").find("C_Login\nC_FindObjectsInit"), std::string::npos);
    EXPECT_NE(fileText(directory / "calls").find("C_Sign\nC_Logout\nC_CloseSession\n"), std::string::npos);
    EXPECT_NE(dialog.find("title: Corvane: sign with your certificate\n"), std::string::npos) << dialog;
    EXPECT_NE(dialog.find("The site https://bank.example asks you to sign"), std::string::npos) << dialog;
    EXPECT_NE(dialog.find("Certificate: Ada Example|"), std::string::npos) << dialog;
    EXPECT_NE(dialog.find("Token: Fake token|"), std::string::npos) << dialog;
    EXPECT_EQ(dialog.find("evil"), std::string::npos) << dialog;
    EXPECT_NE(dialog.find("ok: Sign\n"), std::string::npos) << dialog;
    EXPECT_NE(dialog.find("field: password\n"), std::string::npos) << dialog;
    EXPECT_NE(dialog.find("topmost: yes\n"), std::string::npos) << dialog;
    EXPECT_NE(dialog.find("error: \n"), std::string::npos) << dialog;
    EXPECT_EQ(service->standardError().find("1234"), std::string::npos);
}

// Cancel ends the call; a wrong PIN brings the dialog back with the error,
// and the right one then logs in.
TEST_F(WindowsPrompt, authenticate_cancelledThenWrongPinThenRight)
{
    start("Ada Example");
    auto cancelling = user("cancel");
    EXPECT_EQ(error(call("Authenticate")), "cancelled");
    EXPECT_NE(cancelling.get().find("title: Corvane: log in with your certificate\n"), std::string::npos);
    EXPECT_EQ(fileText(directory / "calls").find("C_Login"), std::string::npos);

    auto wrong = user("pin=9999");
    auto right = std::async(std::launch::async, [&] {
        wrong.wait();
        return user("pin=1234").get();
    });
    const rapidjson::Document response = call("Authenticate");
    EXPECT_TRUE(response.HasMember("signature")) << error(response);
    ASSERT_TRUE(response.HasMember("origin"));
    EXPECT_STREQ(response["origin"].GetString(), "https://bank.example");
    // The origin is inside what was signed: the check for another site fails.
    const Bytes challengeHash = sha256(Bytes(32, 7));
    const auto originHash = [](const std::string& origin) { return sha256(Bytes(origin.begin(), origin.end())); };
    EXPECT_TRUE(tokenSignatureVerifies(certificate.key.get(), signedData(),
                                       sha256(concat(originHash("https://bank.example"), challengeHash))));
    EXPECT_FALSE(tokenSignatureVerifies(certificate.key.get(), signedData(),
                                        sha256(concat(originHash("https://evil.example"), challengeHash))));
    EXPECT_NE(wrong.get().find("error: \n"), std::string::npos);
    const std::string again = right.get();
    EXPECT_NE(again.find("error: Wrong PIN. Try again.\n"), std::string::npos) << again;
    EXPECT_NE(again.find("ok: Log in\n"), std::string::npos) << again;
}

// A reader with a PIN pad: no field, the dialog says to use the reader, and
// the token gets no PIN.
TEST_F(WindowsPrompt, pinPad_showsNoFieldAndLoginGetsNoPin)
{
    start("Pad User", 0x100);
    auto seen = user("confirm");
    EXPECT_TRUE(call("Sign").HasMember("signature"));
    const std::string dialog = seen.get();
    EXPECT_NE(dialog.find("field: none\n"), std::string::npos) << dialog;
    EXPECT_NE(dialog.find("enter the PIN on the reader"), std::string::npos) << dialog;
    EXPECT_NE(fileText(directory / "calls").find("C_Login no-pin"), std::string::npos);
}

// A certificate's name cannot draw lines of its own nor push the rest out.
TEST_F(WindowsPrompt, hostileCommonName_isShownOnOneLineAndCut)
{
    // U+202E would show the rest of the line backwards.
    start("Ada\nThe site https://bank.example asks nothing.\xe2\x80\xae" + std::string(300, 'A'));
    auto seen = user("cancel");
    EXPECT_EQ(error(call("Sign")), "cancelled");
    const std::string dialog = seen.get();
    EXPECT_NE(dialog.find("Certificate: Ada The site https://bank.example asks nothing. AAA"), std::string::npos) << dialog;
    EXPECT_NE(dialog.find("AAA...|Issued by"), std::string::npos) << dialog;
    EXPECT_EQ(dialog.find(std::string(200, 'A')), std::string::npos) << dialog;
}

// Another page's request while the dialog is open waits its turn: no second
// dialog over the first, each names its own page's site, answers in order.
TEST_F(WindowsPrompt, secondRequestDuringTheDialog_isAskedForAfterTheFirst)
{
    start("Ada Example");
    WsClient other;
    other.setRequestHeader("Origin", "https://shop.example");
    other.connect();
    ASSERT_NE(other.request("{\"MsgId\":\"1\",\"Module\":\"Quintrel\"}").find("\"Result\":true"), std::string::npos);
    auto first = std::async(std::launch::async, [&] { return call("Sign"); });
    // One driver for both dialogs: the second must be a new window.
    auto dialogs = user("look sleep=5000 cancel pin=1234");
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    other.sendText(requestText("Sign"));
    EXPECT_FALSE(other.receive(std::chrono::milliseconds(1500)).has_value());
    EXPECT_EQ(error(first.get()), "cancelled");
    const auto answer = other.receive(std::chrono::milliseconds(90000));
    ASSERT_TRUE(answer.has_value());
    EXPECT_TRUE(response(answer->payload).HasMember("signature")) << answer->payload;
    const std::string seen = dialogs.get();
    const std::size_t bank = seen.rfind("The site https://bank.example asks");
    ASSERT_NE(bank, std::string::npos) << seen;
    EXPECT_NE(seen.find("The site https://shop.example asks", bank), std::string::npos) << seen;
}

} // namespace
