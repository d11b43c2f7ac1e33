#pragma once

// Loading shared libraries by bare file name, and plug-ins only after their
// export table shows the entry point. One source file per platform.

#include <cstdint>
#include <string>

namespace platform {

// Error codes reported for failed module loads. They are the Windows codes on
// every platform, so that a page sees the same protocol everywhere.
constexpr std::uint32_t kErrorInvalidName = 123;      // ERROR_INVALID_NAME
constexpr std::uint32_t kErrorModuleNotFound = 126;   // ERROR_MOD_NOT_FOUND
constexpr std::uint32_t kErrorBadFormat = 193;        // ERROR_BAD_EXE_FORMAT

using ModuleHandle = void*;

// Loads a shared library by bare file name with the platform's rules:
// Windows hands the UTF-16 name to LoadLibraryW; Linux appends ".so" to a
// name without '.', drops one trailing '.', and searches the directory of
// the running executable before the dynamic loader's own search path.
// Returns null on failure and stores the (Windows-style) error code.
ModuleHandle loadModule(const std::string& utf8Name, std::uint32_t& error);

enum class PluginLoad { loaded, noEntry, failed };

// Loads a plug-in by bare file name, finding the file as loadModule would,
// but only when that file exports entryName: the export table is read from
// the file first, so the initialiser of a library that is no plug-in never
// runs. loaded: module holds the library. noEntry: nothing was loaded.
// failed: error holds the code loadModule would have stored.
PluginLoad loadPluginModule(const std::string& utf8Name, const char* entryName, ModuleHandle& module,
                            std::uint32_t& error);

// Address of an exported symbol, or null.
void* findSymbol(ModuleHandle module, const char* name);

// The file a loaded module came from, or empty.
std::string modulePath(ModuleHandle module);

// Drops one reference on a module returned by loadModule. Null is ignored.
void freeModule(ModuleHandle module);

} // namespace platform
