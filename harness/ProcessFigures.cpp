#include "harness/ProcessFigures.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace harness {
namespace {

std::string procPath(pid_t pid, const char* name)
{
    return "/proc/" + std::to_string(pid) + "/" + name;
}

} // namespace

long statusKiB(pid_t pid, const std::string& field)
{
    std::ifstream in(procPath(pid, "status"));
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, field.size() + 1, field + ":") == 0) {
            return std::atol(line.c_str() + field.size() + 1);
        }
    }
    return -1;
}

double cpuMicroseconds(pid_t pid)
{
    std::ifstream in(procPath(pid, "stat"));
    std::string stat;
    std::getline(in, stat);
    // Fields after the command name, which is in parentheses and may hold blanks.
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 > stat.size()) {
        return -1;
    }
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    double ticks = 0;
    int read = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14) { // utime, stime
            ticks += std::stod(field);
            ++read;
        }
    }
    if (read != 2) {
        return -1;
    }
    return ticks * 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

int openDescriptors(pid_t pid)
{
    std::error_code error;
    std::filesystem::directory_iterator it(procPath(pid, "fd"), error);
    if (error) {
        return -1;
    }
    int count = 0;
    for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
        ++count;
    }
    return error ? -1 : count;
}

std::string memoryMaps(pid_t pid)
{
    std::ifstream in(procPath(pid, "maps"));
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace harness
