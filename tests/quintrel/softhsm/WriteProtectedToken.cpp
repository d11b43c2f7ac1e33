// A PKCS#11 module for the bridge's own test: slot 1 holds an initialized,
// write-protected token, slot 2 a token that was never initialized, slot 3
// no token. Only what the bridge touches is implemented; it remembers the
// flags of every C_OpenSession for the test to read back.

#include <p11-kit/pkcs11.h>

#include <cstring>
#include <vector>

#define STUB_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

CK_FUNCTION_LIST g_list;
std::vector<CK_FLAGS> g_openFlags;

CK_RV initialize(CK_VOID_PTR) { return CKR_OK; }

CK_RV getSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count)
{
    const std::vector<CK_SLOT_ID> slots = tokenPresent ? std::vector<CK_SLOT_ID>{1, 2}
                                                       : std::vector<CK_SLOT_ID>{1, 2, 3};
    if (list != nullptr) {
        if (*count < slots.size()) {
            *count = slots.size();
            return CKR_BUFFER_TOO_SMALL;
        }
        std::memcpy(list, slots.data(), slots.size() * sizeof(CK_SLOT_ID));
    }
    *count = slots.size();
    return CKR_OK;
}

CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info)
{
    if (slot == 3) {
        return CKR_TOKEN_NOT_PRESENT;
    }
    std::memset(info, 0, sizeof *info);
    info->flags = slot == 1 ? CKF_TOKEN_INITIALIZED | CKF_WRITE_PROTECTED : 0;
    return CKR_OK;
}

CK_RV openSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR session)
{
    g_openFlags.push_back(flags);
    if (slot != 1) {
        return CKR_TOKEN_NOT_RECOGNIZED;
    }
    if (flags & CKF_RW_SESSION) {
        return CKR_TOKEN_WRITE_PROTECTED;
    }
    *session = 7;
    return CKR_OK;
}

} // namespace

STUB_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list)
{
    g_list.version = {2, 40};
    g_list.C_Initialize = &initialize;
    g_list.C_GetSlotList = &getSlotList;
    g_list.C_GetTokenInfo = &getTokenInfo;
    g_list.C_OpenSession = &openSession;
    *list = &g_list;
    return CKR_OK;
}

// For the test: the flags of the n-th C_OpenSession, or ~0 when there was none.
STUB_EXPORT CK_FLAGS stubOpenSessionFlags(unsigned n)
{
    return n < g_openFlags.size() ? g_openFlags[n] : ~CK_FLAGS{0};
}
