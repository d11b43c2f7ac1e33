#pragma once

// What /proc says about a running process, for the tests, the benchmark and
// the soak. Each returns -1 (or an empty text) once the process is gone.

#include <sys/types.h>

#include <string>

namespace harness {

// A figure in KiB from /proc/PID/status: "VmRSS", "VmHWM"...
long statusKiB(pid_t pid, const std::string& field);

// User plus system CPU time used so far, in microseconds (clock-tick
// resolution), from /proc/PID/stat.
double cpuMicroseconds(pid_t pid);

// How many descriptors the process holds open.
int openDescriptors(pid_t pid);

// The text of /proc/PID/maps.
std::string memoryMaps(pid_t pid);

} // namespace harness
