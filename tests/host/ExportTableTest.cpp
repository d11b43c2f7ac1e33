#include "platform/modules/ExportTable.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using platform::ExportScan;

std::vector<std::uint8_t> readSample(const std::string& name)
{
    std::ifstream file(std::string(EXPORT_TABLE_SAMPLES) + "/" + name, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(bytes.empty()) << name << " is missing";
    return bytes;
}

ExportScan scanFile(const std::string& name)
{
    const std::vector<std::uint8_t> bytes = readSample(name);
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
    const std::vector<std::uint8_t> bytes = readSample("echo.so");
    EXPECT_FALSE(platform::scanExports(bytes.data(), bytes.size(), "Invok").exported);
    EXPECT_FALSE(platform::scanExports(bytes.data(), bytes.size(), "Invoked").exported);
    const std::string text = "\x7f" "ELF not really";
    const ExportScan scan =
        platform::scanExports(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), "Invoke");
    EXPECT_EQ(scan.format, ExportScan::Format::elf);
    EXPECT_FALSE(scan.library);
}

// A hash chain that loops, in a table that claims four billion entries, ends
// within the file's size instead of holding the service.
TEST(ExportTableTest, cyclicHashChain_endsWithoutAnExport)
{
    std::vector<std::uint8_t> bytes = readSample("echo-sysv.so");
    ASSERT_TRUE(platform::scanExports(bytes.data(), bytes.size(), "Invoke").exported);
    const auto u32At = [&bytes](std::size_t at) {
        return static_cast<std::uint32_t>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | bytes[at + 3] << 24);
    };
    const auto setU32 = [&bytes](std::size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    };
    // The DT_HASH table, at the file offset of its address in the first segment.
    const std::size_t table = 0x260;
    const std::uint32_t buckets = u32At(table);
    std::uint32_t h = 0;
    for (const char c : std::string("Invoke")) {
        h = (h << 4) + static_cast<unsigned char>(c);
        h ^= (h & 0xf0000000u) >> 24;
        h &= 0x0fffffffu;
    }
    setU32(table + 4, 0xffffffffu);                      // nchain
    setU32(table + 8 + (h % buckets) * 4, 1);            // the bucket leads to symbol 1 ...
    setU32(table + 8 + buckets * 4 + 4, 1);              // ... whose chain leads back to it
    EXPECT_FALSE(platform::scanExports(bytes.data(), bytes.size(), "Invoke").exported);
}

} // namespace
