#pragma once

// Where the WebSocket library's logs go when the standard streams lead
// nowhere, as for a Windows GUI program started at log-on.

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <streambuf>
#include <string>

namespace server {

// A log file of bounded size with one older copy: path, and path + ".1".
//
// What is written up to a flush is one entry and never split: when an entry
// would take the file past the cap, the file becomes the older copy
// (replacing the one before) and the entry starts a new file. An entry
// larger than the cap on its own is cut to fit, with a note saying so. The
// directory is created when missing; if the file cannot be opened, writes
// are dropped. Not thread-safe: the library's loggers write under their
// own locks on the one service thread.
class RotatingFileBuffer : public std::streambuf {
public:
    RotatingFileBuffer(std::filesystem::path path, std::size_t cap);
    ~RotatingFileBuffer() override;
    RotatingFileBuffer(const RotatingFileBuffer&) = delete;
    RotatingFileBuffer& operator=(const RotatingFileBuffer&) = delete;

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* data, std::streamsize count) override;
    int sync() override;

private:
    void append(const char* data, std::size_t count);
    void open(std::ios::openmode mode);
    void rotate();

    std::filesystem::path m_path;
    std::size_t m_cap;
    std::ofstream m_file;
    std::size_t m_size = 0;    // bytes in the current file
    std::string m_pending;     // the entry being written, up to the cap
    std::size_t m_dropped = 0; // bytes of it beyond the cap
};

// Passes text on to its target as it comes and holds back the flushes.
// The library's logger flushes after every line, and each flush is a write
// to the log: several per connection and per answer. The first held-back
// flush asks for flushNow() to be run soon (the service posts it to its
// loop, so that one write takes every line of a batch of handlers). Past
// kMaxHeldBytes, or when destroyed, it flushes at once.
class HeldFlushBuffer : public std::streambuf {
public:
    static constexpr std::size_t kMaxHeldBytes = 64 * 1024;

    HeldFlushBuffer(std::streambuf* target, std::function<void()> flushWanted);
    ~HeldFlushBuffer() override;
    HeldFlushBuffer(const HeldFlushBuffer&) = delete;
    HeldFlushBuffer& operator=(const HeldFlushBuffer&) = delete;

    void flushNow();

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* data, std::streamsize count) override;
    int sync() override;

private:
    std::streambuf* m_target;
    std::function<void()> m_flushWanted;
    std::size_t m_held = 0;   // bytes passed on since the last flush
    bool m_asked = false;     // flushWanted called, flushNow not yet run
};

// The streams for the access and the error log: standard output and error
// where they lead somewhere, otherwise the per-user log file (capped at
// 1 MiB, one older copy), or the standard stream after all when the
// platform has no such file. The file lives until the process ends.
struct LogStreams {
    std::ostream* access;
    std::ostream* error;
};
LogStreams logStreams();

// One line on the error log from a process that does not run the endpoint
// (the supervisor): standard error where it leads somewhere, else the same
// per-user log file, opened for this line only so that the service that
// writes there too can still rotate it. Stamped like the library's lines.
void writeErrorLine(const std::string& text);

} // namespace server
