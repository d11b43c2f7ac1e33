#pragma once

// The token library and the certificate walk over it.
//
// A wrapper loads the PKCS#11 library by file name on its first use, obtains
// its standard and auxiliary function lists and initializes it. The library
// then stays loaded and initialized for the life of the process, whatever
// becomes of the wrapper (see the destructor). One method call uses one
// wrapper; calls must not overlap, since the library is initialized without
// locking callbacks.

#include "CertificateRecords.h"

#include "platform/modules/Modules.h"

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

// What the walk hands to its per-certificate step.
struct FoundCertificate {
    const std::string& token;                // the token's label, trailing blanks removed
    const DecodedCertificate& certificate;
};
using CertificateStep = std::function<WalkStep(const FoundCertificate& found)>;

// Told of the steps of loading the library and walking its tokens as they
// happen, for the diagnostics program; Quintrel itself passes none. A report
// changes nothing the wrapper does, and whatever it asks the library through
// the list it is given must not change the library's state.
class WalkReport {
public:
    virtual ~WalkReport() = default;
    // The platform's error code of the failed load.
    virtual void libraryNotLoaded(std::uint32_t error) = 0;
    virtual void libraryLoaded(platform::ModuleHandle module) = 0;
    // A function that must succeed before C_Initialize failed with rv
    // ("C_GetFunctionList", "Kv_GetAuxFunctionList"), or was not exported
    // (exported false).
    virtual void entryFailed(const char* name, bool exported, CK_RV rv) = 0;
    virtual void initialized(CK_RV rv, CK_FUNCTION_LIST* functions) = 0;
    // A certificate object the walk passed over, and why: its value could not
    // be read, was too long, or does not decode. The session is open on the
    // token for as long as the call lasts.
    virtual void certificateUnreadable(const std::string& token, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                       const std::string& reason) = 0;
};

class CTokenWrap {
public:
    // `libraryName` is a bare file name (UTF-8): the directory of the running
    // executable is searched first, then the platform's library search path.
    explicit CTokenWrap(std::string libraryName);
    virtual ~CTokenWrap();
    CTokenWrap(const CTokenWrap&) = delete;
    CTokenWrap& operator=(const CTokenWrap&) = delete;

    // 0 when the library is loaded, both lists were obtained and C_Initialize
    // succeeded (or found it initialized already); non-zero otherwise. Once the
    // module is loaded, later calls succeed at once without checking anything.
    int LoadTokenLibrary();

    // Not owned; may be null.
    void setReport(WalkReport* report) { m_report = report; }

    // 0 on success with the number of slots whose token information could be
    // read stored through `count` (when not null); non-zero on failure, with
    // `count` untouched.
    int CountTokens(CK_ULONG* count);

    // The certificate walk: visits the first N slots with a token (N from
    // CountTokens), reads every certificate object and hands each decoded
    // certificate to `step`. False when anything before the search fails,
    // when a session cannot be opened, or when the step abandons the walk;
    // whatever the step gathered must then be dropped.
    bool walk(const CertificateStep& step);

    // The walk with `producer` appending a record per certificate; empty
    // when the walk fails.
    std::string walkCertificates(RecordProducer producer);

    // GetCertInfo's walk, with as few calls as a slow token allows: the slots
    // are listed once, handles are fetched in batches, and each value is read
    // in one call unless it exceeds kValueBuffer. Only X.509 certificates are
    // searched, every slot whose token information can be read is visited,
    // and an object whose value cannot be read or decoded is passed over
    // (and reported) instead of ending the token's search; a card taken out
    // since the slots were listed is passed over too. False when the library
    // is not usable, the slots cannot be listed, a session cannot be opened
    // for another reason, or the step abandons the walk.
    bool walkEveryCertificate(const CertificateStep& step);

    // Values announced above this are taken as unreadable: a hostile length
    // must not make the plug-in allocate without bound.
    static constexpr CK_ULONG kMaxValueLength = 4ul * 1024 * 1024;
    // The first read's buffer: nearly every certificate fits.
    static constexpr CK_ULONG kValueBuffer = 8 * 1024;
    // Handles asked for per C_FindObjects.
    static constexpr CK_ULONG kHandleBatch = 64;
    // A token claiming more certificate objects than this is not searched
    // further: a hostile library must not grow the list without bound.
    static constexpr std::size_t kMaxObjects = 4096;
    // Likewise for slots: a hostile count must not allocate without bound.
    static constexpr CK_ULONG kMaxSlots = 4096;

private:
    // The key operations (KeyOperation.cpp) make their calls through call() too.
    friend class KeySession;

    // Every call into the library's function list passes here, so the
    // sequence of calls is in one place. A missing list or entry fails the
    // call instead of jumping through null.
    template <typename Entry, typename... Args>
    CK_RV call(Entry CK_FUNCTION_LIST::*entry, Args... args) const
    {
        if (m_functions == nullptr || m_functions->*entry == nullptr) {
            return CKR_FUNCTION_NOT_SUPPORTED;
        }
        return (m_functions->*entry)(args...);
    }

    // Appends the records of one token's certificates; false when the
    // producer abandoned the walk (the search has then been finished).
    bool searchToken(CK_SESSION_HANDLE session, const std::string& token, const CertificateStep& step);
    // walkEveryCertificate's search of one token.
    bool searchEveryCertificate(CK_SESSION_HANDLE session, const std::string& token, const CertificateStep& step);
    // Reads one CKA_VALUE into `bytes`; false with the reason otherwise.
    bool readValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, std::vector<unsigned char>& bytes,
                   std::string& reason) const;

    std::string m_libraryName;
    platform::ModuleHandle m_module = nullptr;
    void* m_auxFunctions = nullptr;
    CK_FUNCTION_LIST* m_functions = nullptr;
    // Labels of the tokens whose information CountTokens could read.
    std::map<CK_SLOT_ID, std::string> m_tokenLabels;
    WalkReport* m_report = nullptr;
};
