// A PKCS#11 module for tests, standing in for the token library.
//
// Its slots, tokens, objects and faults come from a text file named by the
// environment variable KESTOVA_FAKE_CONFIG, read again on every
// C_GetFunctionList so that one test process can run many scenarios. Every
// call into the module is appended, one function name per line, to the log
// file that the configuration names.
//
// Configuration, one directive per line ('#' starts a comment):
//   log <path>                  where calls are logged (none when absent)
//   initialize standard|already|fail
//                               standard: CKR_OK once, then ALREADY_INITIALIZED
//   exhausted keep-handle       C_FindObjects leaves the handle untouched when
//                               nothing is left (default: it writes 0 there)
//   exhausted never             C_FindObjects starts over instead of ending
//   slot <id> [no-token] [token-info-fails] [open-session-fails] [removed-at-open]
//                               removed-at-open: C_OpenSession answers
//                               CKR_TOKEN_NOT_PRESENT, as for a card just taken out
//   object <path>               a CKA_VALUE from a file, on the last slot
//   object-huge                 a value whose announced length is absurd
//   lie found-count|value-length
//                               found-count: C_FindObjects reports 1000 more
//                               handles than it wrote; value-length: a value
//                               read reports 100000 bytes more than it wrote
//   object-attribute <path>     like object, of certificate type
//                               CKC_X_509_ATTR_CERT (the others are CKC_X_509)
//   object-id <hex>             the CKA_ID of the last object
//   private-key <id-hex> <modulus-hex>
//                               an RSA private key on the last slot
//   token-flags <hex>           token flags added on the last slot
//                               (CKF_PROTECTED_AUTHENTICATION_PATH, ...)
//   pin <text>                  the user PIN; C_Login logs whether it got one
//                               ("C_Login no-pin"), and with the protected
//                               path flag it wants none
//   sign-input <path>           where C_Sign writes the data it was given
//
// Built without KESTOVA_FAKE_AUX_EXPORT the module lacks the vendor export.
// Standard C++ only, so that it builds for every platform.

#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

struct FakeObject {
    std::vector<unsigned char> value;
    bool hugeLength = false;
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE;
    std::vector<unsigned char> id;
    std::vector<unsigned char> modulus;
};

std::vector<unsigned char> fromHex(const std::string& text)
{
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

struct FakeSlot {
    CK_SLOT_ID id = 0;
    bool tokenPresent = true;
    bool tokenInfoFails = false;
    bool openSessionFails = false;
    bool removedAtOpen = false;
    CK_FLAGS tokenFlags = 0;
    std::vector<FakeObject> objects;
};

enum class InitializeMode { Standard, Already, Fail };

struct Config {
    std::string logPath;
    InitializeMode initialize = InitializeMode::Standard;
    bool keepHandleWhenExhausted = false;
    bool lieFoundCount = false;
    bool neverExhausted = false;
    bool lieValueLength = false;
    std::string pin;
    std::string signInputPath;
    std::vector<FakeSlot> slots;
};

struct Session {
    std::size_t slot = 0;
    bool finding = false;
    std::size_t next = 0;
    std::vector<std::size_t> matches; // indexes of the objects found
};

Config g_config;
bool g_initialized = false;
std::map<CK_SESSION_HANDLE, Session> g_sessions;
CK_SESSION_HANDLE g_nextSession = 1;

constexpr CK_ULONG kHugeLength = static_cast<CK_ULONG>(-1) - 1;

void logCall(const char* name)
{
    if (g_config.logPath.empty()) {
        return;
    }
    std::ofstream log(g_config.logPath, std::ios::app);
    log << name << '\n';
}

std::vector<unsigned char> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Config readConfig()
{
    Config config;
    const char* path = std::getenv("KESTOVA_FAKE_CONFIG");
    if (path == nullptr) {
        return config;
    }
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string directive;
        if (!(words >> directive) || directive[0] == '#') {
            continue;
        }
        std::string rest;
        std::getline(words >> std::ws, rest);
        if (directive == "log") {
            config.logPath = rest;
        } else if (directive == "initialize") {
            config.initialize = rest == "already" ? InitializeMode::Already
                : rest == "fail"                  ? InitializeMode::Fail
                                                  : InitializeMode::Standard;
        } else if (directive == "exhausted") {
            config.keepHandleWhenExhausted = rest == "keep-handle";
            config.neverExhausted = rest == "never";
        } else if (directive == "lie") {
            config.lieFoundCount = config.lieFoundCount || rest == "found-count";
            config.lieValueLength = config.lieValueLength || rest == "value-length";
        } else if (directive == "slot") {
            FakeSlot slot;
            std::istringstream options(rest);
            options >> slot.id;
            std::string option;
            while (options >> option) {
                slot.tokenPresent = slot.tokenPresent && option != "no-token";
                slot.tokenInfoFails = slot.tokenInfoFails || option == "token-info-fails";
                slot.openSessionFails = slot.openSessionFails || option == "open-session-fails";
                slot.removedAtOpen = slot.removedAtOpen || option == "removed-at-open";
            }
            config.slots.push_back(slot);
        } else if (directive == "object" && !config.slots.empty()) {
            FakeObject object;
            object.value = readFile(rest);
            config.slots.back().objects.push_back(object);
        } else if (directive == "object-huge" && !config.slots.empty()) {
            FakeObject object;
            object.hugeLength = true;
            config.slots.back().objects.push_back(object);
        } else if (directive == "object-attribute" && !config.slots.empty()) {
            FakeObject object;
            object.value = readFile(rest);
            object.type = CKC_X_509_ATTR_CERT;
            config.slots.back().objects.push_back(object);
        } else if (directive == "object-id" && !config.slots.empty() && !config.slots.back().objects.empty()) {
            config.slots.back().objects.back().id = fromHex(rest);
        } else if (directive == "private-key" && !config.slots.empty()) {
            std::istringstream fields(rest);
            std::string id, modulus;
            fields >> id >> modulus;
            FakeObject key;
            key.objectClass = CKO_PRIVATE_KEY;
            key.id = fromHex(id);
            key.modulus = fromHex(modulus);
            config.slots.back().objects.push_back(key);
        } else if (directive == "token-flags" && !config.slots.empty()) {
            config.slots.back().tokenFlags |= std::stoul(rest, nullptr, 16);
        } else if (directive == "pin") {
            config.pin = rest;
        } else if (directive == "sign-input") {
            config.signInputPath = rest;
        }
    }
    return config;
}

FakeSlot* findSlot(CK_SLOT_ID id)
{
    for (FakeSlot& slot : g_config.slots) {
        if (slot.id == id) {
            return &slot;
        }
    }
    return nullptr;
}

Session* findSession(CK_SESSION_HANDLE handle)
{
    const auto it = g_sessions.find(handle);
    return it == g_sessions.end() ? nullptr : &it->second;
}

// Object handles carry their index on the session's token, plus one.
FakeObject* findObject(const Session& session, CK_OBJECT_HANDLE handle)
{
    auto& objects = g_config.slots[session.slot].objects;
    return handle == 0 || handle > objects.size() ? nullptr : &objects[handle - 1];
}

void blankPad(unsigned char* field, std::size_t size, const char* text)
{
    std::memset(field, ' ', size);
    std::memcpy(field, text, std::min(size, std::strlen(text)));
}

CK_RV fakeInitialize(void*)
{
    logCall("C_Initialize");
    switch (g_config.initialize) {
    case InitializeMode::Fail:
        return CKR_GENERAL_ERROR;
    case InitializeMode::Already:
        g_initialized = true;
        return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    case InitializeMode::Standard:
        break;
    }
    if (g_initialized) {
        return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    }
    g_initialized = true;
    return CKR_OK;
}

CK_RV fakeFinalize(void*)
{
    logCall("C_Finalize");
    if (!g_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    g_initialized = false;
    g_sessions.clear();
    return CKR_OK;
}

CK_RV fakeGetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID* list, CK_ULONG* count)
{
    logCall("C_GetSlotList");
    if (!g_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (count == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    std::vector<CK_SLOT_ID> ids;
    for (const FakeSlot& slot : g_config.slots) {
        if (slot.tokenPresent || tokenPresent == CK_FALSE) {
            ids.push_back(slot.id);
        }
    }
    if (list != nullptr) {
        if (*count < ids.size()) {
            *count = ids.size();
            return CKR_BUFFER_TOO_SMALL;
        }
        std::copy(ids.begin(), ids.end(), list);
    }
    *count = ids.size();
    return CKR_OK;
}

// The slot holding a token, or the error a library answers without one.
CK_RV tokenSlot(CK_SLOT_ID id, const FakeSlot*& slot)
{
    if (!g_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    slot = findSlot(id);
    if (slot == nullptr) {
        return CKR_SLOT_ID_INVALID;
    }
    return slot->tokenPresent ? CKR_OK : CKR_TOKEN_NOT_PRESENT;
}

CK_RV fakeGetTokenInfo(CK_SLOT_ID id, CK_TOKEN_INFO* info)
{
    logCall("C_GetTokenInfo");
    const FakeSlot* slot = nullptr;
    if (const CK_RV rv = tokenSlot(id, slot); rv != CKR_OK) {
        return rv;
    }
    if (slot->tokenInfoFails || info == nullptr) {
        return slot->tokenInfoFails ? CKR_DEVICE_ERROR : CKR_ARGUMENTS_BAD;
    }
    std::memset(info, 0, sizeof *info);
    blankPad(info->label, sizeof info->label, "Fake token");
    blankPad(info->manufacturerID, sizeof info->manufacturerID, "Test double");
    blankPad(info->model, sizeof info->model, "Fake");
    blankPad(info->serialNumber, sizeof info->serialNumber, std::to_string(id).c_str());
    info->flags = CKF_TOKEN_INITIALIZED | slot->tokenFlags;
    return CKR_OK;
}

CK_RV fakeOpenSession(CK_SLOT_ID id, CK_FLAGS flags, void*, CK_NOTIFY, CK_SESSION_HANDLE* session)
{
    logCall("C_OpenSession");
    const FakeSlot* slot = nullptr;
    if (const CK_RV rv = tokenSlot(id, slot); rv != CKR_OK) {
        return rv;
    }
    if ((flags & CKF_SERIAL_SESSION) == 0) {
        return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    }
    if (slot->openSessionFails) {
        return CKR_DEVICE_ERROR;
    }
    if (slot->removedAtOpen) {
        return CKR_TOKEN_NOT_PRESENT;
    }
    if (session == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    Session state;
    state.slot = static_cast<std::size_t>(slot - g_config.slots.data());
    *session = g_nextSession++;
    g_sessions[*session] = state;
    return CKR_OK;
}

CK_RV fakeCloseSession(CK_SESSION_HANDLE handle)
{
    logCall("C_CloseSession");
    if (!g_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    return g_sessions.erase(handle) == 1 ? CKR_OK : CKR_SESSION_HANDLE_INVALID;
}

CK_RV fakeLogin(CK_SESSION_HANDLE handle, CK_USER_TYPE, unsigned char* pin, CK_ULONG length)
{
    logCall(pin == nullptr ? "C_Login no-pin" : "C_Login");
    Session* session = findSession(handle);
    if (session == nullptr || g_config.pin.empty()) {
        return session == nullptr ? CKR_SESSION_HANDLE_INVALID : CKR_FUNCTION_NOT_SUPPORTED;
    }
    const FakeSlot& slot = g_config.slots[session->slot];
    if (slot.tokenFlags & CKF_USER_PIN_LOCKED) {
        return CKR_PIN_LOCKED;
    }
    if (slot.tokenFlags & CKF_PROTECTED_AUTHENTICATION_PATH) {
        return pin == nullptr ? CKR_OK : CKR_ARGUMENTS_BAD;
    }
    return pin != nullptr && std::string(reinterpret_cast<char*>(pin), length) == g_config.pin ? CKR_OK
                                                                                              : CKR_PIN_INCORRECT;
}

CK_RV fakeLogout(CK_SESSION_HANDLE)
{
    logCall("C_Logout");
    return g_config.pin.empty() ? CKR_FUNCTION_NOT_SUPPORTED : CKR_OK;
}

CK_RV fakeSignInit(CK_SESSION_HANDLE handle, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE)
{
    logCall("C_SignInit");
    return findSession(handle) == nullptr ? CKR_SESSION_HANDLE_INVALID
           : mechanism == nullptr || mechanism->mechanism != CKM_RSA_PKCS ? CKR_MECHANISM_INVALID
                                                                          : CKR_OK;
}

// Not a signature: the tests of this module look at what was asked, not at
// the mathematics, which SoftHSM2 covers.
CK_RV fakeSign(CK_SESSION_HANDLE, unsigned char* data, CK_ULONG dataLength, unsigned char* signature, CK_ULONG* length)
{
    logCall("C_Sign");
    if (!g_config.signInputPath.empty() && data != nullptr) {
        std::ofstream(g_config.signInputPath, std::ios::binary)
            .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(dataLength));
    }
    if (length == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    if (signature != nullptr) {
        if (*length < 256) {
            return CKR_BUFFER_TOO_SMALL;
        }
        std::memset(signature, 0x5a, 256);
    }
    *length = 256;
    return CKR_OK;
}

// Every object is on the token. A template asking for an attribute the
// module does not know finds nothing; a certificate type matches only
// certificates of that type.
bool templateMatches(const FakeObject& object, const CK_ATTRIBUTE* attributes, CK_ULONG count)
{
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& a = attributes[i];
        if (a.type == CKA_CLASS) {
            CK_OBJECT_CLASS value = 0;
            if (a.pValue == nullptr || a.ulValueLen != sizeof value) {
                return false;
            }
            std::memcpy(&value, a.pValue, sizeof value);
            if (value != object.objectClass) {
                return false;
            }
        } else if (a.type == CKA_TOKEN) {
            if (a.pValue == nullptr || a.ulValueLen != sizeof(CK_BBOOL)
                || *static_cast<const CK_BBOOL*>(a.pValue) != CK_TRUE) {
                return false;
            }
        } else if (a.type == CKA_CERTIFICATE_TYPE) {
            CK_CERTIFICATE_TYPE value = 0;
            if (a.pValue == nullptr || a.ulValueLen != sizeof value) {
                return false;
            }
            std::memcpy(&value, a.pValue, sizeof value);
            if (object.objectClass != CKO_CERTIFICATE || value != object.type) {
                return false;
            }
        } else if (a.type == CKA_ID) {
            const auto* bytes = static_cast<const unsigned char*>(a.pValue);
            if (bytes == nullptr || std::vector<unsigned char>(bytes, bytes + a.ulValueLen) != object.id) {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

CK_RV fakeFindObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE* attributes, CK_ULONG count)
{
    logCall("C_FindObjectsInit");
    Session* session = findSession(handle);
    if (session == nullptr) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    if (session->finding) {
        return CKR_OPERATION_ACTIVE;
    }
    if (count > 0 && attributes == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    session->finding = true;
    session->next = 0;
    session->matches.clear();
    const auto& objects = g_config.slots[session->slot].objects;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        if (templateMatches(objects[i], attributes, count)) {
            session->matches.push_back(i);
        }
    }
    return CKR_OK;
}

CK_RV fakeFindObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE* objects, CK_ULONG maxCount, CK_ULONG* count)
{
    logCall("C_FindObjects");
    Session* session = findSession(handle);
    if (session == nullptr) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    if (!session->finding) {
        return CKR_OPERATION_NOT_INITIALIZED;
    }
    if (objects == nullptr || count == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    *count = 0;
    if (g_config.neverExhausted && session->next == session->matches.size()) {
        session->next = 0;
    }
    while (*count < maxCount && session->next < session->matches.size()) {
        objects[(*count)++] = session->matches[session->next++] + 1;
    }
    if (*count == 0 && maxCount > 0 && !g_config.keepHandleWhenExhausted) {
        objects[0] = CK_INVALID_HANDLE;
    }
    if (*count > 0 && g_config.lieFoundCount) {
        *count += 1000;
    }
    return CKR_OK;
}

CK_RV fakeFindObjectsFinal(CK_SESSION_HANDLE handle)
{
    logCall("C_FindObjectsFinal");
    Session* session = findSession(handle);
    if (session == nullptr) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    if (!session->finding) {
        return CKR_OPERATION_NOT_INITIALIZED;
    }
    session->finding = false;
    return CKR_OK;
}

CK_RV fakeGetAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE objectHandle, CK_ATTRIBUTE* attributes,
                            CK_ULONG count)
{
    logCall("C_GetAttributeValue");
    Session* session = findSession(handle);
    if (session == nullptr) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    const FakeObject* object = findObject(*session, objectHandle);
    if (object == nullptr) {
        return CKR_OBJECT_HANDLE_INVALID;
    }
    if (count > 0 && attributes == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE& a = attributes[i];
        const CK_KEY_TYPE rsa = CKK_RSA;
        const std::vector<unsigned char> keyType(reinterpret_cast<const unsigned char*>(&rsa),
                                                 reinterpret_cast<const unsigned char*>(&rsa) + sizeof rsa);
        const bool isKey = object->objectClass == CKO_PRIVATE_KEY;
        const std::vector<unsigned char>* source = a.type == CKA_VALUE && !isKey  ? &object->value
                                                   : a.type == CKA_ID              ? &object->id
                                                   : a.type == CKA_MODULUS && isKey ? &object->modulus
                                                   : a.type == CKA_KEY_TYPE && isKey ? &keyType
                                                                                     : nullptr;
        if (source == nullptr) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_ATTRIBUTE_TYPE_INVALID;
            continue;
        }
        const bool huge = object->hugeLength && a.type == CKA_VALUE;
        const CK_ULONG size = huge ? kHugeLength : source->size();
        if (a.pValue == nullptr) {
            a.ulValueLen = size;
        } else if (a.ulValueLen < size || huge) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_BUFFER_TOO_SMALL;
        } else {
            std::memcpy(a.pValue, source->data(), source->size());
            a.ulValueLen = size + (g_config.lieValueLength ? 100000 : 0);
        }
    }
    return rv;
}

CK_FUNCTION_LIST makeFunctionList()
{
    CK_FUNCTION_LIST list {};
    list.version.major = 2;
    list.version.minor = 40;
    list.C_Initialize = fakeInitialize;
    list.C_Finalize = fakeFinalize;
    list.C_GetSlotList = fakeGetSlotList;
    list.C_GetTokenInfo = fakeGetTokenInfo;
    list.C_OpenSession = fakeOpenSession;
    list.C_CloseSession = fakeCloseSession;
    list.C_Login = fakeLogin;
    list.C_Logout = fakeLogout;
    list.C_FindObjectsInit = fakeFindObjectsInit;
    list.C_FindObjects = fakeFindObjects;
    list.C_FindObjectsFinal = fakeFindObjectsFinal;
    list.C_GetAttributeValue = fakeGetAttributeValue;
    list.C_SignInit = fakeSignInit;
    list.C_Sign = fakeSign;
    return list;
}

CK_FUNCTION_LIST g_functionList = makeFunctionList();

} // namespace

FAKE_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST** list)
{
    // A new scenario: sessions of the previous one refer to its slots.
    g_config = readConfig();
    g_sessions.clear();
    logCall("C_GetFunctionList");
    if (list == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    *list = &g_functionList;
    return CKR_OK;
}

#if defined(KESTOVA_FAKE_AUX_EXPORT)
namespace {
int g_auxiliaryList = 0;
} // namespace

FAKE_EXPORT CK_RV Kv_GetAuxFunctionList(void** list)
{
    logCall("Kv_GetAuxFunctionList");
    if (list == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    *list = &g_auxiliaryList;
    return CKR_OK;
}
#endif
