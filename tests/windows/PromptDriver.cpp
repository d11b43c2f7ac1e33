// Plays the user at the service's PIN dialog under Wine: waits for the
// dialog, writes down what it shows, then types a PIN and presses OK, or
// presses Cancel, with window messages as a user's clicks would send them.
//   corvane_prompt_driver <action>... with actions pin=<PIN>, confirm,
//   cancel, look (leaves it open) and sleep=<ms>, one per dialog in turn
// What it saw goes to standard output, one "name: value" line per item.

#include <windows.h>

#include <cstdio>
#include <cwchar>
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

HWND s_last = nullptr;

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

// One dialog: waits for it, reports it, acts on it.
int handle(const std::wstring& action, HWND previous)
{
    HWND dialog = nullptr;
    int waited = 0;
    for (; waited < 800 && dialog == nullptr; ++waited) {
        if (previous == nullptr || !::IsWindow(previous)) {
            ::EnumWindows(findPrompt, reinterpret_cast<LPARAM>(&dialog));
        }
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
    std::printf("waited: %d ms\n", waited * 50);
    std::printf("title: %s\n", oneLine(textOf(dialog)).c_str());
    std::printf("description: %s\n", oneLine(textOf(::GetDlgItem(dialog, 101))).c_str());
    std::printf("error: %s\n", oneLine(textOf(::GetDlgItem(dialog, 102))).c_str());
    std::printf("ok: %s\n", oneLine(textOf(::GetDlgItem(dialog, IDOK))).c_str());
    std::printf("field: %s\n", field == nullptr ? "none"
                               : (::GetWindowLongW(field, GWL_STYLE) & ES_PASSWORD) != 0 ? "password"
                                                                                          : "plain");
    std::printf("topmost: %s\n", (::GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0 ? "yes" : "no");
    std::fflush(stdout);
    if (action.rfind(L"pin=", 0) == 0 && field != nullptr) {
        ::SendMessageW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(action.c_str() + 4));
        ::SendMessageW(::GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    } else if (action == L"confirm") {
        ::SendMessageW(::GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    } else if (action == L"cancel") {
        ::SendMessageW(::GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
    }
    // "look" leaves it open.
    s_last = dialog;
    return 0;
}

} // namespace

// Each argument is one dialog's action, in the order the dialogs come.
int wmain(int argc, wchar_t** argv)
{
    HWND previous = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::wstring action = argv[i];
        if (action.rfind(L"sleep=", 0) == 0) {
            ::Sleep(static_cast<DWORD>(std::wcstoul(action.c_str() + 6, nullptr, 10)));
            continue;
        }
        if (handle(action, previous) != 0) {
            return 2;
        }
        if (action != L"look") {
            previous = s_last; // the next action waits for a new dialog
        }
        std::printf("--\n");
        std::fflush(stdout);
    }
    return 0;
}
