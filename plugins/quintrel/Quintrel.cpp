#include "CertificateRecords.h"
#include "KeyMethods.h"
#include "TokenWrap.h"

#include "plugin/CorvanePlugin.h"

#include <rapidjson/error/error.h>
#include <rapidjson/reader.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

struct Method {
    const char* name;
    std::string (*run)(CTokenWrap& tokenWrap);
};

template <RecordProducer producer>
std::string records(CTokenWrap& tokenWrap)
{
    return tokenWrap.walkCertificates(producer);
}

// One walk over every X.509 certificate; a failed walk lists nothing, like
// the record methods' empty text.
std::string certificateInfo(CTokenWrap& tokenWrap)
{
    std::string objects;
    const bool complete = tokenWrap.walkEveryCertificate([&objects](const FoundCertificate& found) {
        return appendCertificateInfo(found.token, found.certificate, objects);
    });
    return "[" + (complete ? objects : std::string()) + "]";
}

const Method kMethods[] = {
    { "Quintrel", records<appendCommonName> },
    { "GetCert", records<appendCertificate> },
    { "GetCertNotAfter", records<appendNotAfter> },
    { "GetCertNotBefore", records<appendNotBefore> },
    { "GetCertPubKey", records<appendPublicKey> },
    { "GetCertInfo", certificateInfo },
};

// A fresh wrapper per call; replacing it reclaims the old wrapper's memory
// but never its library (see CTokenWrap's destructor).
std::unique_ptr<CTokenWrap> g_tokenWrap;

// Exactly one JSON value, blanks around it allowed. Iterative parsing keeps
// deeply nested input off the call stack.
bool isWellFormedJson(const char* text)
{
    rapidjson::Reader reader;
    rapidjson::StringStream stream(text);
    rapidjson::BaseReaderHandler<> ignore;
    return !reader.Parse<rapidjson::kParseIterativeFlag>(stream, ignore).IsError();
}

} // namespace

CORVANE_PLUGIN_EXPORT void CorvaneSetHost(const CorvaneHost* host)
{
    setKeyMethodsHost(host);
}

CORVANE_PLUGIN_EXPORT int Invoke(const char* method, const char* param, char** result)
{
    const std::string name(method);
    // Their parameter is an object they decode themselves, and a malformed
    // one is a bad request with its own answer.
    if (auto answer = runKeyMethod(name, param)) {
        if (result != nullptr) {
            *result = new char[answer->text.size() + 1];
            std::memcpy(*result, answer->text.c_str(), answer->text.size() + 1);
        }
        return answer->ok ? 0 : -1;
    }
    if (param != nullptr && !isWellFormedJson(param)) {
        return -1;
    }
    g_tokenWrap = std::make_unique<CTokenWrap>(QUINTREL_TOKEN_LIBRARY);
    CTokenWrap* const tokenWrap = g_tokenWrap.get();

    for (const Method& candidate : kMethods) {
        if (name != candidate.name) {
            continue;
        }
        const std::string text = candidate.run(*tokenWrap);
        char* buffer = new char[text.size() + 1];
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        if (result != nullptr) {
            *result = buffer;
        } else {
            delete[] buffer;
        }
        return 0;
    }
    return 0;
}
