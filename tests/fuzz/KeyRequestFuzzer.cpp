// The parameter decoding of Sign and Authenticate, for any parameter text:
// a decoded request always holds what the methods rely on (a hash of its
// algorithm's length, a challenge of 32 to 256 bytes, a non-empty
// certificate), its bytes are what OpenSSL decodes from the members that
// RapidJSON reads, and the failure answer is a JSON object naming bad-request.

#include "FuzzCheck.h"

#include "KeyRequest.h"

#include <openssl/evp.h>
#include <rapidjson/document.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

void checkFailure(const KeyFailure& failure)
{
    FUZZ_CHECK(failure.error == KeyError::badRequest);
    rapidjson::Document answer;
    answer.Parse(failureAnswer(failure).c_str());
    FUZZ_CHECK(!answer.HasParseError() && answer.IsObject());
    FUZZ_CHECK(std::string(answer["error"].GetString()) == "bad-request");
}

// The member's base64 as OpenSSL decodes it.
Bytes opensslMember(const std::string& param, const char* name)
{
    rapidjson::Document document;
    document.Parse(param.c_str());
    FUZZ_CHECK(!document.HasParseError() && document.IsObject() && document[name].IsString());
    const std::string text(document[name].GetString(), document[name].GetStringLength());
    Bytes out(text.size() / 4 * 3 + 3);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    FUZZ_CHECK(n >= 0);
    std::size_t padding = 0;
    for (std::size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) {
        ++padding;
    }
    out.resize(static_cast<std::size_t>(n) - padding);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string param(reinterpret_cast<const char*>(data), size);
    const auto sign = decodeSignRequest(param.c_str());
    if (const auto* request = std::get_if<SignRequest>(&sign)) {
        FUZZ_CHECK(!request->certificate.empty());
        FUZZ_CHECK(request->hash.size() == hashLength(request->hashAlgorithm));
        FUZZ_CHECK(request->hash == opensslMember(param, "hash"));
        FUZZ_CHECK(request->certificate == opensslMember(param, "certificate"));
    } else {
        checkFailure(std::get<KeyFailure>(sign));
    }
    const auto authenticate = decodeAuthenticateRequest(param.c_str());
    if (const auto* request = std::get_if<AuthenticateRequest>(&authenticate)) {
        FUZZ_CHECK(!request->certificate.empty());
        FUZZ_CHECK(request->challenge.size() >= kMinChallenge && request->challenge.size() <= kMaxChallenge);
        FUZZ_CHECK(request->challenge == opensslMember(param, "challenge"));
    } else {
        checkFailure(std::get<KeyFailure>(authenticate));
    }
    // The allow-list never admits a text with a path, a blank or a control character.
    if (originMayUseKey(param)) {
        FUZZ_CHECK(param.find_first_of("/ \t\r\n?#@", param.find("://") + 3) == std::string::npos);
    }
    return 0;
}
