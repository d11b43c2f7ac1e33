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

namespace {

// Counts the flushes that reach it.
class CountingBuffer : public std::stringbuf {
public:
    int syncs = 0;

protected:
    int sync() override
    {
        ++syncs;
        return std::stringbuf::sync();
    }
};

TEST(HeldFlushBufferTest, textPassesAtOnceAndTheFlushesOfABatchBecomeOne)
{
    CountingBuffer target;
    int asked = 0;
    {
        server::HeldFlushBuffer held(&target, [&] { ++asked; });
        std::ostream out(&held);
        out << "one\n" << std::flush << 't' << "wo\n" << std::flush;
        EXPECT_EQ(target.str(), "one\ntwo\n");
        EXPECT_EQ(target.syncs, 0);
        EXPECT_EQ(asked, 1); // one request for the whole batch

        held.flushNow();
        EXPECT_EQ(target.syncs, 1);
        held.flushNow(); // nothing written since: no flush
        EXPECT_EQ(target.syncs, 1);

        // The next batch asks again; a large one is not held at all.
        out << "three\n" << std::flush;
        EXPECT_EQ(asked, 2);
        out << std::string(server::HeldFlushBuffer::kMaxHeldBytes, 'x') << std::flush;
        EXPECT_EQ(target.syncs, 2);
        out << "four\n" << std::flush;
        EXPECT_EQ(asked, 3);
    }
    // What was still held goes out when the buffer goes.
    EXPECT_EQ(target.syncs, 3);
    EXPECT_EQ(target.str().substr(target.str().size() - 5), "four\n");
}

} // namespace
