#include "platform/text/WindowsText.h"

#include <windows.h>

#include <climits>

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
