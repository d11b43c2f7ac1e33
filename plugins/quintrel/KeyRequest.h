#pragma once

// The two methods that use the token's key, Sign and Authenticate: what a
// page may send, which pages may ask, and the answers' JSON. Nothing here
// touches a token, so it is fuzzed on its own.

#include <optional>
#include <string>
#include <variant>
#include <vector>

using Bytes = std::vector<unsigned char>;

enum class KeyError { cancelled, timeout, pinIncorrect, pinLocked, noKey, keyUsage, originNotAllowed, noPrompt,
                      badRequest, token };

struct KeyFailure {
    KeyError error;
    std::string message;                 // for a person; never holds a PIN
    std::optional<unsigned> retriesLeft; // only where the token tells
};

// "pin-incorrect" and so on.
const char* keyErrorCode(KeyError error);

enum class HashAlgorithm { sha256, sha384, sha512 };
const char* hashAlgorithmName(HashAlgorithm algorithm); // "SHA-256"
std::size_t hashLength(HashAlgorithm algorithm);

struct SignRequest {
    Bytes certificate;
    Bytes hash;
    HashAlgorithm hashAlgorithm = HashAlgorithm::sha256;
};

struct AuthenticateRequest {
    Bytes certificate;
    Bytes challenge;
};

constexpr std::size_t kMinChallenge = 32;
constexpr std::size_t kMaxChallenge = 256;

// The parameter of each method, or the bad-request failure saying what is
// wrong with it. `param` may be null.
std::variant<SignRequest, KeyFailure> decodeSignRequest(const char* param);
std::variant<AuthenticateRequest, KeyFailure> decodeAuthenticateRequest(const char* param);

// Whether a page of this origin may have the key used: https, and plain
// http on localhost or 127.0.0.1 only, any port. "null", none at all and
// every other scheme may not: a sandboxed frame would hide who asks.
bool originMayUseKey(const std::string& origin);

// Standard base64 with padding; nothing else is accepted (no blanks).
std::optional<Bytes> base64Decode(const std::string& text);
std::string base64Plain(const Bytes& data);

struct Signature {
    Bytes value;
    bool ecdsa = false;
    HashAlgorithm hash = HashAlgorithm::sha256;
};

std::string signAnswer(const Signature& signature);
std::string authenticateAnswer(const std::string& origin, const Bytes& certificate, const Signature& signature);
std::string failureAnswer(const KeyFailure& failure);
