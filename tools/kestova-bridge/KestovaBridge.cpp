// libKestova.so for Linux: stands in for the token maker's library by handing
// out the function list of another PKCS#11 module. By default that is
// p11-kit's proxy, so every token the user registered with p11-kit (smart
// cards through OpenSC, SoftHSM, ...) is reached; KESTOVA_BRIDGE_MODULE names
// another module instead. The bridge adds no behaviour of its own: every
// PKCS#11 call goes straight to the target's functions.

#include <p11-kit/pkcs11.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

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
CK_FUNCTION_LIST_PTR g_functions = nullptr;

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
CK_FUNCTION_LIST_PTR targetFunctions()
{
    if (g_functions != nullptr) {
        return g_functions;
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
    g_functions = functions;
    return g_functions;
}

} // namespace

KESTOVA_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list)
{
    if (list == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    std::lock_guard<std::mutex> lock(g_lock);
    CK_FUNCTION_LIST_PTR functions = targetFunctions();
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
