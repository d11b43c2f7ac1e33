#include "platform/modules/ExportTable.h"
#include "platform/Platform.h"
#include "platform/text/WindowsText.h"

// winsock2.h before windows.h, which would bring in the old winsock.h.
#include <winsock2.h>
#include <windows.h>
#include <aclapi.h>
#include <iphlpapi.h>
#include <psapi.h>

#include <climits>
#include <cstring>

#include <tlhelp32.h>

#include <cwchar>

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


// SocketOwner.cpp reads the rows in this layout.
static_assert(sizeof(MIB_TCPROW_OWNER_PID) == sizeof(TcpRowOwnerPid));
static_assert(MIB_TCP_STATE_LISTEN == kTcpStateListen);

std::vector<TcpRowOwnerPid> tcpTableWithOwners()
{
    std::vector<unsigned char> buffer;
    DWORD size = 0;
    DWORD status = ERROR_INSUFFICIENT_BUFFER;
    // The table may grow between the call that sizes it and the one that fills it.
    for (int attempt = 0; attempt < 4 && status == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        buffer.resize(size + 16 * sizeof(MIB_TCPROW_OWNER_PID));
        size = static_cast<DWORD>(buffer.size());
        status = ::GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
    }
    std::vector<TcpRowOwnerPid> rows;
    if (status != NO_ERROR || size < sizeof(DWORD)) {
        return rows;
    }
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    const std::size_t count = table->dwNumEntries;
    if (count > (size - offsetof(MIB_TCPTABLE_OWNER_PID, table)) / sizeof(MIB_TCPROW_OWNER_PID)) {
        return rows;
    }
    rows.resize(count);
    std::memcpy(rows.data(), table->table, count * sizeof(MIB_TCPROW_OWNER_PID));
    return rows;
}

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

// Whether a kernel object was made by another user: only when its owner
// can be read and is neither this process's user, nor the owner it gives
// its own objects, nor the administrators (whose elevated processes own
// what they make, and who may do anything anyway). Another user with a
// process in this session can make an object of the guard's name first.
bool madeByAnotherUser(HANDLE object)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                          &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    bool another = false;
    HANDLE token = nullptr;
    if (owner != nullptr && !::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) &&
        ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        alignas(TOKEN_USER) unsigned char user[256];
        alignas(TOKEN_OWNER) unsigned char ownOwner[256];
        DWORD size = 0;
        if (::GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
            ::GetTokenInformation(token, TokenOwner, ownOwner, sizeof ownOwner, &size)) {
            another = !::EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user)->User.Sid) &&
                      !::EqualSid(owner, reinterpret_cast<TOKEN_OWNER*>(ownOwner)->Owner);
        }
        ::CloseHandle(token);
    }
    ::LocalFree(descriptor);
    return another;
}

// The guard's object when it exists and was made by another user, else null.
HANDLE foreignGuard(const std::wstring& name)
{
    const HANDLE mutex = ::OpenMutexW(SYNCHRONIZE | READ_CONTROL, FALSE, name.c_str());
    if (mutex != nullptr && !madeByAnotherUser(mutex)) {
        ::CloseHandle(mutex);
        return nullptr;
    }
    return mutex;
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
        // Another user's object of that name is no instance of this user's:
        // logged, and the service runs without the guard.
        if (mutex != nullptr && madeByAnotherUser(mutex)) {
            m_problem = "the guard " + name + " was made by another user";
        } else {
            m_alreadyRunning = true;
        }
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

namespace {

constexpr const wchar_t* kSupervisorVariable = L"CORVANE_SUPERVISOR_PID";

DWORD parentProcessId()
{
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    const DWORD self = ::GetCurrentProcessId();
    DWORD parent = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == self) {
            parent = entry.th32ParentProcessID;
            break;
        }
    }
    ::CloseHandle(snapshot);
    return parent;
}

// An inheritable copy of a standard handle for the service, or null.
HANDLE inheritableStandardHandle(DWORD which)
{
    const HANDLE handle = ::GetStdHandle(which);
    HANDLE copy = nullptr;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
        !::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, TRUE,
                           DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}

// The job of every service this supervisor starts. Its only handle closes
// with the supervisor, and kill-on-close then ends the service.
HANDLE serviceJob()
{
    static const HANDLE job = [] {
        const HANDLE created = ::CreateJobObjectW(nullptr, nullptr);
        if (created == nullptr) {
            return created;
        }
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!::SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
            ::CloseHandle(created);
            return HANDLE{nullptr};
        }
        return created;
    }();
    return job;
}

} // namespace

std::string instanceGuardProblem(const std::string& name)
{
    std::wstring wideName;
    if (!toWide(name, wideName)) {
        return {};
    }
    const HANDLE foreign = foreignGuard(wideName);
    if (foreign == nullptr) {
        return {};
    }
    ::CloseHandle(foreign);
    return "the guard " + name + " was made by another user";
}

GuardState probeInstanceGuard(const std::string& name)
{
    std::wstring wideName;
    if (!toWide(name, wideName)) {
        return GuardState::unknown;
    }
    if (const HANDLE foreign = foreignGuard(wideName)) {
        ::CloseHandle(foreign);
        return GuardState::free;
    }
    const HANDLE mutex = ::OpenMutexW(SYNCHRONIZE, FALSE, wideName.c_str());
    if (mutex != nullptr) {
        ::CloseHandle(mutex);
        return GuardState::held;
    }
    return ::GetLastError() == ERROR_FILE_NOT_FOUND ? GuardState::free : GuardState::unknown;
}

void useUtf8Console()
{
    ::SetConsoleOutputCP(CP_UTF8);
}

bool supervisesService()
{
    return true;
}

bool isSupervisedService()
{
    wchar_t value[16] = {};
    const DWORD length = ::GetEnvironmentVariableW(kSupervisorVariable, value, 16);
    if (length == 0) {
        return false;
    }
    ::SetEnvironmentVariableW(kSupervisorVariable, nullptr);
    if (length >= 16) {
        return false;
    }
    wchar_t* end = nullptr;
    const unsigned long claimed = std::wcstoul(value, &end, 10);
    return end != value && *end == L'\0' && claimed != 0 && claimed == parentProcessId();
}

std::optional<std::uint32_t> runSupervisedService(std::string& error)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            error = "no path of this program (Windows error " + std::to_string(::GetLastError()) + ")";
            return std::nullopt;
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const HANDLE job = serviceJob();
    if (job == nullptr) {
        error = "no job object to tie the service to this process (Windows error " +
                std::to_string(::GetLastError()) + ")";
        return std::nullopt;
    }
    ::SetEnvironmentVariableW(kSupervisorVariable, std::to_wstring(::GetCurrentProcessId()).c_str());

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inheritableStandardHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = inheritableStandardHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = inheritableStandardHandle(STD_ERROR_HANDLE);
    std::wstring commandLine = L"\"" + path + L"\"";
    PROCESS_INFORMATION process{};
    // Suspended until it is in the job, so that no moment exists in which
    // ending the supervisor would leave it behind.
    const BOOL created = ::CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                                          nullptr, nullptr, &startup, &process);
    const DWORD createError = ::GetLastError();
    for (const HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
        if (handle != nullptr) {
            ::CloseHandle(handle);
        }
    }
    if (!created) {
        error = "the service process could not be started (Windows error " + std::to_string(createError) + ")";
        return std::nullopt;
    }
    if (!::AssignProcessToJobObject(job, process.hProcess)) {
        error = "the service process could not be put in the supervisor's job (Windows error " +
                std::to_string(::GetLastError()) + ")";
        ::TerminateProcess(process.hProcess, 1);
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
        return std::nullopt;
    }
    ::ResumeThread(process.hThread);
    ::CloseHandle(process.hThread);
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hProcess);
    return code;
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

PluginLoad loadPluginModule(const std::string& utf8Name, const char* entryName, ModuleHandle& module,
                            std::uint32_t& error)
{
    module = nullptr;
    std::wstring wideName;
    if (!toWide(utf8Name, wideName)) {
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

OriginPolicySource readOriginPolicySource()
{
    constexpr const wchar_t* kKey = L"SOFTWARE\\Policies\\Corvane";
    constexpr const wchar_t* kValue = L"AllowedOrigins";
    OriginPolicySource source;
    source.location = "HKLM\\SOFTWARE\\Policies\\Corvane\\AllowedOrigins";

    // RRF_RT_REG_MULTI_SZ guarantees the terminating empty string; a value of
    // another type is reported as unsupported and counts as unreadable.
    std::wstring data;
    LSTATUS status = ERROR_MORE_DATA;
    for (int attempt = 0; attempt < 4 && status == ERROR_MORE_DATA; ++attempt) {
        DWORD size = 0;
        status = ::RegGetValueW(HKEY_LOCAL_MACHINE, kKey, kValue, RRF_RT_REG_MULTI_SZ, nullptr, nullptr, &size);
        if (status != ERROR_SUCCESS) {
            break;
        }
        data.assign(size / sizeof(wchar_t) + 1, L'\0');
        size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        status = ::RegGetValueW(HKEY_LOCAL_MACHINE, kKey, kValue, RRF_RT_REG_MULTI_SZ, nullptr, data.data(), &size);
        if (status == ERROR_SUCCESS) {
            data.resize(size / sizeof(wchar_t));
        }
    }
    if (status == ERROR_FILE_NOT_FOUND) {
        // Only a value that is not there means no policy. The key as a link
        // that leads nowhere is a broken policy, and a broken one refuses
        // every origin.
        HKEY link = nullptr;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE, &link) == ERROR_SUCCESS) {
            DWORD type = REG_NONE;
            const LSTATUS linkStatus =
                ::RegQueryValueExW(link, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr);
            ::RegCloseKey(link);
            HKEY target = nullptr;
            if (linkStatus == ERROR_SUCCESS && type == REG_LINK) {
                const LSTATUS targetStatus = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &target);
                if (targetStatus == ERROR_SUCCESS) {
                    ::RegCloseKey(target);
                } else {
                    source.state = OriginPolicySource::State::unreadable;
                    source.error = "the key is a link that leads nowhere";
                }
            }
        }
        return source;
    }
    if (status != ERROR_SUCCESS) {
        source.state = OriginPolicySource::State::unreadable;
        source.error = status == ERROR_UNSUPPORTED_TYPE ? std::string("not of type REG_MULTI_SZ")
                                                        : "Windows error " + std::to_string(status);
        return source;
    }
    source.state = OriginPolicySource::State::read;
    // The strings follow one another, each ended by a NUL; an empty one ends the list.
    for (std::size_t at = 0; at < data.size() && data[at] != L'\0';) {
        const std::size_t end = data.find(L'\0', at);
        const std::size_t length = (end == std::wstring::npos ? data.size() : end) - at;
        source.lines.push_back(wideToUtf8(data.data() + at, length));
        at += length + 1;
    }
    return source;
}

void raiseDescriptorLimit()
{
    // Sockets on Windows are kernel handles without a per-process limit to lift.
}

void returnLargeBuffersWhenFreed()
{
    // The Windows heap serves large blocks from their own virtual allocations
    // and releases them when freed.
}

bool standardStreamUsable(StandardStream stream)
{
    const HANDLE handle = ::GetStdHandle(stream == StandardStream::output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

std::filesystem::path userLogDirectory()
{
    const DWORD needed = ::GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
    if (needed == 0) {
        return {};
    }
    std::wstring directory(needed, L'\0');
    const DWORD length = ::GetEnvironmentVariableW(L"LOCALAPPDATA", directory.data(), needed);
    if (length == 0 || length >= needed) {
        return {};
    }
    directory.resize(length);
    return std::filesystem::path(directory) / L"Corvane";
}

SocketOwner findSocketOwner(const Ipv4Endpoint& local, const Ipv4Endpoint& remote)
{
    SocketOwner owner;
    const std::vector<TcpRowOwnerPid> rows = tcpTableWithOwners();
    const TcpRowOwnerPid* row = findTcpRow(rows, local, remote);
    // PID 0 is no owner: the idle process holds no sockets, and a platform
    // that names no owners writes 0 in every row.
    if (row == nullptr || row->owningPid == 0) {
        return owner;
    }
    DWORD session = 0;
    if (!::ProcessIdToSessionId(row->owningPid, &session)) {
        return owner; // the process is gone
    }
    owner.found = true;
    owner.user = session;
    owner.pid = row->owningPid;
    return owner;
}

void describeOwnerProcess(SocketOwner& owner, OwnerSearch)
{
    if (!owner.found || owner.pid <= 0) {
        return;
    }
    const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(owner.pid));
    if (process == nullptr) {
        return;
    }
    wchar_t path[MAX_PATH * 2];
    DWORD length = MAX_PATH * 2;
    if (::QueryFullProcessImageNameW(process, 0, path, &length)) {
        const std::string full = wideToUtf8(path, length);
        const auto separator = full.find_last_of("\\/");
        owner.executable = separator == std::string::npos ? full : full.substr(separator + 1);
    }
    ::CloseHandle(process);
}

std::uint64_t currentUser()
{
    DWORD session = 0;
    // A failure leaves session 0, which a user's desktop never is.
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
    return session;
}

std::int64_t currentProcessId()
{
    return ::GetCurrentProcessId();
}

std::string describeUser(std::uint64_t user)
{
    return "session " + std::to_string(user);
}

std::string wideToUtf8(const wchar_t* wide, std::size_t units)
{
    if (units == 0 || units > static_cast<std::size_t>(INT_MAX)) {
        return {};
    }
    const int count = static_cast<int>(units);
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide, count, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
        return {};
    }
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide, count, utf8.data(), bytes, nullptr, nullptr);
    return utf8;
}

bool utf8ToWide(const std::string& utf8, std::wstring& wide)
{
    return toWide(utf8, wide);
}

} // namespace platform
