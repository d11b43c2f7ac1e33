#include "platform/paths/Paths.h"
#include "platform/text/WindowsText.h"

#include <windows.h>

namespace platform {

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

} // namespace platform
