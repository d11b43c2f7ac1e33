#include "TokenWrap.h"

#include "Pkcs11Names.h"

#include <algorithm>
#include <vector>

namespace {

using AuxFunctionListFn = CK_RV (*)(void** list);

std::string tokenLabel(const CK_TOKEN_INFO& info)
{
    std::string label(reinterpret_cast<const char*>(info.label), sizeof info.label);
    const auto end = label.find_last_not_of(std::string(" \0", 2));
    label.resize(end == std::string::npos ? 0 : end + 1);
    return label;
}

} // namespace

CTokenWrap::CTokenWrap(std::string libraryName)
    : m_libraryName(std::move(libraryName))
{
}

// The module is deliberately not released. Each wrapper adds one reference,
// and the library must stay loaded and initialized until the process ends:
// it is never finalized, so unloading it would pull its code from under its
// own state (threads, slot monitors) and the next wrapper would find a
// library that has forgotten it was initialized while the token still holds
// our earlier sessions.
CTokenWrap::~CTokenWrap()
{
    m_functions = nullptr;
    m_auxFunctions = nullptr;
    m_module = nullptr;
}

int CTokenWrap::LoadTokenLibrary()
{
    if (m_module != nullptr) {
        return 0;
    }
    std::uint32_t error = 0;
    m_module = platform::loadModule(m_libraryName, error);
    if (m_module == nullptr) {
        if (m_report != nullptr) {
            m_report->libraryNotLoaded(error);
        }
        return 1;
    }
    if (m_report != nullptr) {
        m_report->libraryLoaded(m_module);
    }
    const auto failed = [this](const char* name, bool exported, CK_RV rv) {
        if (m_report != nullptr) {
            m_report->entryFailed(name, exported, rv);
        }
        return 1;
    };
    const auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(
        platform::findSymbol(m_module, "C_GetFunctionList"));
    const auto getAuxFunctionList = reinterpret_cast<AuxFunctionListFn>(
        platform::findSymbol(m_module, "Kv_GetAuxFunctionList"));
    if (getFunctionList == nullptr || getAuxFunctionList == nullptr) {
        return failed(getFunctionList == nullptr ? "C_GetFunctionList" : "Kv_GetAuxFunctionList", false, CKR_OK);
    }
    if (const CK_RV rv = getFunctionList(&m_functions); rv != CKR_OK || m_functions == nullptr) {
        return failed("C_GetFunctionList", true, rv);
    }
    if (const CK_RV rv = getAuxFunctionList(&m_auxFunctions); rv != 0 || m_auxFunctions == nullptr) {
        return failed("Kv_GetAuxFunctionList", true, rv);
    }
    const CK_RV rv = call(&CK_FUNCTION_LIST::C_Initialize, nullptr);
    if (m_report != nullptr) {
        m_report->initialized(rv, m_functions);
    }
    return rv == CKR_OK || rv == CKR_CRYPTOKI_ALREADY_INITIALIZED ? 0 : 1;
}

int CTokenWrap::CountTokens(CK_ULONG* count)
{
    if (LoadTokenLibrary() != 0) {
        return 1;
    }
    if (m_functions == nullptr || m_auxFunctions == nullptr) {
        return 1;
    }
    CK_ULONG slotCount = 0;
    if (call(&CK_FUNCTION_LIST::C_GetSlotList, CK_TRUE, nullptr, &slotCount) != CKR_OK) {
        return 1;
    }
    std::vector<CK_SLOT_ID> slots;
    if (slotCount != 0) {
        slots.assign(slotCount, 0);
        if (call(&CK_FUNCTION_LIST::C_GetSlotList, CK_TRUE, slots.data(), &slotCount) != CKR_OK) {
            return 1;
        }
    }
    CK_ULONG readable = 0;
    CK_TOKEN_INFO info {};
    m_tokenLabels.clear();
    for (CK_ULONG i = 0; i < slotCount && i < slots.size(); ++i) {
        if (call(&CK_FUNCTION_LIST::C_GetTokenInfo, slots[i], &info) == CKR_OK) {
            ++readable;
            m_tokenLabels[slots[i]] = tokenLabel(info);
        }
    }
    if (count != nullptr) {
        *count = readable;
    }
    return 0;
}

bool CTokenWrap::walk(const CertificateStep& step)
{
    CK_ULONG tokens = 0;
    if (CountTokens(&tokens) != 0 || tokens == 0) {
        return false;
    }
    CK_ULONG slotCount = 0;
    if (call(&CK_FUNCTION_LIST::C_GetSlotList, CK_TRUE, nullptr, &slotCount) != CKR_OK || slotCount == 0) {
        return false;
    }
    std::vector<CK_SLOT_ID> slots(slotCount, 0);
    if (call(&CK_FUNCTION_LIST::C_GetSlotList, CK_TRUE, slots.data(), &slotCount) != CKR_OK || slotCount == 0) {
        return false;
    }

    for (CK_ULONG i = 0; i < tokens && i < slotCount && i < slots.size(); ++i) {
        CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
        if (call(&CK_FUNCTION_LIST::C_OpenSession, slots[i], CK_FLAGS { CKF_SERIAL_SESSION | CKF_RW_SESSION },
                 static_cast<void*>(nullptr), CK_NOTIFY { nullptr }, &session) != CKR_OK) {
            return false;
        }
        // The label as CountTokens read it: the walk asks the library nothing more.
        const auto label = m_tokenLabels.find(slots[i]);
        const bool keepGoing = searchToken(session, label != m_tokenLabels.end() ? label->second : std::string(), step);
        // Also after an abandoned walk: sessions on a token are a limited
        // resource, and the library outlives this wrapper.
        call(&CK_FUNCTION_LIST::C_CloseSession, session);
        if (!keepGoing) {
            return false;
        }
    }
    return true;
}

std::string CTokenWrap::walkCertificates(RecordProducer producer)
{
    std::string text;
    const bool complete = walk([producer, &text](const FoundCertificate& found) {
        return producer(found.certificate, text);
    });
    return complete ? text : std::string();
}

bool CTokenWrap::searchToken(CK_SESSION_HANDLE session, const std::string& token, const CertificateStep& step)
{
    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    CK_BBOOL onToken = CK_TRUE;
    CK_ATTRIBUTE search[] = {
        { CKA_CLASS, &certificateClass, sizeof certificateClass },
        { CKA_TOKEN, &onToken, sizeof onToken },
    };
    call(&CK_FUNCTION_LIST::C_FindObjectsInit, session, search, CK_ULONG { 2 });

    for (;;) {
        CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
        CK_ULONG found = 0;
        if (call(&CK_FUNCTION_LIST::C_FindObjects, session, &object, CK_ULONG { 1 }, &found) != CKR_OK || found == 0) {
            return true;
        }
        const auto unreadable = [&](const std::string& reason) {
            if (m_report != nullptr) {
                m_report->certificateUnreadable(token, session, object, reason);
            }
            return true;
        };
        CK_ATTRIBUTE value = { CKA_VALUE, nullptr, 0 };
        if (const CK_RV rv = call(&CK_FUNCTION_LIST::C_GetAttributeValue, session, object, &value, CK_ULONG { 1 });
            rv != CKR_OK) {
            return unreadable("its value cannot be read (" + pkcs11ReturnName(rv) + ")");
        }
        if (value.ulValueLen > kMaxValueLength) {
            return unreadable("its value is " + std::to_string(value.ulValueLen) + " bytes long, more than " +
                              std::to_string(kMaxValueLength));
        }
        const CK_ULONG length = value.ulValueLen;
        std::vector<unsigned char> bytes(length + 1, 0);
        value.pValue = bytes.data();
        if (const CK_RV rv = call(&CK_FUNCTION_LIST::C_GetAttributeValue, session, object, &value, CK_ULONG { 1 });
            rv != CKR_OK) {
            return unreadable("its value cannot be read (" + pkcs11ReturnName(rv) + ")");
        }
        // The library reports how much it wrote; never trust it beyond the buffer.
        const auto certificate = decodeCertificate(bytes.data(), value.ulValueLen <= length ? value.ulValueLen : length);
        if (!certificate) {
            return unreadable("its " + std::to_string(value.ulValueLen <= length ? value.ulValueLen : length) +
                              " bytes are not a DER X.509 certificate that can be decoded");
        }
        if (step(FoundCertificate { token, *certificate }) == WalkStep::Abandon) {
            call(&CK_FUNCTION_LIST::C_FindObjectsFinal, session);
            return false;
        }
    }
}

bool CTokenWrap::walkEveryCertificate(const CertificateStep& step)
{
    if (LoadTokenLibrary() != 0 || m_functions == nullptr || m_auxFunctions == nullptr) {
        return false;
    }
    // Once: size, then fill; a reader plugged in between makes the fill
    // too small, and the list is asked again.
    std::vector<CK_SLOT_ID> slots;
    CK_RV rv = CKR_BUFFER_TOO_SMALL;
    for (int attempt = 0; attempt < 4 && rv == CKR_BUFFER_TOO_SMALL; ++attempt) {
        CK_ULONG count = 0;
        if (call(&CK_FUNCTION_LIST::C_GetSlotList, CK_TRUE, nullptr, &count) != CKR_OK || count > kMaxSlots) {
            return false;
        }
        slots.assign(count, 0);
        rv = count == 0 ? CKR_OK : call(&CK_FUNCTION_LIST::C_GetSlotList, CK_TRUE, slots.data(), &count);
        slots.resize(std::min<std::size_t>(slots.size(), count));
    }
    if (rv != CKR_OK) {
        return false;
    }

    for (const CK_SLOT_ID slot : slots) {
        // A token that cannot tell its information was taken out or is not
        // ready; there is nothing to read on it.
        CK_TOKEN_INFO info {};
        if (call(&CK_FUNCTION_LIST::C_GetTokenInfo, slot, &info) != CKR_OK) {
            continue;
        }
        CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
        const CK_RV opened = call(&CK_FUNCTION_LIST::C_OpenSession, slot,
                                  CK_FLAGS { CKF_SERIAL_SESSION | CKF_RW_SESSION }, static_cast<void*>(nullptr),
                                  CK_NOTIFY { nullptr }, &session);
        // A card taken out since the slots were listed is simply not there.
        if (opened == CKR_TOKEN_NOT_PRESENT || opened == CKR_DEVICE_REMOVED || opened == CKR_SLOT_ID_INVALID) {
            continue;
        }
        if (opened != CKR_OK) {
            return false;
        }
        const bool keepGoing = searchEveryCertificate(session, tokenLabel(info), step);
        call(&CK_FUNCTION_LIST::C_CloseSession, session);
        if (!keepGoing) {
            return false;
        }
    }
    return true;
}

bool CTokenWrap::searchEveryCertificate(CK_SESSION_HANDLE session, const std::string& token,
                                        const CertificateStep& step)
{
    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    CK_BBOOL onToken = CK_TRUE;
    CK_CERTIFICATE_TYPE x509 = CKC_X_509;
    CK_ATTRIBUTE search[] = {
        { CKA_CLASS, &certificateClass, sizeof certificateClass },
        { CKA_TOKEN, &onToken, sizeof onToken },
        { CKA_CERTIFICATE_TYPE, &x509, sizeof x509 },
    };
    if (call(&CK_FUNCTION_LIST::C_FindObjectsInit, session, search, CK_ULONG { 3 }) != CKR_OK) {
        return true;
    }
    // Every handle first, then the values: the search is over before the
    // slow reads start.
    std::vector<CK_OBJECT_HANDLE> objects;
    while (objects.size() < kMaxObjects) {
        CK_OBJECT_HANDLE batch[kHandleBatch] = {};
        CK_ULONG found = 0;
        // A count beyond the batch is a broken library: nothing it wrote
        // there is believed, and the search ends.
        if (call(&CK_FUNCTION_LIST::C_FindObjects, session, batch, kHandleBatch, &found) != CKR_OK || found == 0
            || found > kHandleBatch) {
            break;
        }
        objects.insert(objects.end(), batch, batch + found);
    }
    call(&CK_FUNCTION_LIST::C_FindObjectsFinal, session);

    std::vector<unsigned char> bytes;
    for (const CK_OBJECT_HANDLE object : objects) {
        std::string reason;
        if (!readValue(session, object, bytes, reason)) {
            if (m_report != nullptr) {
                m_report->certificateUnreadable(token, session, object, reason);
            }
            continue;
        }
        const auto certificate = decodeCertificate(bytes.data(), bytes.size());
        if (!certificate) {
            if (m_report != nullptr) {
                m_report->certificateUnreadable(token, session, object, "its " + std::to_string(bytes.size()) +
                                                    " bytes are not a DER X.509 certificate that can be decoded");
            }
            continue;
        }
        if (step(FoundCertificate { token, *certificate }) == WalkStep::Abandon) {
            return false;
        }
    }
    return true;
}

bool CTokenWrap::readValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, std::vector<unsigned char>& bytes,
                           std::string& reason) const
{
    bytes.assign(kValueBuffer, 0);
    CK_ATTRIBUTE value = { CKA_VALUE, bytes.data(), kValueBuffer };
    CK_RV rv = call(&CK_FUNCTION_LIST::C_GetAttributeValue, session, object, &value, CK_ULONG { 1 });
    if (rv == CKR_BUFFER_TOO_SMALL) {
        // The length the library set is not to be relied on: ask for it.
        value = { CKA_VALUE, nullptr, 0 };
        rv = call(&CK_FUNCTION_LIST::C_GetAttributeValue, session, object, &value, CK_ULONG { 1 });
        if (rv == CKR_OK && value.ulValueLen > kMaxValueLength) {
            reason = "its value is " + std::to_string(value.ulValueLen) + " bytes long, more than " +
                     std::to_string(kMaxValueLength);
            return false;
        }
        if (rv == CKR_OK) {
            bytes.assign(value.ulValueLen, 0);
            value.pValue = bytes.data();
            rv = call(&CK_FUNCTION_LIST::C_GetAttributeValue, session, object, &value, CK_ULONG { 1 });
        }
    }
    if (rv != CKR_OK) {
        reason = "its value cannot be read (" + pkcs11ReturnName(rv) + ")";
        return false;
    }
    // The library reports how much it wrote; never trust it beyond the buffer.
    if (value.ulValueLen > bytes.size()) {
        reason = "its value cannot be read (" + std::to_string(value.ulValueLen) + " bytes reported in a buffer of " +
                 std::to_string(bytes.size()) + ")";
        return false;
    }
    bytes.resize(value.ulValueLen);
    return true;
}
