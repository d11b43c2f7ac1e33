#include "server/LogFile.h"

#include "platform/paths/Paths.h"
#include "platform/process/Process.h"

#include <algorithm>
#include <ctime>
#include <iostream>

namespace server {

namespace fs = std::filesystem;

namespace {
constexpr std::size_t kLogFileCap = 1u << 20;
constexpr const char* kLogFileName = "corvane.log";
} // namespace

RotatingFileBuffer::RotatingFileBuffer(fs::path path, std::size_t cap)
    : m_path(std::move(path))
    , m_cap(cap)
{
    std::error_code ignored;
    fs::create_directories(m_path.parent_path(), ignored);
    open(std::ios::app);
}

RotatingFileBuffer::~RotatingFileBuffer()
{
    sync();
}

void RotatingFileBuffer::open(std::ios::openmode mode)
{
    m_file.close();
    m_file.clear();
    m_file.open(m_path, std::ios::out | std::ios::binary | mode);
    std::error_code error;
    const auto size = fs::file_size(m_path, error);
    m_size = error ? 0 : static_cast<std::size_t>(size);
}

void RotatingFileBuffer::rotate()
{
    m_file.close();
    fs::path older = m_path;
    older += ".1";
    std::error_code ignored;
    fs::remove(older, ignored);
    fs::rename(m_path, older, ignored);
    // Should the rename fail (another program holds the file), the file
    // starts over all the same: the cap is what must hold.
    open(std::ios::trunc);
}

RotatingFileBuffer::int_type RotatingFileBuffer::overflow(int_type c)
{
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        const char ch = traits_type::to_char_type(c);
        append(&ch, 1);
    }
    return traits_type::not_eof(c);
}

std::streamsize RotatingFileBuffer::xsputn(const char* data, std::streamsize count)
{
    append(data, static_cast<std::size_t>(count));
    return count;
}

void RotatingFileBuffer::append(const char* data, std::size_t count)
{
    const std::size_t room = m_cap > m_pending.size() ? m_cap - m_pending.size() : 0;
    const std::size_t kept = std::min(room, count);
    m_pending.append(data, kept);
    m_dropped += count - kept;
}

int RotatingFileBuffer::sync()
{
    if (m_pending.empty() && m_dropped == 0) {
        return 0;
    }
    std::string entry;
    entry.swap(m_pending);
    if (m_dropped > 0) {
        constexpr std::size_t noteRoom = 64; // more than the note below ever takes
        const std::size_t kept = std::min(entry.size(), m_cap > noteRoom ? m_cap - noteRoom : 0);
        const std::string note = " [" + std::to_string(entry.size() - kept + m_dropped) + " more bytes not logged]\n";
        entry.resize(kept);
        entry += note.substr(0, m_cap);
        m_dropped = 0;
    }
    if (m_size > 0 && m_size + entry.size() > m_cap) {
        rotate();
    }
    if (!m_file.is_open()) {
        return 0;
    }
    m_file.write(entry.data(), static_cast<std::streamsize>(entry.size()));
    m_file.flush();
    m_file.clear(); // a failed write (disk full) must not silence the ones after it
    m_size += entry.size();
    return 0;
}

HeldFlushBuffer::HeldFlushBuffer(std::streambuf* target, std::function<void()> flushWanted)
    : m_target(target)
    , m_flushWanted(std::move(flushWanted))
{
}

HeldFlushBuffer::~HeldFlushBuffer()
{
    flushNow();
}

void HeldFlushBuffer::flushNow()
{
    m_asked = false;
    if (m_held > 0) {
        m_held = 0;
        m_target->pubsync();
    }
}

HeldFlushBuffer::int_type HeldFlushBuffer::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        return traits_type::not_eof(c);
    }
    ++m_held;
    return m_target->sputc(traits_type::to_char_type(c));
}

std::streamsize HeldFlushBuffer::xsputn(const char* data, std::streamsize count)
{
    m_held += static_cast<std::size_t>(count);
    return m_target->sputn(data, count);
}

int HeldFlushBuffer::sync()
{
    if (m_held >= kMaxHeldBytes) {
        flushNow();
    } else if (m_held > 0 && !m_asked) {
        m_asked = true;
        m_flushWanted();
    }
    return 0;
}

LogStreams logStreams()
{
    const bool output = platform::standardStreamUsable(platform::StandardStream::output);
    const bool error = platform::standardStreamUsable(platform::StandardStream::error);
    if (output && error) {
        return {&std::cout, &std::cerr};
    }
    const fs::path directory = platform::userLogDirectory();
    if (directory.empty()) {
        return {&std::cout, &std::cerr};
    }
    static RotatingFileBuffer file(directory / kLogFileName, kLogFileCap);
    static std::ostream stream(&file);
    return {output ? &std::cout : &stream, error ? &std::cerr : &stream};
}

void writeErrorLine(const std::string& text)
{
    const std::time_t now = std::time(nullptr);
    char stamp[32] = "";
    if (const std::tm* local = std::localtime(&now)) {
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", local);
    }
    const std::string line = std::string("[") + stamp + "] [error] " + text + "\n";
    const fs::path directory = platform::userLogDirectory();
    if (platform::standardStreamUsable(platform::StandardStream::error) || directory.empty()) {
        std::cerr << line << std::flush;
        return;
    }
    RotatingFileBuffer file(directory / kLogFileName, kLogFileCap);
    std::ostream stream(&file);
    stream << line << std::flush;
}

} // namespace server
