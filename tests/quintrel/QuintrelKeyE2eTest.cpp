// What only a token library of the tests can show about Sign: a reader with
// a PIN pad, a locked PIN and a last try, with the real service and a
// scripted prompt program that records what it was asked.

#include "harness/ServiceProcess.h"
#include "harness/TestCertificates.h"
#include "harness/WsClient.h"

#include <openssl/evp.h>
#include <rapidjson/document.h>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;
using harness::ServiceOptions;
using harness::ServiceProcess;
using harness::WsClient;

namespace {

constexpr unsigned long kProtectedPath = 0x100;   // CKF_PROTECTED_AUTHENTICATION_PATH
constexpr unsigned long kFinalTry = 0x20000;      // CKF_USER_PIN_FINAL_TRY
constexpr unsigned long kLocked = 0x40000;        // CKF_USER_PIN_LOCKED

std::string text(const fs::path& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class QuintrelKey : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "corvane-key-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        directory = pattern;
        CertificateRecipe recipe = recipeFor(KeyKind::Rsa2048, "Pad User");
        recipe.keyUsage = "critical,digitalSignature";
        certificate = makeCertificate(recipe);
        std::ofstream(directory / "cert.der", std::ios::binary)
            .write(reinterpret_cast<const char*>(certificate.der.data()), static_cast<std::streamsize>(certificate.der.size()));

        // The first GETPIN gets a wrong PIN, every later one is cancelled;
        // CONFIRM is agreed to. Every command is written down.
        const fs::path prompt = directory / "pinentry";
        std::ofstream(prompt) << "#!/bin/sh\necho 'OK ready'\nwhile read l; do\n  echo \"$l\" >> '"
                              << (directory / "commands").string() << "'\n  case $l in\n"
                              << "    GETPIN) if [ -e '" << (directory / "asked").string() << "' ]; then "
                              << "echo 'ERR 83886179 Operation cancelled'; else touch '"
                              << (directory / "asked").string() << "'; printf 'D 0000\\nOK\\n'; fi;;\n"
                              << "    BYE) exit 0;;\n    *) echo OK;;\n  esac\ndone\n";
        fs::permissions(prompt, fs::perms::owner_all);

        ServiceOptions options;
        options.files[CORVANE_TEST_DEFAULT_QUINTREL] = ServiceProcess::moduleFileName("Quintrel");
        options.files[CORVANE_TEST_DEFAULT_KESTOVA] = "";
        options.environment["KESTOVA_FAKE_CONFIG"] = (directory / "kestova.conf").string();
        options.environment["CORVANE_PINENTRY"] = prompt.string();
        service = std::make_unique<ServiceProcess>(options);
        client.setRequestHeader("Origin", "https://bank.example");
        client.connect();
        ASSERT_NE(client.request("{\"MsgId\":\"1\",\"Module\":\"Quintrel\"}").find("\"Result\":true"), std::string::npos);
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(directory, ignored);
    }

    // The token for the next call: the library reads it anew on every call.
    void token(unsigned long flags, bool alsoWithoutKeyFirst = false)
    {
        std::ofstream config(directory / "kestova.conf");
        config << "log " << (directory / "calls").string() << "\npin 1234\n";
        if (alsoWithoutKeyFirst) {
            config << "slot 1\nobject " << (directory / "cert.der").string() << "\nobject-id 01\n";
        }
        config << "slot 2\ntoken-flags " << std::hex << flags
               << "\nobject " << (directory / "cert.der").string() << "\nobject-id 01\nprivate-key 01 "
               << hex(rsaModulus(certificate.key.get())) << "\n";
    }

    rapidjson::Document sign()
    {
        const std::string param = "{\\\"certificate\\\":\\\"" + base64(certificate.der) + "\\\",\\\"hash\\\":\\\"" +
                                  base64(Bytes(32, 9)) + "\\\",\\\"hashAlgorithm\\\":\\\"SHA-256\\\"}";
        const std::string answer = client.request("{\"MsgId\":\"s\",\"Method\":\"Sign\",\"Param\":\"" + param + "\"}");
        rapidjson::Document outer;
        outer.Parse(answer.c_str());
        rapidjson::Document response;
        response.Parse(outer["Response"].GetString());
        EXPECT_TRUE(response.IsObject()) << answer;
        return response;
    }

    fs::path directory;
    TestCertificate certificate;
    std::unique_ptr<ServiceProcess> service;
    WsClient client;
};

TEST_F(QuintrelKey, pinPad_loginGetsNoPinAndThePromptSaysToUseTheReader)
{
    token(kProtectedPath);
    const rapidjson::Document response = sign();
    ASSERT_TRUE(response.HasMember("signature"));
    const std::string calls = text(directory / "calls");
    EXPECT_NE(calls.find("C_Login no-pin\nC_FindObjectsInit"), std::string::npos) << calls;
    EXPECT_EQ(calls.find("C_Login\n"), std::string::npos) << calls;
    // Logged out and closed after signing.
    EXPECT_NE(calls.find("C_Sign\nC_Logout\nC_CloseSession\n"), std::string::npos) << calls;
    const std::string commands = text(directory / "commands");
    EXPECT_NE(commands.find("CONFIRM"), std::string::npos) << commands;
    EXPECT_EQ(commands.find("GETPIN"), std::string::npos) << commands;
    EXPECT_NE(commands.find("enter the PIN on the reader"), std::string::npos) << commands;
}

// The same certificate on two tokens, its key on the second only: the
// token that shows a key under the certificate's id is the one asked for.
TEST_F(QuintrelKey, certificateOnTwoTokens_theOneWithTheKeySigns)
{
    token(kProtectedPath, true);
    const rapidjson::Document response = sign();
    EXPECT_TRUE(response.HasMember("signature")) << text(directory / "calls");
}

TEST_F(QuintrelKey, lockedPin_isRefusedWithoutAPrompt_lastTry_isShownAndCounted)
{
    token(kLocked);
    rapidjson::Document locked = sign();
    EXPECT_STREQ(locked["error"].GetString(), "pin-locked");
    EXPECT_FALSE(fs::exists(directory / "commands"));

    token(kFinalTry);
    rapidjson::Document lastTry = sign();
    EXPECT_STREQ(lastTry["error"].GetString(), "pin-incorrect");
    ASSERT_TRUE(lastTry.HasMember("retriesLeft"));
    EXPECT_EQ(lastTry["retriesLeft"].GetUint(), 1u);
    EXPECT_NE(text(directory / "commands").find("SETERROR Wrong PIN. 1 try left"), std::string::npos);
    // The session was closed even though no login succeeded.
    const std::string calls = text(directory / "calls");
    EXPECT_EQ(calls.substr(calls.rfind("C_Login")), "C_Login\nC_GetTokenInfo\nC_Logout\nC_CloseSession\n");
}

} // namespace
