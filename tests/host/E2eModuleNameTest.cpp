// A module name beyond ASCII reaches the loader intact: on Windows as UTF-16
// with a surrogate pair for the character outside the Basic Multilingual
// Plane, on Linux as the UTF-8 file name.

#include "E2eTest.h"

using harness::ServiceOptions;
using harness::ServiceProcess;
using harness::WsClient;

namespace {

// "Échö-插件-😀": Latin-1, CJK and one character beyond U+FFFF.
const std::string kName = "\xc3\x89\x63\x68\xc3\xb6-\xe6\x8f\x92\xe4\xbb\xb6-\xf0\x9f\x98\x80";

TEST(ModuleNameOnDisk, nonAsciiNameWithCharacterBeyondBmp_loadsThatFile)
{
    ServiceOptions options;
    options.files[ServiceProcess::artifactsDirectory() + "/" + ServiceProcess::moduleFileName("echo")] =
        ServiceProcess::moduleFileName(kName);
    ServiceProcess service(options);
    WsClient client;
    client.connect();

    EXPECT_EQ(client.request(e2e::loadRequest(kName)), e2e::kLoadSuccess);
    EXPECT_EQ(client.request("{\"MsgId\":\"2\",\"Method\":\"echo\",\"Param\":\"here\"}"),
              e2e::answer("2", true, "here"));
    // Only the exact name: without the last character the file is not there.
    const std::string shorter = kName.substr(0, kName.size() - 4);
    EXPECT_EQ(client.request(e2e::loadRequest(shorter, "3")), e2e::loadError(126));
}

} // namespace
