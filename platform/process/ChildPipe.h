#pragma once

// A helper program talked to over its standard input and output, one line
// at a time: how the service drives the desktop's PIN prompt. Linux only;
// the Windows prompt is a window of the service's own.

#include <chrono>
#include <cstddef>
#include <string>

namespace platform {

// Overwrites memory in a way the compiler may not drop.
void wipe(void* data, std::size_t size);

class ChildPipe {
public:
    ChildPipe() = default;
    ~ChildPipe();
    ChildPipe(const ChildPipe&) = delete;
    ChildPipe& operator=(const ChildPipe&) = delete;

    // Starts `program` (searched on PATH when it holds no '/') with no
    // arguments, its standard input and output piped to us, its standard
    // error discarded, and none of our other descriptors. False with the
    // reason in `error` when it cannot be started.
    bool start(const std::string& program, std::string& error);

    // The whole text, or false when the program is gone.
    bool write(const std::string& text);

    enum class Read { line, closed, timeout };
    // One line without its line feed into `line`, which is cleared first.
    // Lines longer than `maxLength` end the exchange (closed). Every byte
    // read passes through a buffer that is wiped once consumed, since a
    // line may carry a PIN; the caller wipes `line`.
    Read readLine(std::string& line, std::chrono::milliseconds timeout, std::size_t maxLength = 4096);

    // Closes both pipes and reaps the program, killing it when it has not
    // ended within a moment. Also done by the destructor.
    void finish();

private:
    int m_pid = -1;
    int m_toChild = -1;
    int m_fromChild = -1;
    char m_buffer[4096];
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
};

} // namespace platform
