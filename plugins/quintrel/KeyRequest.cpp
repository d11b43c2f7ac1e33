#include "KeyRequest.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstring>

namespace {

// A certificate of a few kilobytes is plenty; a page's megabytes are refused
// before they are decoded.
constexpr std::size_t kMaxCertificateText = 64 * 1024;

KeyFailure badRequest(const std::string& message)
{
    return { KeyError::badRequest, message, std::nullopt };
}

// The member as bytes, or the failure naming it.
std::variant<Bytes, KeyFailure> base64Member(const rapidjson::Value& object, const char* name, std::size_t maxText)
{
    const auto member = object.FindMember(name);
    if (member == object.MemberEnd()) {
        return badRequest(std::string("\"") + name + "\" is missing");
    }
    if (!member->value.IsString()) {
        return badRequest(std::string("\"") + name + "\" must be a base64 string");
    }
    if (member->value.GetStringLength() > maxText) {
        return badRequest(std::string("\"") + name + "\" is too long");
    }
    auto bytes = base64Decode(std::string(member->value.GetString(), member->value.GetStringLength()));
    if (!bytes || bytes->empty()) {
        return badRequest(std::string("\"") + name + "\" is not base64");
    }
    return std::move(*bytes);
}

std::variant<rapidjson::Document, KeyFailure> parseObject(const char* param)
{
    rapidjson::Document document;
    if (param == nullptr) {
        return badRequest("the parameter must be a JSON object");
    }
    document.Parse<rapidjson::kParseIterativeFlag>(param);
    if (document.HasParseError() || !document.IsObject()) {
        return badRequest("the parameter must be a JSON object");
    }
    return document;
}

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void writeSignatureMembers(rapidjson::Writer<rapidjson::StringBuffer>& writer, const Signature& signature)
{
    const std::string value = base64Plain(signature.value);
    writer.Key("signature");
    writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
    writer.Key("signatureAlgorithm");
    writer.StartObject();
    writer.Key("name");
    writer.String(signature.ecdsa ? "ECDSA" : "RSASSA-PKCS1-v1_5");
    writer.Key("hash");
    writer.String(hashAlgorithmName(signature.hash));
    writer.EndObject();
}

} // namespace

const char* keyErrorCode(KeyError error)
{
    switch (error) {
    case KeyError::cancelled: return "cancelled";
    case KeyError::timeout: return "timeout";
    case KeyError::pinIncorrect: return "pin-incorrect";
    case KeyError::pinLocked: return "pin-locked";
    case KeyError::noKey: return "no-key";
    case KeyError::keyUsage: return "key-usage";
    case KeyError::originNotAllowed: return "origin-not-allowed";
    case KeyError::noPrompt: return "no-prompt";
    case KeyError::badRequest: return "bad-request";
    case KeyError::token: return "token";
    }
    return "token";
}

const char* hashAlgorithmName(HashAlgorithm algorithm)
{
    switch (algorithm) {
    case HashAlgorithm::sha256: return "SHA-256";
    case HashAlgorithm::sha384: return "SHA-384";
    case HashAlgorithm::sha512: return "SHA-512";
    }
    return "SHA-256";
}

std::size_t hashLength(HashAlgorithm algorithm)
{
    switch (algorithm) {
    case HashAlgorithm::sha256: return 32;
    case HashAlgorithm::sha384: return 48;
    case HashAlgorithm::sha512: return 64;
    }
    return 32;
}

std::variant<SignRequest, KeyFailure> decodeSignRequest(const char* param)
{
    auto parsed = parseObject(param);
    if (auto* failure = std::get_if<KeyFailure>(&parsed)) {
        return *failure;
    }
    const rapidjson::Document& object = std::get<rapidjson::Document>(parsed);
    SignRequest request;
    auto certificate = base64Member(object, "certificate", kMaxCertificateText);
    if (auto* failure = std::get_if<KeyFailure>(&certificate)) {
        return *failure;
    }
    request.certificate = std::move(std::get<Bytes>(certificate));

    const auto algorithm = object.FindMember("hashAlgorithm");
    if (algorithm == object.MemberEnd() || !algorithm->value.IsString()) {
        return badRequest("\"hashAlgorithm\" must be \"SHA-256\", \"SHA-384\" or \"SHA-512\"");
    }
    const std::string name(algorithm->value.GetString(), algorithm->value.GetStringLength());
    bool known = false;
    for (HashAlgorithm candidate : { HashAlgorithm::sha256, HashAlgorithm::sha384, HashAlgorithm::sha512 }) {
        if (name == hashAlgorithmName(candidate)) {
            request.hashAlgorithm = candidate;
            known = true;
        }
    }
    if (!known) {
        return badRequest("\"hashAlgorithm\" must be \"SHA-256\", \"SHA-384\" or \"SHA-512\"");
    }
    auto hash = base64Member(object, "hash", 128);
    if (auto* failure = std::get_if<KeyFailure>(&hash)) {
        return *failure;
    }
    request.hash = std::move(std::get<Bytes>(hash));
    if (request.hash.size() != hashLength(request.hashAlgorithm)) {
        return badRequest("\"hash\" is " + std::to_string(request.hash.size()) + " bytes long, a " + name +
                          " hash is " + std::to_string(hashLength(request.hashAlgorithm)));
    }
    return request;
}

std::variant<AuthenticateRequest, KeyFailure> decodeAuthenticateRequest(const char* param)
{
    auto parsed = parseObject(param);
    if (auto* failure = std::get_if<KeyFailure>(&parsed)) {
        return *failure;
    }
    const rapidjson::Document& object = std::get<rapidjson::Document>(parsed);
    AuthenticateRequest request;
    auto certificate = base64Member(object, "certificate", kMaxCertificateText);
    if (auto* failure = std::get_if<KeyFailure>(&certificate)) {
        return *failure;
    }
    request.certificate = std::move(std::get<Bytes>(certificate));
    auto challenge = base64Member(object, "challenge", 4 * kMaxChallenge);
    if (auto* failure = std::get_if<KeyFailure>(&challenge)) {
        return *failure;
    }
    request.challenge = std::move(std::get<Bytes>(challenge));
    if (request.challenge.size() < kMinChallenge || request.challenge.size() > kMaxChallenge) {
        return badRequest("\"challenge\" must be 32 to 256 bytes, not " + std::to_string(request.challenge.size()));
    }
    return request;
}

bool originMayUseKey(const std::string& origin)
{
    // scheme "://" host [":" port], and nothing after: the serialized form.
    const auto hostAndPort = [&origin](std::size_t start, bool anyHost, const char* onlyHost) {
        const std::size_t colon = origin.find(':', start);
        const std::string host = origin.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (host.empty()) {
            return false;
        }
        if (anyHost) {
            for (char c : host) {
                const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '[' || c == ']';
                if (!ok) {
                    return false;
                }
            }
        } else if (host != onlyHost) {
            return false;
        }
        if (colon == std::string::npos) {
            return true;
        }
        const std::string port = origin.substr(colon + 1);
        if (port.empty() || port.size() > 5) {
            return false;
        }
        for (char c : port) {
            if (c < '0' || c > '9') {
                return false;
            }
        }
        return std::stoul(port) <= 65535;
    };
    if (origin.rfind("https://", 0) == 0) {
        // An IPv6 literal holds colons: take the port after its bracket.
        if (origin.size() > 8 && origin[8] == '[') {
            const std::size_t close = origin.find(']');
            if (close == std::string::npos || close == 9 ||
                origin.find_first_not_of("0123456789abcdefABCDEF:.", 9) != close) {
                return false;
            }
            const std::string rest = origin.substr(close + 1);
            return rest.empty() || (rest[0] == ':' && rest.size() > 1 && rest.size() <= 6 &&
                                    rest.find_first_not_of("0123456789", 1) == std::string::npos);
        }
        return hostAndPort(8, true, nullptr);
    }
    if (origin.rfind("http://", 0) == 0) {
        return hostAndPort(7, false, "localhost") || hostAndPort(7, false, "127.0.0.1");
    }
    return false;
}

std::optional<Bytes> base64Decode(const std::string& text)
{
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        unsigned value = 0;
        int padding = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            unsigned digit = 0;
            if (c == '=') {
                // Only at the very end, and at most two.
                if (i + 4 != text.size() || j < 2) {
                    return std::nullopt;
                }
                ++padding;
            } else {
                if (padding != 0) {
                    return std::nullopt;
                }
                const char* found = c == '\0' ? nullptr : std::strchr(kAlphabet, c);
                if (found == nullptr) {
                    return std::nullopt;
                }
                digit = static_cast<unsigned>(found - kAlphabet);
            }
            value = (value << 6) | digit;
        }
        out.push_back(static_cast<unsigned char>(value >> 16));
        if (padding < 2) {
            out.push_back(static_cast<unsigned char>((value >> 8) & 0xff));
        }
        if (padding < 1) {
            out.push_back(static_cast<unsigned char>(value & 0xff));
        }
    }
    return out;
}

std::string base64Plain(const Bytes& data)
{
    std::string text;
    text.reserve((data.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < data.size(); i += 3) {
        const unsigned a = data[i];
        const unsigned b = i + 1 < data.size() ? data[i + 1] : 0;
        const unsigned c = i + 2 < data.size() ? data[i + 2] : 0;
        const unsigned value = (a << 16) | (b << 8) | c;
        text += kAlphabet[(value >> 18) & 63];
        text += kAlphabet[(value >> 12) & 63];
        text += i + 1 < data.size() ? kAlphabet[(value >> 6) & 63] : '=';
        text += i + 2 < data.size() ? kAlphabet[value & 63] : '=';
    }
    return text;
}

std::string signAnswer(const Signature& signature)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writeSignatureMembers(writer, signature);
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string authenticateAnswer(const std::string& origin, const Bytes& certificate, const Signature& signature)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("format");
    writer.String("corvane-auth:1");
    writer.Key("origin");
    writer.String(origin.c_str(), static_cast<rapidjson::SizeType>(origin.size()));
    const std::string der = base64Plain(certificate);
    writer.Key("certificate");
    writer.String(der.c_str(), static_cast<rapidjson::SizeType>(der.size()));
    writeSignatureMembers(writer, signature);
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string failureAnswer(const KeyFailure& failure)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("error");
    writer.String(keyErrorCode(failure.error));
    writer.Key("message");
    writer.String(failure.message.c_str(), static_cast<rapidjson::SizeType>(failure.message.size()));
    if (failure.retriesLeft) {
        writer.Key("retriesLeft");
        writer.Uint(*failure.retriesLeft);
    }
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}
