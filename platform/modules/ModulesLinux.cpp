#include "platform/modules/ExportTable.h"
#include "platform/modules/Modules.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

namespace platform {
namespace {

// Read once: every plug-in load asks, and the running executable's
// directory does not change.
std::string executableDirectory()
{
    static const std::string directory = [] {
        char buffer[PATH_MAX];
        const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        if (n <= 0) {
            return std::string();
        }
        std::string path(buffer, static_cast<std::size_t>(n));
        const auto slash = path.rfind('/');
        return slash == std::string::npos ? std::string() : path.substr(0, slash);
    }();
    return directory;
}

std::string withLinuxSuffix(std::string name)
{
    if (name.find('.') == std::string::npos) {
        name += ".so";
    } else if (name.back() == '.') {
        name.pop_back();
    }
    return name;
}

bool isRegularFile(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A descriptor closed when it goes out of scope.
struct FileDescriptor {
    int fd = -1;
    explicit FileDescriptor(int value) : fd(value) {}
    ~FileDescriptor()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
};

// The file read-only in memory, for the export reader. A failed map leaves it empty.
class MappedFile {
public:
    MappedFile(int fd, std::size_t size)
        : m_size(size)
    {
        void* data = size == 0 ? MAP_FAILED : ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        m_data = data == MAP_FAILED ? nullptr : static_cast<const std::uint8_t*>(data);
    }
    ~MappedFile()
    {
        if (m_data != nullptr) {
            ::munmap(const_cast<std::uint8_t*>(m_data), m_size);
        }
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    const std::uint8_t* data() const { return m_data; }
    std::size_t size() const { return m_data == nullptr ? 0 : m_size; }

private:
    const std::uint8_t* m_data = nullptr;
    std::size_t m_size;
};

#if defined(__x86_64__) || defined(__LP64__)
constexpr bool kWide = true;
#else
constexpr bool kWide = false;
#endif

#if defined(__x86_64__)
constexpr std::uint16_t kMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr std::uint16_t kMachine = EM_AARCH64;
#elif defined(__i386__)
constexpr std::uint16_t kMachine = EM_386;
#elif defined(__arm__)
constexpr std::uint16_t kMachine = EM_ARM;
#else
#error "the ELF machine of this platform is not known here"
#endif

bool isOwnKind(const ExportScan& scan)
{
    return scan.format == ExportScan::Format::elf && scan.wide == kWide && scan.machine == kMachine;
}

// What the loader's cache (/etc/ld.so.cache, written by ldconfig) maps a
// library name to. Entries carry the flags of their ABI; the right flags are
// those of the entry for the C library this process runs with, so nothing
// about the architecture is assumed here.
std::string cachedLibraryPath(const std::string& name)
{
    const FileDescriptor file(::open("/etc/ld.so.cache", O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return {};
    }
    const MappedFile cache(file.fd, static_cast<std::size_t>(st.st_size));
    constexpr std::string_view kMagic = "glibc-ld.so.cache1.1";
    constexpr std::size_t kHeader = 48;
    constexpr std::size_t kEntry = 24;
    const std::uint8_t* data = cache.data();
    const std::size_t size = cache.size();
    if (size < kHeader || std::string_view(reinterpret_cast<const char*>(data), kMagic.size()) != kMagic) {
        return {};
    }
    const auto u32 = [data](std::size_t at) {
        std::uint32_t value;
        std::memcpy(&value, data + at, sizeof value);
        return value;
    };
    const std::uint32_t count = u32(20);
    if (count > (size - kHeader) / kEntry) {
        return {};
    }
    // Offsets of texts count from the start of the file.
    const auto text = [data, size](std::uint32_t offset) {
        if (offset >= size) {
            return std::string_view();
        }
        const void* end = std::memchr(data + offset, 0, size - offset);
        return end == nullptr ? std::string_view()
                              : std::string_view(reinterpret_cast<const char*>(data + offset),
                                                 static_cast<const std::uint8_t*>(end) - (data + offset));
    };
    std::string libc;
    if (void* self = ::dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD)) {
        link_map* map = nullptr;
        if (::dlinfo(self, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr) {
            libc = map->l_name;
        }
        ::dlclose(self);
    }
    std::optional<std::uint32_t> flags;
    for (std::uint32_t i = 0; i < count && !flags; ++i) {
        const std::size_t at = kHeader + i * kEntry;
        if (text(u32(at + 4)) == "libc.so.6" && text(u32(at + 8)) == libc) {
            flags = u32(at);
        }
    }
    for (std::uint32_t i = 0; i < count && flags; ++i) {
        const std::size_t at = kHeader + i * kEntry;
        std::uint64_t hwcap;
        std::memcpy(&hwcap, data + at + 16, sizeof hwcap);
        // Entries for particular processor features live in subdirectories
        // the loader picks by itself; the plain entry is the one it falls back to.
        if (u32(at) == *flags && hwcap == 0 && text(u32(at + 4)) == name) {
            return std::string(text(u32(at + 8)));
        }
    }
    return {};
}

// The directories dlopen searches for a bare name, in its order: the
// caller's RPATH, LD_LIBRARY_PATH and RUNPATH, then the cache, then the
// default directories. The loader itself lists all but the cache.
std::vector<std::string> searchCandidates(const std::string& name)
{
    std::vector<std::string> candidates;
    void* self = ::dlopen(nullptr, RTLD_LAZY);
    Dl_serinfo sizes {};
    if (self == nullptr || ::dlinfo(self, RTLD_DI_SERINFOSIZE, &sizes) != 0) {
        return candidates;
    }
    std::unique_ptr<std::max_align_t[]> buffer(
        new std::max_align_t[sizes.dls_size / sizeof(std::max_align_t) + 1]);
    auto* info = reinterpret_cast<Dl_serinfo*>(buffer.get());
    *info = sizes;
    bool cacheAdded = false;
    const auto addCache = [&]() {
        const std::string cached = cachedLibraryPath(name);
        if (!cached.empty()) {
            candidates.push_back(cached);
        }
        cacheAdded = true;
    };
    if (::dlinfo(self, RTLD_DI_SERINFO, info) == 0) {
        for (unsigned i = 0; i < info->dls_cnt; ++i) {
            const Dl_serpath& path = info->dls_serpath[i];
            if (!cacheAdded && (path.dls_flags & LA_SER_DEFAULT) != 0) {
                addCache();
            }
            candidates.push_back(std::string(path.dls_name) + "/" + name);
        }
    }
    if (!cacheAdded) {
        addCache();
    }
    ::dlclose(self);
    return candidates;
}

enum class Pick { found, skipped, missing };

// What the export reader found in a file, kept per file identity, so that
// a page loading the same plug-in over and over does not have the whole
// file mapped and read each time. The change time is part of the identity:
// unlike the modification time, no one can set it back.
class ExportScanCache {
public:
    std::optional<ExportScan> find(const struct stat& st, const char* entryName)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        for (const Entry& entry : m_entries) {
            if (sameFile(entry.identity, st) && entry.entryName == entryName) {
                return entry.scan;
            }
        }
        return std::nullopt;
    }

    void remember(const struct stat& st, const char* entryName, const ExportScan& scan)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_entries.size() >= kCapacity) {
            m_entries.erase(m_entries.begin()); // the oldest
        }
        m_entries.push_back(Entry{st, entryName, scan});
    }

private:
    static constexpr std::size_t kCapacity = 32; // plug-ins on one machine are few
    struct Entry {
        struct stat identity;
        std::string entryName;
        ExportScan scan;
    };
    static bool sameFile(const struct stat& a, const struct stat& b)
    {
        return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
               a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
               a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
    }
    std::mutex m_mutex;
    std::vector<Entry> m_entries;
};

ExportScanCache& exportScanCache()
{
    static ExportScanCache cache;
    return cache;
}

// Checks the file at path as the loader would open it and, when it exports
// entryName, loads it by that same path. The file is read through one
// descriptor; before the load the path must still name that very file, so
// a file swapped in between is refused rather than run. The library is
// loaded by its path rather than through /proc/self/fd: plug-ins find what
// they ship with through $ORIGIN, which names the directory of the path
// they were loaded by.
PluginLoad checkAndLoad(const std::string& path, const char* entryName, bool searching, ModuleHandle& module,
                        std::uint32_t& error, Pick& pick)
{
    pick = Pick::found;
    // A file checked before and still the very same needs no second
    // reading; the stat that tells is the identity check before the load.
    struct stat named {};
    std::optional<ExportScan> known;
    if (::stat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode)) {
        known = exportScanCache().find(named, entryName);
    }
    const bool checkedBefore = known.has_value();
    struct stat opened {};
    if (!checkedBefore) {
        const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (file.fd < 0 || ::fstat(file.fd, &opened) != 0) {
            const bool missing = errno == ENOENT || errno == ENOTDIR;
            // The loader searches on past a file it may not read.
            pick = missing ? Pick::missing : searching && errno == EACCES ? Pick::skipped : Pick::found;
            error = missing ? kErrorModuleNotFound : kErrorBadFormat;
            return PluginLoad::failed;
        }
        error = kErrorBadFormat;
        if (!S_ISREG(opened.st_mode)) {
            return PluginLoad::failed;
        }
        const MappedFile image(file.fd, static_cast<std::size_t>(opened.st_size));
        known = scanExports(image.data(), image.size(), entryName);
        // A file that could not be mapped is read again next time.
        if (image.data() != nullptr) {
            exportScanCache().remember(opened, entryName, *known);
        }
    }
    error = kErrorBadFormat;
    const ExportScan scan = *known;
    if (searching && scan.format == ExportScan::Format::elf && !isOwnKind(scan)) {
        pick = Pick::skipped; // the loader passes over a library of another machine
        return PluginLoad::failed;
    }
    if (!isOwnKind(scan) || !scan.library) {
        return PluginLoad::failed;
    }
    if (!scan.exported) {
        return PluginLoad::noEntry;
    }
    if (!checkedBefore &&
        (::stat(path.c_str(), &named) != 0 || named.st_dev != opened.st_dev || named.st_ino != opened.st_ino)) {
        return PluginLoad::failed;
    }
    module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module != nullptr) {
        return PluginLoad::loaded;
    }
    // A dependency that cannot be found is reported as not found.
    const char* message = ::dlerror();
    error = message == nullptr || std::strstr(message, "No such file") != nullptr ? kErrorModuleNotFound
                                                                                 : kErrorBadFormat;
    return PluginLoad::failed;
}

} // namespace

ModuleHandle loadModule(const std::string& utf8Name, std::uint32_t& error)
{
    const std::string fileName = withLinuxSuffix(utf8Name);
    if (fileName.empty()) {
        error = kErrorModuleNotFound;
        return nullptr;
    }

    const std::string besideExecutable = executableDirectory() + "/" + fileName;
    if (isRegularFile(besideExecutable)) {
        if (void* handle = ::dlopen(besideExecutable.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            return handle;
        }
        error = kErrorBadFormat;
        return nullptr;
    }

    if (void* handle = ::dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        return handle;
    }
    // dlopen gives only a message; "No such file" is the one way of saying
    // that nothing was found on the search path.
    const char* message = ::dlerror();
    const bool notFound = message == nullptr || std::strstr(message, "No such file") != nullptr;
    error = notFound ? kErrorModuleNotFound : kErrorBadFormat;
    return nullptr;
}

PluginLoad loadPluginModule(const std::string& utf8Name, const char* entryName, ModuleHandle& module,
                            std::uint32_t& error)
{
    module = nullptr;
    error = kErrorModuleNotFound;
    const std::string fileName = withLinuxSuffix(utf8Name);
    if (fileName.empty()) {
        return PluginLoad::failed;
    }
    Pick pick = Pick::missing;
    const std::string besideExecutable = executableDirectory() + "/" + fileName;
    if (isRegularFile(besideExecutable)) {
        return checkAndLoad(besideExecutable, entryName, false, module, error, pick);
    }
    if (fileName.find('/') != std::string::npos) {
        return checkAndLoad(fileName, entryName, false, module, error, pick);
    }
    // Already in the process under that name: the loader hands it out
    // without searching, and nothing of it runs again.
    if (void* loaded = ::dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD)) {
        if (::dlsym(loaded, entryName) != nullptr) {
            module = loaded;
            return PluginLoad::loaded;
        }
        ::dlclose(loaded);
        return PluginLoad::noEntry;
    }
    bool passedOver = false;
    for (const std::string& candidate : searchCandidates(fileName)) {
        const PluginLoad result = checkAndLoad(candidate, entryName, true, module, error, pick);
        if (pick == Pick::found) {
            return result;
        }
        passedOver = passedOver || pick == Pick::skipped;
    }
    // Only files the loader passed over: it names the last reason, not "No such file".
    error = passedOver ? kErrorBadFormat : kErrorModuleNotFound;
    return PluginLoad::failed;
}

void* findSymbol(ModuleHandle module, const char* name)
{
    return module == nullptr ? nullptr : ::dlsym(module, name);
}

std::string modulePath(ModuleHandle module)
{
    link_map* map = nullptr;
    if (module == nullptr || ::dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr) {
        return {};
    }
    return map->l_name;
}

void freeModule(ModuleHandle module)
{
    if (module != nullptr) {
        ::dlclose(module);
    }
}

} // namespace platform
