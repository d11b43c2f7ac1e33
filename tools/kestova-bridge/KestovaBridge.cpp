// libKestova.so for Linux: stands in for the token maker's library by handing
// out the function list of another PKCS#11 module. By default that is
// p11-kit's proxy, so every token the user registered with p11-kit (smart
// cards through OpenSC, SoftHSM, ...) is reached; KESTOVA_BRIDGE_MODULE names
// another module instead.
//
// Every PKCS#11 call goes straight to the target, with two exceptions that
// make ordinary Linux tokens look like the maker's devices, which a caller
// written for them can open:
// - the slot list leaves out slots whose token is not initialized (SoftHSM
//   always offers one such empty token, and a session cannot be opened on it);
// - a read-write session refused because the token is write protected (as
//   OpenSC reports many read-only cards) is opened read-only instead.
// KESTOVA_BRIDGE_ATTRIBUTE_DELAY_MS=N makes every attribute read N ms slower,
// to measure callers against a token behind a slow link;
// KESTOVA_BRIDGE_ATTRIBUTE_LOG=<path> appends one line to that file per
// attribute read, so tests can count them.

#include <p11-kit/pkcs11.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#define KESTOVA_EXPORT extern "C" __attribute__((visibility("default")))

#ifndef KESTOVA_BRIDGE_DEFAULT_MODULE
#error "KESTOVA_BRIDGE_DEFAULT_MODULE must name the module used when the environment names none"
#endif

KESTOVA_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list);

namespace {

// The auxiliary list callers ask for. Nothing in it is meant to be called;
// it only tells that this library is the bridge and which revision.
struct AuxFunctionList {
    unsigned char major;
    unsigned char minor;
    const char* description;
};

const AuxFunctionList kAuxFunctionList = {1, 0, "Kestova bridge to a PKCS#11 module"};

std::mutex g_lock;
CK_FUNCTION_LIST_PTR g_target = nullptr;
// The target's list with the replaced entries; what callers get.
CK_FUNCTION_LIST g_bridged;
std::chrono::milliseconds g_attributeDelay { 0 };
const char* g_attributeLog = nullptr;

bool usable(CK_SLOT_ID slot)
{
    CK_TOKEN_INFO info{};
    // A slot without a token (tokenPresent false) stays listed.
    return g_target->C_GetTokenInfo(slot, &info) != CKR_OK || (info.flags & CKF_TOKEN_INITIALIZED) != 0;
}

CK_RV bridgedGetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count)
{
    if (count == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    CK_ULONG n = 0;
    CK_RV rv = g_target->C_GetSlotList(tokenPresent, nullptr, &n);
    std::vector<CK_SLOT_ID> all;
    // Slots may come and go between the two calls.
    do {
        if (rv != CKR_OK) {
            return rv;
        }
        all.resize(n);
        rv = g_target->C_GetSlotList(tokenPresent, all.data(), &n);
    } while (rv == CKR_BUFFER_TOO_SMALL);
    if (rv != CKR_OK) {
        return rv;
    }
    all.resize(n);
    std::vector<CK_SLOT_ID> kept;
    for (CK_SLOT_ID slot : all) {
        if (usable(slot)) {
            kept.push_back(slot);
        }
    }
    if (list == nullptr) {
        *count = kept.size();
        return CKR_OK;
    }
    if (*count < kept.size()) {
        *count = kept.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(kept.begin(), kept.end(), list);
    *count = kept.size();
    return CKR_OK;
}

CK_RV bridgedOpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR application, CK_NOTIFY notify,
                         CK_SESSION_HANDLE_PTR session)
{
    CK_RV rv = g_target->C_OpenSession(slot, flags, application, notify, session);
    if (rv == CKR_TOKEN_WRITE_PROTECTED && (flags & CKF_RW_SESSION) != 0) {
        rv = g_target->C_OpenSession(slot, flags & ~static_cast<CK_FLAGS>(CKF_RW_SESSION), application, notify,
                                     session);
    }
    return rv;
}

CK_RV delayedGetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                               CK_ULONG count)
{
    std::this_thread::sleep_for(g_attributeDelay);
    if (g_attributeLog != nullptr) {
        if (FILE* log = std::fopen(g_attributeLog, "a")) {
            std::fputs("C_GetAttributeValue\n", log);
            std::fclose(log);
        }
    }
    return g_target->C_GetAttributeValue(session, object, attributes, count);
}

// Whole milliseconds up to a minute; anything else means no delay.
std::chrono::milliseconds attributeDelay()
{
    const char* text = std::getenv("KESTOVA_BRIDGE_ATTRIBUTE_DELAY_MS");
    if (text == nullptr || *text == '\0') {
        return std::chrono::milliseconds(0);
    }
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 0 || value > 60000) {
        std::fprintf(stderr, "libKestova: KESTOVA_BRIDGE_ATTRIBUTE_DELAY_MS=%s ignored: not 0 to 60000\n", text);
        return std::chrono::milliseconds(0);
    }
    return std::chrono::milliseconds(value);
}

const char* targetModule()
{
    const char* fromEnvironment = std::getenv("KESTOVA_BRIDGE_MODULE");
    return fromEnvironment != nullptr && fromEnvironment[0] != '\0' ? fromEnvironment
                                                                    : KESTOVA_BRIDGE_DEFAULT_MODULE;
}

void complain(const char* module, const char* reason)
{
    std::fprintf(stderr, "libKestova: cannot use PKCS#11 module %s: %s\n", module,
                 reason != nullptr ? reason : "unknown error");
}

// Loads the target once it works; a failed attempt is retried on the next
// call. The target stays loaded for the life of the process, because the
// caller keeps using its function list and never finalizes it.
CK_FUNCTION_LIST_PTR bridgedFunctions()
{
    if (g_target != nullptr) {
        return &g_bridged;
    }
    const char* module = targetModule();
    void* handle = ::dlopen(module, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        complain(module, ::dlerror());
        return nullptr;
    }
    auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(handle, "C_GetFunctionList"));
    if (getFunctionList == nullptr) {
        complain(module, ::dlerror());
        ::dlclose(handle);
        return nullptr;
    }
    // Pointed at itself, the bridge would call itself for ever.
    if (getFunctionList == &C_GetFunctionList) {
        complain(module, "it is this bridge itself");
        return nullptr;
    }
    CK_FUNCTION_LIST_PTR functions = nullptr;
    const CK_RV rv = getFunctionList(&functions);
    if (rv != CKR_OK || functions == nullptr) {
        char reason[64];
        std::snprintf(reason, sizeof reason, "C_GetFunctionList returned 0x%lx", static_cast<unsigned long>(rv));
        complain(module, reason);
        ::dlclose(handle);
        return nullptr;
    }
    g_target = functions;
    g_bridged = *functions;
    g_bridged.C_GetFunctionList = &C_GetFunctionList;
    g_bridged.C_GetSlotList = &bridgedGetSlotList;
    g_bridged.C_OpenSession = &bridgedOpenSession;
    g_attributeDelay = attributeDelay();
    const char* log = std::getenv("KESTOVA_BRIDGE_ATTRIBUTE_LOG");
    g_attributeLog = log != nullptr && log[0] != '\0' ? log : nullptr;
    if (g_attributeDelay.count() > 0 || g_attributeLog != nullptr) {
        g_bridged.C_GetAttributeValue = &delayedGetAttributeValue;
    }
    return &g_bridged;
}

} // namespace

KESTOVA_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list)
{
    if (list == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    std::lock_guard<std::mutex> lock(g_lock);
    CK_FUNCTION_LIST_PTR functions = bridgedFunctions();
    if (functions == nullptr) {
        return CKR_GENERAL_ERROR;
    }
    *list = functions;
    return CKR_OK;
}

KESTOVA_EXPORT CK_RV Kv_GetAuxFunctionList(void** list)
{
    if (list == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    *list = const_cast<AuxFunctionList*>(&kAuxFunctionList);
    return CKR_OK;
}
