#include "platform/process/Process.h"
#include "platform/text/WindowsText.h"

#include <windows.h>
#include <aclapi.h>

#include <tlhelp32.h>

#include <cwchar>

namespace platform {
namespace {

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
    if (!utf8ToWide(name, wideName)) {
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
    if (!utf8ToWide(name, wideName)) {
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
    if (!utf8ToWide(name, wideName)) {
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

} // namespace platform
