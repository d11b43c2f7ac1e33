#include "platform/ExportTable.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using platform::ExportScan;

ExportScan scanFile(const std::string& name)
{
    std::ifstream file(std::string(EXPORT_TABLE_SAMPLES) + "/" + name, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(bytes.empty()) << name << " is missing";
    return platform::scanExports(bytes.data(), bytes.size(), "Invoke");
}

// Libraries as the native and the MinGW toolchains build them, one with
// only the old ELF hash table.
TEST(ExportTableTest, realLibraries_exportInvokeExactlyWhenTheirSourceDoes)
{
    for (const char* name : {"echo.so", "echo-sysv.so", "invoke.dll"}) {
        SCOPED_TRACE(name);
        const ExportScan scan = scanFile(name);
        EXPECT_TRUE(scan.library);
        EXPECT_TRUE(scan.exported);
        EXPECT_TRUE(scan.wide);
    }
    for (const char* name : {"noinvoke.so", "noinvoke.dll"}) {
        SCOPED_TRACE(name);
        const ExportScan scan = scanFile(name);
        EXPECT_TRUE(scan.library);
        EXPECT_FALSE(scan.exported);
    }
    EXPECT_EQ(scanFile("echo.so").format, ExportScan::Format::elf);
    EXPECT_EQ(scanFile("invoke.dll").format, ExportScan::Format::pe);
    EXPECT_EQ(scanFile("invoke.dll").machine, 0x8664);
}

TEST(ExportTableTest, otherNamesAndTextAreNotExports)
{
    std::ifstream file(std::string(EXPORT_TABLE_SAMPLES) + "/echo.so", std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(platform::scanExports(bytes.data(), bytes.size(), "Invok").exported);
    EXPECT_FALSE(platform::scanExports(bytes.data(), bytes.size(), "Invoked").exported);
    const std::string text = "\x7f" "ELF not really";
    const ExportScan scan =
        platform::scanExports(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), "Invoke");
    EXPECT_EQ(scan.format, ExportScan::Format::elf);
    EXPECT_FALSE(scan.library);
}

} // namespace
