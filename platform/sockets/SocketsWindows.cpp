#include "platform/sockets/Sockets.h"
#include "platform/text/WindowsText.h"

// winsock2.h before windows.h, which would bring in the old winsock.h.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace platform {
namespace {

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

} // namespace

bool listenerMayReuseAddress()
{
    // SO_REUSEADDR on Windows lets a second socket bind a port that is being
    // listened on; the second instance must fail at bind instead.
    return false;
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

} // namespace platform
