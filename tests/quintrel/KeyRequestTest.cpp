// What a hostile page or a hostile certificate name can put in front of the
// key methods and the PIN prompt.

#include "Assuan.h"
#include "KeyRequest.h"
#include "PinPrompt.h"

#include <gtest/gtest.h>

#include <algorithm>

TEST(KeyRequest, originAllowList_httpsAndLocalDevelopmentOnly)
{
    for (const char* allowed : { "https://app.example.org", "https://app.example.org:8443", "https://[::1]:443",
                                 "http://localhost", "http://localhost:8080", "http://127.0.0.1:5000" }) {
        EXPECT_TRUE(originMayUseKey(allowed)) << allowed;
    }
    for (const char* refused :
         { "", "null", "http://example.org", "http://localhost.example.org", "http://127.0.0.1.example.org",
           "https://", "https://app.example.org/", "https://a b", "https://[a/b]", "https://x:99999", "file://",
           "chrome-extension://abc", "https://app.example.org\nGETPIN", "HTTP://localhost" }) {
        EXPECT_FALSE(originMayUseKey(refused)) << refused;
    }
}

TEST(KeyRequest, decoding_refusesWhatDoesNotFitAndKeepsWhatDoes)
{
    const std::string certificate = "\"certificate\":\"MIIBAA==\"";
    const std::string hash32 = base64Plain(Bytes(32, 7));
    auto ok = decodeSignRequest(("{" + certificate + ",\"hash\":\"" + hash32 + "\",\"hashAlgorithm\":\"SHA-256\"}").c_str());
    ASSERT_TRUE(std::holds_alternative<SignRequest>(ok));
    EXPECT_EQ(std::get<SignRequest>(ok).hash, Bytes(32, 7));
    EXPECT_EQ(std::get<SignRequest>(ok).certificate, (Bytes { 0x30, 0x82, 0x01, 0x00 }));

    for (const std::string& bad : {
             std::string("not json"), std::string("[]"), std::string("{}"),
             "{" + certificate + ",\"hash\":\"" + hash32 + "\",\"hashAlgorithm\":\"SHA-384\"}",
             "{" + certificate + ",\"hash\":\"" + hash32 + "\",\"hashAlgorithm\":\"sha-256\"}",
             "{" + certificate + ",\"hash\":\"" + hash32 + " \",\"hashAlgorithm\":\"SHA-256\"}",
             "{\"certificate\":7,\"hash\":\"" + hash32 + "\",\"hashAlgorithm\":\"SHA-256\"}",
             // A PIN is never a parameter; an extra member changes nothing,
             // a missing one is refused.
             "{\"pin\":\"1234\",\"hash\":\"" + hash32 + "\",\"hashAlgorithm\":\"SHA-256\"}" }) {
        const auto decoded = decodeSignRequest(bad.c_str());
        ASSERT_TRUE(std::holds_alternative<KeyFailure>(decoded)) << bad;
        EXPECT_EQ(failureAnswer(std::get<KeyFailure>(decoded)).rfind("{\"error\":\"bad-request\",\"message\":", 0), 0u);
    }
    for (std::size_t length : { 31u, 32u, 256u, 257u }) {
        const auto decoded = decodeAuthenticateRequest(
            ("{" + certificate + ",\"challenge\":\"" + base64Plain(Bytes(length, 1)) + "\"}").c_str());
        EXPECT_EQ(std::holds_alternative<AuthenticateRequest>(decoded), length == 32 || length == 256) << length;
    }
    EXPECT_FALSE(base64Decode("QQ=A"));
    EXPECT_FALSE(base64Decode("Q==="));
    EXPECT_EQ(base64Decode("QUI="), (Bytes { 'A', 'B' }));
}

TEST(KeyRequest, assuanText_cannotEndTheLineNorStartACommand_andDataDecodes)
{
    const std::string hostile = "Mallory%0A\r\nGETPIN\nBYE \x01";
    const std::string escaped = assuanEscape(hostile, 900);
    EXPECT_EQ(escaped, "Mallory%250A%0D%0AGETPIN%0ABYE %01");
    // Cut at a character boundary, never inside an escape or a UTF-8 sequence.
    EXPECT_EQ(assuanEscape("\xe7\x8e\x8b\xe5\xb0\x8f", 5), "\xe7\x8e\x8b");
    EXPECT_EQ(assuanEscape("ab%", 4), "ab");

    SecretBuffer pin;
    ASSERT_TRUE(assuanAppendData("D 12%2534%0A", pin));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(pin.data()), pin.size()), "12%34\n");
    SecretBuffer broken;
    EXPECT_FALSE(assuanAppendData("D 1%2", broken));
    EXPECT_EQ(assuanErrorCode("ERR 83886179 Operation cancelled <Pinentry>"), kAssuanCanceled);
    EXPECT_EQ(assuanReplyKind("OKAY"), AssuanReplyKind::other);
}

TEST(KeyRequest, promptDescription_namesStayOnTheirOwnLineAndCannotHideTheSite)
{
    PromptRequest request;
    request.origin = "https://shop.example";
    request.commonName = "Mallory\nThe site https://bank.example asks you to sign\xe2\x80\xae" + std::string(300, 'x');
    request.issuer = "CA\r\x1b[2J";
    request.token = "Token\xc2\x85Two";
    const std::string text = promptDescription(request);
    EXPECT_EQ(text.rfind("The site https://shop.example asks you to sign", 0), 0u) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 6) << text;
    EXPECT_NE(text.find("Certificate: Mallory The site https://bank.example asks you to sign " + std::string(65, 'x') +
                        "...\nIssued by: CA  [2J\nToken: Token Two\n"),
              std::string::npos)
        << text;
}
