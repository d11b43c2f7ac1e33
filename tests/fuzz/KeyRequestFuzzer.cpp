// The parameter decoding of Sign and Authenticate, for any parameter text:
// a decoded request always holds what the methods rely on (a hash of its
// algorithm's length, a challenge of 32 to 256 bytes, a non-empty
// certificate), and the failure answer is a JSON object naming bad-request.

#include "FuzzCheck.h"

#include "KeyRequest.h"

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string param(reinterpret_cast<const char*>(data), size);
    const auto sign = decodeSignRequest(param.c_str());
    if (const auto* request = std::get_if<SignRequest>(&sign)) {
        FUZZ_CHECK(!request->certificate.empty());
        FUZZ_CHECK(request->hash.size() == hashLength(request->hashAlgorithm));
        // What was decoded encodes back to text that decodes to the same bytes.
        FUZZ_CHECK(base64Decode(base64Plain(request->hash)) == request->hash);
    } else {
        checkFailure(std::get<KeyFailure>(sign));
    }
    const auto authenticate = decodeAuthenticateRequest(param.c_str());
    if (const auto* request = std::get_if<AuthenticateRequest>(&authenticate)) {
        FUZZ_CHECK(!request->certificate.empty());
        FUZZ_CHECK(request->challenge.size() >= kMinChallenge && request->challenge.size() <= kMaxChallenge);
    } else {
        checkFailure(std::get<KeyFailure>(authenticate));
    }
    // The allow-list never admits a text with a path, a blank or a control character.
    if (originMayUseKey(param)) {
        FUZZ_CHECK(param.find_first_of("/ \t\r\n?#@", param.find("://") + 3) == std::string::npos);
    }
    return 0;
}
