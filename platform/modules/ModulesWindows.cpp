#include "platform/modules/ExportTable.h"
#include "platform/modules/Modules.h"
#include "platform/text/WindowsText.h"

#include <windows.h>
#include <psapi.h>

#include <cstdint>

namespace platform {
namespace {

#if defined(_M_X64) || defined(__x86_64__)
constexpr std::uint16_t kMachine = IMAGE_FILE_MACHINE_AMD64;
#elif defined(_M_ARM64) || defined(__aarch64__)
constexpr std::uint16_t kMachine = IMAGE_FILE_MACHINE_ARM64;
#else
constexpr std::uint16_t kMachine = IMAGE_FILE_MACHINE_I386;
#endif

// The readable extent of an image mapped as a resource: its regions follow
// one another from the base.
std::size_t mappedExtent(const std::uint8_t* base)
{
    std::size_t size = 0;
    MEMORY_BASIC_INFORMATION region {};
    constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                                PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    while (::VirtualQuery(base + size, &region, sizeof region) == sizeof region &&
           region.AllocationBase == base && region.State == MEM_COMMIT && (region.Protect & kReadable) != 0 &&
           (region.Protect & PAGE_GUARD) == 0) {
        size += region.RegionSize;
    }
    return size;
}

// The DOS path of the file mapped at address: the system names it by its
// device ("\Device\HarddiskVolume2\..."), which is turned back into a
// drive letter. Empty when that fails.
std::wstring mappedFilePath(const void* address)
{
    std::wstring device(MAX_PATH * 4, L'\0');
    const DWORD length = ::GetMappedFileNameW(::GetCurrentProcess(), const_cast<void*>(address), device.data(),
                                              static_cast<DWORD>(device.size()));
    if (length == 0 || length >= device.size()) {
        return {};
    }
    device.resize(length);
    // Some systems answer in the DOS device namespace ("\??\C:\..."), and a
    // network file lies below the redirector ("\Device\Mup\server\share\...").
    if (device.compare(0, 4, L"\\??\\") == 0 && device.size() > 6 && device[5] == L':') {
        return device.substr(4);
    }
    if (device.compare(0, 12, L"\\Device\\Mup\\") == 0) {
        return L"\\\\" + device.substr(12);
    }
    wchar_t drive[3] = L"A:";
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        drive[0] = letter;
        wchar_t target[MAX_PATH];
        if (::QueryDosDeviceW(drive, target, MAX_PATH) == 0) {
            continue;
        }
        const std::wstring prefix = std::wstring(target) + L"\\";
        if (device.compare(0, prefix.size(), prefix) == 0) {
            return std::wstring(drive) + device.substr(prefix.size() - 1);
        }
    }
    return {};
}

// The path of a file as LoadLibraryW must be given it to load that very
// file: it appends ".dll" to a file name without an extension, a path
// included, unless the name ends in a dot ("no extension").
std::wstring loaderPath(std::wstring path)
{
    const std::size_t name = path.find_last_of(L"\\/");
    if (!path.empty() && path.find(L'.', name == std::wstring::npos ? 0 : name + 1) == std::wstring::npos) {
        path += L'.';
    }
    return path;
}

} // namespace

ModuleHandle loadModule(const std::string& utf8Name, std::uint32_t& error)
{
    std::wstring wideName;
    if (!utf8ToWide(utf8Name, wideName)) {
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

PluginLoad loadPluginModule(const std::string& utf8Name, const char* entryName, ModuleHandle& module,
                            std::uint32_t& error)
{
    module = nullptr;
    std::wstring wideName;
    if (!utf8ToWide(utf8Name, wideName)) {
        error = kErrorInvalidName;
        return PluginLoad::failed;
    }
    // Already in the process (kernel32 and the like): taking another
    // reference runs nothing.
    HMODULE loaded = nullptr;
    if (::GetModuleHandleExW(0, wideName.c_str(), &loaded)) {
        if (::GetProcAddress(loaded, entryName) != nullptr) {
            module = reinterpret_cast<ModuleHandle>(loaded);
            return PluginLoad::loaded;
        }
        ::FreeLibrary(loaded);
        return PluginLoad::noEntry;
    }
    // Mapped as an image resource, the file is found by the loader's own
    // search and laid out as an image, but no code of it or its imports runs.
    const HMODULE mapped = ::LoadLibraryExW(wideName.c_str(), nullptr,
                                            LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (mapped == nullptr) {
        // Mapping a data file reports a missing file as such, where loading
        // it says that the module was not found.
        const DWORD code = ::GetLastError();
        error = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? kErrorModuleNotFound
                                                                              : static_cast<std::uint32_t>(code);
        return PluginLoad::failed;
    }
    // The low bits of such a handle mark how it was mapped.
    const auto* base = reinterpret_cast<const std::uint8_t*>(reinterpret_cast<std::uintptr_t>(mapped) &
                                                             ~static_cast<std::uintptr_t>(3));
    const ExportScan scan = scanExports(base, mappedExtent(base), entryName, ImageLayout::mapped);
    PluginLoad result = PluginLoad::noEntry;
    if (scan.format != ExportScan::Format::pe || !scan.library || scan.machine != kMachine) {
        error = kErrorBadFormat;
        result = PluginLoad::failed;
    } else if (scan.exported) {
        // Loaded by the path of the file that was read; while the mapping is
        // held the file cannot be written or deleted.
        const std::wstring path = loaderPath(mappedFilePath(base));
        const HMODULE library = ::LoadLibraryW(path.empty() ? wideName.c_str() : path.c_str());
        if (library == nullptr) {
            error = static_cast<std::uint32_t>(::GetLastError());
            result = PluginLoad::failed;
        } else {
            module = reinterpret_cast<ModuleHandle>(library);
            result = PluginLoad::loaded;
        }
    }
    ::FreeLibrary(mapped);
    return result;
}

void* findSymbol(ModuleHandle module, const char* name)
{
    if (module == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

std::string modulePath(ModuleHandle module)
{
    if (module == nullptr) {
        return {};
    }
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(static_cast<HMODULE>(module), path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            return wideToUtf8(path.data(), length);
        }
        path.resize(path.size() * 2);
    }
}

void freeModule(ModuleHandle module)
{
    if (module != nullptr) {
        ::FreeLibrary(static_cast<HMODULE>(module));
    }
}

} // namespace platform
