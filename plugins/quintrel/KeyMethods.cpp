#include "KeyMethods.h"

#include "KeyCrypto.h"
#include "KeyOperation.h"
#include "KeyRequest.h"
#include "TokenWrap.h"

namespace {

const CorvaneHost* g_host = nullptr;

constexpr unsigned kDigitalSignature = 1u << 0;
constexpr unsigned kNonRepudiation = 1u << 1;

KeyMethodAnswer failed(const KeyFailure& failure)
{
    return { false, failureAnswer(failure) };
}

std::string hostOrigin()
{
    const char* origin = g_host != nullptr && g_host->version >= 1 && g_host->origin != nullptr ? g_host->origin()
                                                                                                  : nullptr;
    return origin != nullptr ? origin : std::string();
}

// What every operation checks before anything is shown: the origin, the
// certificate and what its key may be used for.
std::optional<KeyFailure> refuse(const std::string& origin, const std::optional<DecodedCertificate>& certificate,
                                 unsigned allowedUsage, const char* purpose)
{
    if (!originMayUseKey(origin)) {
        return KeyFailure { KeyError::originNotAllowed,
                            "Pages from " + (origin.empty() ? std::string("no origin") : "\"" + origin + "\"") +
                                " may not use the token's key: only https pages may.",
                            std::nullopt };
    }
    if (!certificate) {
        return KeyFailure { KeyError::badRequest, "\"certificate\" is not a DER X.509 certificate", std::nullopt };
    }
    // Without a KeyUsage extension every use is allowed.
    if (certificate->keyUsage != 0 && (certificate->keyUsage & allowedUsage) == 0) {
        return KeyFailure { KeyError::keyUsage, std::string("The certificate's key usage does not allow ") + purpose +
                                                    ".",
                            std::nullopt };
    }
    return std::nullopt;
}

KeyMethodAnswer run(PinPrompt& prompt, KeyOperation& operation, const std::string& origin, bool authenticate,
                    const Bytes& der)
{
    CTokenWrap tokens(QUINTREL_TOKEN_LIBRARY);
    const auto outcome = runKeyOperation(tokens, prompt, operation);
    if (const auto* failure = std::get_if<KeyFailure>(&outcome)) {
        return failed(*failure);
    }
    const Signature& signature = std::get<Signature>(outcome);
    return { true, authenticate ? authenticateAnswer(origin, der, signature) : signAnswer(signature) };
}

} // namespace

void setKeyMethodsHost(const CorvaneHost* host)
{
    g_host = host;
}

std::optional<KeyMethodAnswer> runKeyMethod(const std::string& method, const char* param, PinPrompt* prompt)
{
    const bool sign = method == "Sign";
    if (!sign && method != "Authenticate") {
        return std::nullopt;
    }
    std::unique_ptr<PinPrompt> desktop;
    if (prompt == nullptr) {
        desktop = makeDesktopPrompt();
        prompt = desktop.get();
    }
    const std::string origin = hostOrigin();
    if (sign) {
        auto decoded = decodeSignRequest(param);
        if (const auto* failure = std::get_if<KeyFailure>(&decoded)) {
            // The origin comes first: a page that may not ask learns nothing more.
            if (!originMayUseKey(origin)) {
                return failed(*refuse(origin, std::nullopt, 0, ""));
            }
            return failed(*failure);
        }
        SignRequest& request = std::get<SignRequest>(decoded);
        const auto certificate = decodeCertificate(request.certificate.data(), request.certificate.size());
        if (auto refused = refuse(origin, certificate, kDigitalSignature | kNonRepudiation, "signing")) {
            return failed(*refused);
        }
        KeyOperation operation { request.certificate, *certificate, origin, false, request.hashAlgorithm,
                                 request.hash };
        return run(*prompt, operation, origin, false, request.certificate);
    }

    auto decoded = decodeAuthenticateRequest(param);
    if (const auto* failure = std::get_if<KeyFailure>(&decoded)) {
        if (!originMayUseKey(origin)) {
            return failed(*refuse(origin, std::nullopt, 0, ""));
        }
        return failed(*failure);
    }
    AuthenticateRequest& request = std::get<AuthenticateRequest>(decoded);
    const auto certificate = decodeCertificate(request.certificate.data(), request.certificate.size());
    if (auto refused = refuse(origin, certificate, kDigitalSignature, "logging in")) {
        return failed(*refused);
    }
    // SHA-256(origin) || SHA-256(challenge): the signature is worth nothing
    // to any other site, and the page cannot choose the origin.
    Bytes data = digest(HashAlgorithm::sha256, Bytes(origin.begin(), origin.end()));
    const Bytes challengeHash = digest(HashAlgorithm::sha256, request.challenge);
    data.insert(data.end(), challengeHash.begin(), challengeHash.end());
    const auto key = certificateKey(*certificate);
    const HashAlgorithm hash = key && key->ec && key->ecFieldBytes == 48 ? HashAlgorithm::sha384 : HashAlgorithm::sha256;
    KeyOperation operation { request.certificate, *certificate, origin, true, hash, digest(hash, data) };
    return run(*prompt, operation, origin, true, request.certificate);
}
