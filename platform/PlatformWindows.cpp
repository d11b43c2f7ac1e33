#include "platform/Platform.h"

#include <windows.h>

namespace platform {
namespace {

// Proper UTF-16, surrogate pairs included. Empty on invalid UTF-8, so a
// malformed name never reaches the loader in a lossy form.
bool toWide(const std::string& utf8, std::wstring& wide)
{
    wide.clear();
    if (utf8.empty()) {
        return true;
    }
    const int inLength = static_cast<int>(utf8.size());
    const int units = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), inLength, nullptr, 0);
    if (units <= 0) {
        return false;
    }
    wide.resize(static_cast<std::size_t>(units));
    return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), inLength, wide.data(), units)
           == units;
}

} // namespace

InstanceGuard::InstanceGuard(const std::string& name)
    : m_handle(0)
{
    std::wstring wideName;
    if (!toWide(name, wideName)) {
        return; // No guard at all; the listen step still refuses a second service.
    }
    // No "Global\\" or "Local\\" prefix: the name lives in the caller's session.
    const HANDLE mutex = ::CreateMutexW(nullptr, TRUE, wideName.c_str());
    // Read at once: anything called in between may overwrite it.
    const DWORD error = ::GetLastError();
    if (error == ERROR_ALREADY_EXISTS) {
        m_alreadyRunning = true;
        if (mutex != nullptr) {
            ::CloseHandle(mutex);
        }
        return;
    }
    m_handle = reinterpret_cast<std::intptr_t>(mutex);
}

InstanceGuard::~InstanceGuard()
{
    if (m_handle != 0) {
        ::CloseHandle(reinterpret_cast<HANDLE>(m_handle));
    }
}

bool listenerMayReuseAddress()
{
    // SO_REUSEADDR on Windows lets a second socket bind a port that is being
    // listened on; the second instance must fail at bind instead.
    return false;
}

ModuleHandle loadModule(const std::string& utf8Name, std::uint32_t& error)
{
    std::wstring wideName;
    if (!toWide(utf8Name, wideName)) {
        error = kErrorInvalidName;
        return nullptr;
    }
    // The bare name as given: the system's search order and its ".dll"
    // default extension apply.
    const HMODULE module = ::LoadLibraryW(wideName.c_str());
    if (module == nullptr) {
        error = static_cast<std::uint32_t>(::GetLastError());
        return nullptr;
    }
    return reinterpret_cast<ModuleHandle>(module);
}

void* findSymbol(ModuleHandle module, const char* name)
{
    if (module == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

void freeModule(ModuleHandle module)
{
    if (module != nullptr) {
        ::FreeLibrary(static_cast<HMODULE>(module));
    }
}

} // namespace platform
