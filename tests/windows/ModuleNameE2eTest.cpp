// A module name beyond ASCII reaches the loader intact: on Windows as UTF-16
// with a surrogate pair for the character outside the Basic Multilingual
// Plane, on Linux as the UTF-8 file name.

#include "support/ServiceProcess.h"
#include "support/WsClient.h"

#include <gtest/gtest.h>

using testsupport::ServiceOptions;
using testsupport::ServiceProcess;
using testsupport::WsClient;

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

    EXPECT_EQ(client.request("{\"MsgId\":\"1\",\"Module\":\"" + kName + "\"}"),
              "{\"MsgId\":\"LoadModule\",\"Result\":true,\"Response\":\"Load module success\"}");
    EXPECT_EQ(client.request("{\"MsgId\":\"2\",\"Method\":\"echo\",\"Param\":\"here\"}"),
              "{\"MsgId\":\"2\",\"Result\":true,\"Response\":\"here\"}");
    // Only the exact name: without the last character the file is not there.
    const std::string shorter = kName.substr(0, kName.size() - 4);
    EXPECT_EQ(client.request("{\"MsgId\":\"3\",\"Module\":\"" + shorter + "\"}"),
              "{\"MsgId\":\"LoadModule\",\"Result\":false,\"Response\":\"Load Module error, can't find module.Error code: 126\"}");
}

} // namespace
