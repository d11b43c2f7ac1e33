#include "server/LogFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

using server::RotatingFileBuffer;

namespace {

namespace fs = std::filesystem;

class RotatingFileBufferTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_root = fs::temp_directory_path() / ("corvane-log-test-" + std::to_string(std::random_device{}()));
        m_log = m_root / "Corvane" / "corvane.log"; // the directory does not exist yet
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }

    static std::string read(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    // 28 bytes, as the library writes a line: in pieces, then a flush.
    static std::string entry(int n)
    {
        return "entry " + std::to_string(n) + std::string(20, 'x') + "\n";
    }

    static void write(RotatingFileBuffer& buffer, int from, int to)
    {
        std::ostream out(&buffer);
        for (int n = from; n <= to; ++n) {
            out << "entry " << n << std::string(20, 'x') << '\n' << std::flush;
        }
    }

    fs::path older() const { return fs::path(m_log.string() + ".1"); }

    fs::path m_root;
    fs::path m_log;
};

TEST_F(RotatingFileBufferTest, entriesMoveWholeToOneOlderCopyAndNoFilePassesTheCap)
{
    {
        RotatingFileBuffer buffer(m_log, 100); // room for three entries
        write(buffer, 0, 9);
    }
    EXPECT_EQ(read(older()), entry(6) + entry(7) + entry(8));
    EXPECT_EQ(read(m_log), entry(9));

    // A restart appends, counting what the file already holds.
    {
        RotatingFileBuffer buffer(m_log, 100);
        write(buffer, 10, 12);
    }
    EXPECT_EQ(read(older()), entry(9) + entry(10) + entry(11));
    EXPECT_EQ(read(m_log), entry(12));
    EXPECT_EQ(std::distance(fs::directory_iterator(m_log.parent_path()), fs::directory_iterator()), 2);
}

TEST_F(RotatingFileBufferTest, entryLargerThanTheCap_isCutToFitWithANote)
{
    RotatingFileBuffer buffer(m_log, 100);
    write(buffer, 0, 1);
    std::ostream(&buffer) << std::string(500, 'y') << "\n" << std::flush;

    EXPECT_EQ(read(older()), entry(0) + entry(1));
    const std::string cut = read(m_log);
    EXPECT_LE(cut.size(), 100u);
    EXPECT_EQ(cut.substr(0, 36), std::string(36, 'y'));
    EXPECT_NE(cut.find(" more bytes not logged]\n"), std::string::npos) << cut;
}

} // namespace
