#pragma once

/*
 * The contract between the Corvane host and a plug-in library.
 *
 * A plug-in is a shared library (.so on Linux, .dll on Windows) that exports
 * exactly one function under the plain, unmangled name "Invoke":
 *
 *     int Invoke(const char* method, const char* param, char** result);
 *
 *  - method: the request's "Method", UTF-8, NUL-terminated, never null or empty.
 *  - param:  the request's "Param", or "{}" when it gave none; UTF-8,
 *            NUL-terminated, never null. The host does not look into it.
 *  - result: set to null by the host before every call. The plug-in may store
 *            a NUL-terminated UTF-8 text there, allocated with `new char[n]`.
 *            The host copies it and releases it with `delete[]`, so the plug-in
 *            and the host must share one C++ runtime heap (on Linux the shared
 *            libstdc++; on Windows both link the MinGW runtime statically
 *            and use the process heap underneath).
 *  - return: 0 means success, anything else failure. A stored text is used as
 *            the answer either way.
 *
 * The host calls Invoke on one thread, one call at a time, and waits for it.
 */

#if defined(_WIN32)
#define CORVANE_PLUGIN_EXPORT extern "C" __declspec(dllexport)
#else
#define CORVANE_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#define CORVANE_PLUGIN_ENTRY_NAME "Invoke"

using CorvaneInvokeFn = int (*)(const char* method, const char* param, char** result);
