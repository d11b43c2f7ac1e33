#pragma once

// Text of the Windows API for the Windows-only parts of other libraries (the
// CryptoAPI certificate decoder), so that one conversion serves them all.
// Implemented in TextWindows.cpp; there is no Linux counterpart.

#include <cstddef>
#include <string>

namespace platform {

// UTF-16 as UTF-8; empty for an empty text or one the system cannot convert.
std::string wideToUtf8(const wchar_t* wide, std::size_t units);
// UTF-8 as UTF-16; false, and `wide` empty, for invalid UTF-8.
bool utf8ToWide(const std::string& utf8, std::wstring& wide);

} // namespace platform
