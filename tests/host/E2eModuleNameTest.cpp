// A module name beyond ASCII reaches the loader intact: on Windows as UTF-16
// with a surrogate pair for the character outside the Basic Multilingual
// Plane, on Linux as the UTF-8 file name. A trailing dot keeps the default
// extension off. Which directories a name is looked
// up in: the service's own, and on Linux never the one it was started in.

#include "harness/E2eTest.h"

#include <stdlib.h>

#include <filesystem>
#include <memory>

using harness::ServiceOptions;
using harness::ServiceProcess;
using harness::WsClient;

namespace fs = std::filesystem;

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

// Every form of name finds the file the system's loader would: a trailing
// dot means "no extension" on both platforms, a name without one gets the
// default extension, another extension is kept, and only Windows ignores
// letter case.
TEST(ModuleNameOnDisk, nameForms_loadTheFileTheSystemLoaderWould)
{
    const std::string echo = ServiceProcess::artifactsDirectory() + "/" + ServiceProcess::moduleFileName("echo");
    ServiceOptions options;
    options.files[echo] = "ProbeNoExt";
    options.files[ServiceProcess::artifactsDirectory() + "/" + ServiceProcess::moduleFileName("tracked_a")] =
        "Probe.plg";
    options.plugins = {"echo"};
    ServiceProcess service(options);
    WsClient client;
    client.connect();

    // What a call reaches after the load: echo answers "method" with its
    // name, tracked_a with its tag; null: no such module.
    const bool windows = !harness::environmentOr("CORVANE_TEST_LAUNCHER").empty();
    const char* const echoed = "method";
    const char* const onlyOnWindows = windows ? echoed : nullptr;
    const struct {
        const char* name;
        const char* reaches;
    } forms[] = {
        {"ProbeNoExt.", echoed},
        {"ProbeNoExt", nullptr},
        {"probenoext.", onlyOnWindows},
        {"Probe.plg", "tracked_a"},
        {"PROBE.PLG", windows ? "tracked_a" : nullptr},
        {"Probe.plg.", "tracked_a"},
        {"echo", echoed},
        {"ECHO", onlyOnWindows},
    };
    for (const auto& form : forms) {
        SCOPED_TRACE(form.name);
        if (form.reaches == nullptr) {
            EXPECT_EQ(client.request(e2e::loadRequest(form.name)), e2e::loadError(126));
            continue;
        }
        EXPECT_EQ(client.request(e2e::loadRequest(form.name)), e2e::kLoadSuccess);
        EXPECT_EQ(client.request("{\"MsgId\":\"2\",\"Method\":\"method\"}"), e2e::answer("2", true, form.reaches));
    }
}

// Started from a directory that someone else may write (/tmp, a download
// folder), the service loads nothing from there: neither a plug-in a page
// names nor a library in place of one it needs itself (a planted
// libgcc_s.so.1 that it loaded would keep it from starting at all).
TEST(ModuleNameOnDisk, librariesInTheStartDirectory_areNotLoaded)
{
    if (!harness::environmentOr("CORVANE_TEST_LAUNCHER").empty()) {
        GTEST_SKIP() << "Windows searches the current directory by design (after the system directories)";
    }
    std::string start = harness::environmentOr("TMPDIR", "/tmp") + "/corvane-start-XXXXXX";
    ASSERT_NE(::mkdtemp(start.data()), nullptr);
    const std::unique_ptr<const std::string, void (*)(const std::string*)> removeStart(&start, [](const std::string* path) {
        std::error_code ignored;
        fs::remove_all(*path, ignored);
    });
    const std::string echo = ServiceProcess::artifactsDirectory() + "/" + ServiceProcess::moduleFileName("echo");
    for (const char* planted : {"Planted.so", "libgcc_s.so.1"}) {
        fs::copy_file(echo, start + "/" + planted);
    }
    ServiceOptions options;
    options.startDirectory = start;
    ServiceProcess service(options);
    WsClient client;
    client.connect();
    EXPECT_EQ(client.request(e2e::loadRequest("Planted")), e2e::loadError(126));
    // The same file beside the service is found.
    fs::copy_file(echo, service.directory() + "/Planted.so");
    EXPECT_EQ(client.request(e2e::loadRequest("Planted", "2")), e2e::kLoadSuccess);
}

} // namespace
