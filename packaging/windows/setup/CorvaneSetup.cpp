// The installer's custom action for ALLOWEDORIGINS (origins separated by
// white space): Windows Installer cannot split a property into the strings
// of a REG_MULTI_SZ, so this adds temporary rows to the Registry table, in the
// component of Corvane.exe, before costing:
//   HKLM\SOFTWARE\Policies\Corvane  AllowedOrigins          one origin per string
//   HKLM\SOFTWARE\Corvane           InstalledAllowedOrigins the same, one line
// The second one records that the installer wrote the first: an upgrade
// without the property writes it again, and an uninstall adds the rows (so
// removes the values) only when it is there, leaving a value Group Policy
// wrote alone.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

namespace {

std::wstring property(MSIHANDLE install, const wchar_t* name)
{
    wchar_t empty[1] = L"";
    DWORD size = 0;
    if (::MsiGetPropertyW(install, name, empty, &size) != ERROR_MORE_DATA) {
        return {};
    }
    std::wstring value(size + 1, L'\0');
    size = static_cast<DWORD>(value.size());
    if (::MsiGetPropertyW(install, name, value.data(), &size) != ERROR_SUCCESS) {
        return {};
    }
    value.resize(size);
    return value;
}

std::wstring remembered()
{
    DWORD size = 0;
    const wchar_t* key = L"SOFTWARE\\Corvane";
    const wchar_t* name = L"InstalledAllowedOrigins";
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS) {
        return {};
    }
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, value.data(), &size) != ERROR_SUCCESS) {
        return {};
    }
    value.resize(value.find(L'\0'));
    return value;
}

std::vector<std::wstring> words(const std::wstring& text)
{
    std::vector<std::wstring> result;
    std::wstring word;
    for (const wchar_t c : text + L' ') {
        if (c == L' ' || c == L'\t' || c == L'\r' || c == L'\n') {
            if (!word.empty()) {
                result.push_back(word);
            }
            word.clear();
        } else {
            word += c;
        }
    }
    return result;
}

// The Registry table's Value column is formatted text: brackets and braces
// are escaped, so that an origin is written as given and never expanded as a
// property, a [~] or a conditional block.
std::wstring literal(const std::wstring& text)
{
    std::wstring result;
    for (const wchar_t c : text) {
        if (c == L'[' || c == L']' || c == L'{' || c == L'}') {
            result += L"[\\";
            result += c;
            result += L']';
        } else {
            result += c;
        }
    }
    return result;
}

class Handle {
public:
    Handle() = default;
    explicit Handle(MSIHANDLE handle) : m_handle(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle()
    {
        if (m_handle != 0) {
            ::MsiCloseHandle(m_handle);
        }
    }
    MSIHANDLE* out() { return &m_handle; }
    operator MSIHANDLE() const { return m_handle; }

private:
    MSIHANDLE m_handle = 0;
};

void log(MSIHANDLE install, const std::wstring& text)
{
    Handle record(::MsiCreateRecord(1));
    ::MsiRecordSetStringW(record, 0, (L"Corvane: " + text).c_str());
    ::MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
}

bool addRow(MSIHANDLE view, const wchar_t* id, const wchar_t* key, const wchar_t* name, const std::wstring& value)
{
    constexpr int kLocalMachine = 2;
    Handle record(::MsiCreateRecord(6));
    return ::MsiRecordSetStringW(record, 1, id) == ERROR_SUCCESS &&
           ::MsiRecordSetInteger(record, 2, kLocalMachine) == ERROR_SUCCESS &&
           ::MsiRecordSetStringW(record, 3, key) == ERROR_SUCCESS &&
           ::MsiRecordSetStringW(record, 4, name) == ERROR_SUCCESS &&
           ::MsiRecordSetStringW(record, 5, value.c_str()) == ERROR_SUCCESS &&
           ::MsiRecordSetStringW(record, 6, L"Service") == ERROR_SUCCESS &&
           ::MsiViewModify(view, MSIMODIFY_INSERT_TEMPORARY, record) == ERROR_SUCCESS;
}

} // namespace

extern "C" __declspec(dllexport) UINT __stdcall AddAllowedOrigins(MSIHANDLE install)
{
    // An uninstall removes only what an install wrote, never what it is told now.
    const bool removing = property(install, L"REMOVE") == L"ALL";
    std::vector<std::wstring> origins = words(removing ? std::wstring() : property(install, L"ALLOWEDORIGINS"));
    if (origins.empty()) {
        origins = words(remembered());
    }
    if (origins.empty()) {
        log(install, L"no ALLOWEDORIGINS, no origin policy written");
        return ERROR_SUCCESS;
    }
    // [~] at both ends: a REG_MULTI_SZ that replaces whatever was there.
    std::wstring multiString = L"[~]";
    std::wstring line;
    for (const std::wstring& origin : origins) {
        multiString += literal(origin) + L"[~]";
        line += (line.empty() ? L"" : L" ") + literal(origin);
    }

    Handle database(::MsiGetActiveDatabase(install));
    Handle view;
    if (database == 0 ||
        ::MsiDatabaseOpenViewW(database, L"SELECT `Registry`, `Root`, `Key`, `Name`, `Value`, `Component_` FROM `Registry`",
                               view.out()) != ERROR_SUCCESS ||
        ::MsiViewExecute(view, 0) != ERROR_SUCCESS ||
        !addRow(view, L"CorvaneAllowedOrigins", L"SOFTWARE\\Policies\\Corvane", L"AllowedOrigins", multiString) ||
        !addRow(view, L"CorvaneInstalledAllowedOrigins", L"SOFTWARE\\Corvane", L"InstalledAllowedOrigins", line)) {
        log(install, L"cannot add the origin policy to the Registry table");
        return ERROR_INSTALL_FAILURE;
    }
    log(install, std::wstring(removing ? L"removing" : L"writing") + L" the origin policy: " +
                     std::to_wstring(origins.size()) + L" origins");
    return ERROR_SUCCESS;
}
