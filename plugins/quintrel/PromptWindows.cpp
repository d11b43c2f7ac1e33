// Windows asks in a dialog of the service's own: a template built in memory,
// its controls made when it opens, so nothing but user32 is needed.

#include "PinPrompt.h"

#include "platform/text/WindowsText.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kPinId = 100;
constexpr int kDescriptionId = 101;
constexpr int kErrorId = 102;
constexpr int kPinLabelId = 103;
constexpr UINT_PTR kTimerId = 1;
constexpr INT_PTR kTimedOut = 3;

// Characters, not bytes: four UTF-8 bytes each at most, so a full field
// always fits the secret buffer.
constexpr int kMaxPinCharacters = static_cast<int>(SecretBuffer::kCapacity / 4);

// The shared texts make names safe to show; what the dialog cannot draw
// (text that is not UTF-8) is named so.
std::string displayable(const std::string& text)
{
    std::wstring check;
    return platform::utf8ToWide(text, check) ? text : std::string("(unreadable)");
}

// Windows' own controls want CR LF between lines.
std::wstring wide(const std::string& utf8)
{
    std::wstring converted;
    platform::utf8ToWide(utf8, converted);
    std::wstring lines;
    for (wchar_t c : converted) {
        if (c == L'\n') {
            lines += L'\r';
        }
        lines += c;
    }
    return lines;
}

// DLGTEMPLATE and what follows it, WORD-aligned: no menu, the standard
// class, an empty title (set when it opens) and the dialog font.
std::vector<WORD> dialogTemplate()
{
    std::vector<WORD> words(sizeof(DLGTEMPLATE) / sizeof(WORD), 0);
    DLGTEMPLATE header {};
    header.style = DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU;
    header.dwExtendedStyle = WS_EX_TOPMOST;
    header.cdit = 0;
    header.cx = 260;
    header.cy = 120;
    std::memcpy(words.data(), &header, sizeof header);
    words.push_back(0); // menu
    words.push_back(0); // class
    words.push_back(0); // title
    words.push_back(9); // point size
    for (const wchar_t* face = L"MS Shell Dlg"; *face != L'\0'; ++face) {
        words.push_back(static_cast<WORD>(*face));
    }
    words.push_back(0);
    return words;
}

struct DialogState {
    const PromptRequest* request = nullptr;
    SecretBuffer* pin = nullptr;
    bool pinTooLong = false;
};

// Reads the field into the secret and leaves no copy behind: not in our
// buffers, not in the control's.
void takePin(HWND dialog, DialogState& state)
{
    HWND field = ::GetDlgItem(dialog, kPinId);
    wchar_t typed[kMaxPinCharacters + 2];
    char utf8[SecretBuffer::kCapacity + 8];
    const int units = ::GetWindowTextW(field, typed, static_cast<int>(sizeof typed / sizeof typed[0]));
    state.pin->clear();
    int bytes = 0;
    if (units > 0) {
        bytes = ::WideCharToMultiByte(CP_UTF8, 0, typed, units, utf8, static_cast<int>(sizeof utf8), nullptr, nullptr);
    }
    for (int i = 0; i < bytes; ++i) {
        if (!state.pin->push(utf8[i])) {
            state.pinTooLong = true;
            state.pin->clear();
            break;
        }
    }
    if (units > kMaxPinCharacters) {
        state.pinTooLong = true;
        state.pin->clear();
    }
    // The control reuses its buffer for a text of the same length, so the
    // PIN is written over before the field is emptied.
    std::fill(typed, typed + sizeof typed / sizeof typed[0], L'\0');
    std::fill(typed, typed + (units > 0 ? units : 0), L'x');
    ::SetWindowTextW(field, typed);
    ::SetWindowTextW(field, L"");
    ::SecureZeroMemory(typed, sizeof typed);
    ::SecureZeroMemory(utf8, sizeof utf8);
}

HWND child(HWND dialog, const wchar_t* cls, const std::wstring& text, DWORD style, int id, const RECT& at, DWORD exStyle = 0)
{
    HWND control = ::CreateWindowExW(exStyle, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, at.left, at.top,
                                     at.right - at.left, at.bottom - at.top, dialog,
                                     reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
    if (control != nullptr) {
        ::SendMessageW(control, WM_SETFONT, ::SendMessageW(dialog, WM_GETFONT, 0, 0), FALSE);
    }
    return control;
}

// Dialog units to pixels in this dialog's font.
RECT units(HWND dialog, int x, int y, int cx, int cy)
{
    RECT r { x, y, x + cx, y + cy };
    ::MapDialogRect(dialog, &r);
    return r;
}

// Lays the dialog out from the texts; false when a control could not be made.
bool build(HWND dialog, const PromptRequest& request)
{
    PromptRequest shown = request;
    shown.origin = displayable(request.origin);
    shown.commonName = displayable(request.commonName);
    shown.issuer = displayable(request.issuer);
    shown.token = displayable(request.token);
    ::SetWindowTextW(dialog, wide(promptTitle(shown)).c_str());

    const std::wstring description = wide(promptDescription(shown));
    RECT text = units(dialog, 7, 7, 246, 8);
    // The description's height is what its wrapped lines need.
    HDC dc = ::GetDC(dialog);
    HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageW(dialog, WM_GETFONT, 0, 0)));
    RECT measure = text;
    ::DrawTextW(dc, description.c_str(), -1, &measure, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EDITCONTROL);
    ::SelectObject(dc, old);
    ::ReleaseDC(dialog, dc);
    text.bottom = text.top + (measure.bottom - measure.top);
    bool made = child(dialog, L"STATIC", description, SS_LEFT | SS_NOPREFIX | SS_EDITCONTROL, kDescriptionId, text) != nullptr;

    const RECT line = units(dialog, 0, 0, 4, 12);
    const int lineHeight = line.bottom - line.top;
    const RECT gap = units(dialog, 0, 0, 4, 6);
    int y = text.bottom + (gap.bottom - gap.top);
    if (!request.error.empty()) {
        RECT at = text;
        at.top = y;
        at.bottom = y + lineHeight;
        made = made && child(dialog, L"STATIC", wide(displayable(displayableName(request.error))), SS_LEFT | SS_NOPREFIX, kErrorId, at) != nullptr;
        y = at.bottom + (gap.bottom - gap.top);
    }
    if (!request.pinPad) {
        RECT label = units(dialog, 7, 0, 30, 10);
        label.top += y + 2;
        label.bottom += y + 2;
        RECT field = units(dialog, 40, 0, 213, 12);
        field.top += y;
        field.bottom += y;
        made = made && child(dialog, L"STATIC", L"PIN:", SS_LEFT, kPinLabelId, label) != nullptr;
        HWND edit = child(dialog, L"EDIT", L"", ES_PASSWORD | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, kPinId, field,
                          WS_EX_CLIENTEDGE);
        made = made && edit != nullptr;
        if (edit != nullptr) {
            ::SendMessageW(edit, EM_LIMITTEXT, kMaxPinCharacters, 0);
        }
        y = field.bottom + (gap.bottom - gap.top);
    }
    RECT ok = units(dialog, 146, 0, 50, 14);
    RECT cancel = units(dialog, 203, 0, 50, 14);
    for (RECT* button : { &ok, &cancel }) {
        button->bottom += y - button->top;
        button->top = y;
    }
    made = made && child(dialog, L"BUTTON", wide(promptOk(request)), BS_DEFPUSHBUTTON | WS_TABSTOP, IDOK, ok) != nullptr;
    made = made && child(dialog, L"BUTTON", L"Cancel", BS_PUSHBUTTON | WS_TABSTOP, IDCANCEL, cancel) != nullptr;

    // The window around the client area the controls need.
    RECT frame { 0, 0, text.right + (text.left), cancel.bottom + (gap.bottom - gap.top) };
    ::AdjustWindowRectEx(&frame, static_cast<DWORD>(::GetWindowLongPtrW(dialog, GWL_STYLE)), FALSE,
                         static_cast<DWORD>(::GetWindowLongPtrW(dialog, GWL_EXSTYLE)));
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    RECT work {};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    ::SetWindowPos(dialog, HWND_TOPMOST, work.left + (work.right - work.left - width) / 2,
                   work.top + (work.bottom - work.top - height) / 2, width, height, SWP_SHOWWINDOW);
    return made;
}

INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* state = reinterpret_cast<DialogState*>(::GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG: {
        state = reinterpret_cast<DialogState*>(lParam);
        ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        if (!build(dialog, *state->request) || ::SetTimer(dialog, kTimerId, kPromptSeconds * 1000, nullptr) == 0) {
            ::EndDialog(dialog, -1);
            return TRUE;
        }
        // In front of the browser that asked; where the system refuses the
        // focus to a background process, the taskbar button flashes.
        if (!::SetForegroundWindow(dialog)) {
            FLASHWINFO flash { sizeof(FLASHWINFO), dialog, FLASHW_ALL | FLASHW_TIMERNOFG, 0, 0 };
            ::FlashWindowEx(&flash);
        }
        HWND first = ::GetDlgItem(dialog, state->request->pinPad ? IDOK : kPinId);
        ::SetFocus(first);
        return FALSE;
    }
    case WM_CTLCOLORSTATIC:
        if (reinterpret_cast<HWND>(lParam) == ::GetDlgItem(dialog, kErrorId)) {
            HDC dc = reinterpret_cast<HDC>(wParam);
            ::SetTextColor(dc, RGB(192, 0, 0));
            ::SetBkMode(dc, TRANSPARENT);
            return reinterpret_cast<INT_PTR>(::GetSysColorBrush(COLOR_BTNFACE));
        }
        return FALSE;
    case WM_TIMER:
        if (wParam == kTimerId) {
            ::KillTimer(dialog, kTimerId);
            ::EndDialog(dialog, kTimedOut);
        }
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            if (state != nullptr && !state->request->pinPad) {
                takePin(dialog, *state);
            }
            ::KillTimer(dialog, kTimerId);
            ::EndDialog(dialog, IDOK);
            return TRUE;
        case IDCANCEL: // the Cancel button, Escape and the close box
            ::KillTimer(dialog, kTimerId);
            ::EndDialog(dialog, IDCANCEL);
            return TRUE;
        default:
            return FALSE;
        }
    default:
        return FALSE;
    }
}

// A service without a desktop of its own (a system service, a window
// station nobody sees) shows nothing, and says so.
bool onVisibleDesktop()
{
    USEROBJECTFLAGS flags {};
    DWORD needed = 0;
    HWINSTA station = ::GetProcessWindowStation();
    return station != nullptr && ::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed) &&
           (flags.dwFlags & WSF_VISIBLE) != 0;
}

class DialogPrompt : public PinPrompt {
public:
    PromptResult ask(const PromptRequest& request, SecretBuffer& pin) override
    {
        pin.clear();
        // One prompt at a time: a second one could only come from a message
        // dispatched inside the first one's loop.
        if (s_open || !onVisibleDesktop()) {
            return PromptResult::unavailable;
        }
        s_open = true;
        DialogState state;
        state.request = &request;
        state.pin = &pin;
        const std::vector<WORD> layout = dialogTemplate();
        const INT_PTR answer = ::DialogBoxIndirectParamW(
            ::GetModuleHandleW(nullptr), reinterpret_cast<const DLGTEMPLATE*>(layout.data()), nullptr, dialogProc,
            reinterpret_cast<LPARAM>(&state));
        s_open = false;
        if (answer == IDOK && !state.pinTooLong) {
            return request.pinPad ? PromptResult::confirmed : PromptResult::pin;
        }
        pin.clear();
        switch (answer) {
        case IDCANCEL:
            return PromptResult::cancelled;
        case kTimedOut:
            return PromptResult::timeout;
        case IDOK: // a PIN longer than any token takes
            return PromptResult::cancelled;
        default: // -1 or 0: no window could be made
            return PromptResult::unavailable;
        }
    }

private:
    static bool s_open;
};

bool DialogPrompt::s_open = false;

} // namespace

std::unique_ptr<PinPrompt> makeDesktopPrompt()
{
    return std::make_unique<DialogPrompt>();
}
