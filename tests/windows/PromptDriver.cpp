// Plays the user at the service's PIN dialog under Wine: waits for the
// dialog, writes down what it shows, then types a PIN and presses OK, or
// presses Cancel, with window messages as a user's clicks would send them.
//   corvane_prompt_driver pin <PIN> | cancel | look
// What it saw goes to standard output, one "name: value" line per item.

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string utf8(const std::wstring& text)
{
    if (text.empty()) {
        return {};
    }
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), bytes, nullptr, nullptr);
    return out;
}

std::wstring textOf(HWND window)
{
    wchar_t buffer[4096] = {};
    ::GetWindowTextW(window, buffer, 4096);
    return buffer;
}

BOOL CALLBACK findPrompt(HWND window, LPARAM found)
{
    wchar_t cls[64] = {};
    ::GetClassNameW(window, cls, 64);
    if (::IsWindowVisible(window) && std::wstring(cls) == L"#32770" && textOf(window).rfind(L"Corvane: ", 0) == 0) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

// Line breaks shown as "|" so that each item stays on one line.
std::string oneLine(const std::wstring& text)
{
    std::wstring flat;
    for (wchar_t c : text) {
        if (c == L'\n') {
            flat += L'|';
        } else if (c != L'\r') {
            flat += c;
        }
    }
    return utf8(flat);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring mode = argc > 1 ? argv[1] : L"look";
    HWND dialog = nullptr;
    for (int i = 0; i < 600 && dialog == nullptr; ++i) {
        ::EnumWindows(findPrompt, reinterpret_cast<LPARAM>(&dialog));
        if (dialog == nullptr) {
            ::Sleep(50);
        }
    }
    if (dialog == nullptr) {
        std::printf("no dialog\n");
        return 2;
    }
    ::Sleep(300); // let it finish drawing, for the screenshot
    HWND field = ::GetDlgItem(dialog, 100);
    std::printf("title: %s\n", oneLine(textOf(dialog)).c_str());
    std::printf("description: %s\n", oneLine(textOf(::GetDlgItem(dialog, 101))).c_str());
    std::printf("error: %s\n", oneLine(textOf(::GetDlgItem(dialog, 102))).c_str());
    std::printf("ok: %s\n", oneLine(textOf(::GetDlgItem(dialog, IDOK))).c_str());
    std::printf("field: %s\n", field == nullptr ? "none"
                               : (::GetWindowLongW(field, GWL_STYLE) & ES_PASSWORD) != 0 ? "password"
                                                                                          : "plain");
    std::printf("topmost: %s\n", (::GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0 ? "yes" : "no");
    std::fflush(stdout);
    if (mode == L"look") {
        return 0;
    }
    if (mode == L"pin" && argc > 2 && field != nullptr) {
        ::SendMessageW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[2]));
        ::SendMessageW(::GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    } else if (mode == L"confirm") {
        ::SendMessageW(::GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    } else {
        ::SendMessageW(::GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
    }
    return 0;
}
