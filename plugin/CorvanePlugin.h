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
 *
 * The host interface (optional). A plug-in that needs to know who is asking
 * also exports
 *
 *     void CorvaneSetHost(const CorvaneHost* host);
 *
 * The host looks it up after a load that found Invoke and, when it is there,
 * calls it once before any Invoke of that load, with a pointer that stays
 * valid for as long as the library is loaded. A plug-in without the export
 * is loaded and called exactly as one that never heard of it. The host
 * never calls CorvaneSetHost with a host of a lower version than 1; a
 * plug-in checks `version` before it uses a member added later.
 *
 *  - origin(): the Origin header of the connection whose call is running,
 *    exactly as the service received it at the WebSocket handshake
 *    ("https://app.example.org", "null"), or "" when the handshake had none.
 *    The page cannot change it after the handshake, which is why a plug-in
 *    that asks the user on a page's behalf names this origin and never one
 *    taken from the parameter. Call it only inside Invoke, on the thread
 *    that called Invoke; the text stays valid until Invoke returns. Outside
 *    Invoke it returns null.
 *
 * One library file loaded by several connections is one module in the
 * process, so a plug-in must not keep the origin between calls: origin()
 * answers for the call in progress.
 */

#if defined(_WIN32)
#define CORVANE_PLUGIN_EXPORT extern "C" __declspec(dllexport)
#else
#define CORVANE_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#define CORVANE_PLUGIN_ENTRY_NAME "Invoke"

using CorvaneInvokeFn = int (*)(const char* method, const char* param, char** result);

#define CORVANE_PLUGIN_HOST_ENTRY_NAME "CorvaneSetHost"

extern "C" {
struct CorvaneHost {
    unsigned version; // 1
    const char* (*origin)(void);
};
}

using CorvaneSetHostFn = void (*)(const CorvaneHost* host);
