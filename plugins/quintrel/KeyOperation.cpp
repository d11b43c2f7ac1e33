#include "KeyOperation.h"

#include "CertificateRecords.h"
#include "Pkcs11Names.h"
#include "TokenWrap.h"

#include <algorithm>
#include <vector>

namespace {

KeyFailure failure(KeyError error, std::string message, std::optional<unsigned> retries = std::nullopt)
{
    return { error, std::move(message), retries };
}

KeyFailure tokenFailure(const char* what, CK_RV rv)
{
    return failure(KeyError::token, std::string(what) + " failed: " + pkcs11ReturnName(rv));
}

Bytes withoutLeadingZeros(Bytes bytes)
{
    const auto first = std::find_if(bytes.begin(), bytes.end(), [](unsigned char b) { return b != 0; });
    bytes.erase(bytes.begin(), first);
    return bytes;
}

const Bytes& digestInfoPrefix(HashAlgorithm algorithm)
{
    // DER of DigestInfo up to the digest's OCTET STRING content.
    static const Bytes sha256 = { 0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                  0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20 };
    static const Bytes sha384 = { 0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                  0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30 };
    static const Bytes sha512 = { 0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                  0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40 };
    return algorithm == HashAlgorithm::sha512 ? sha512 : algorithm == HashAlgorithm::sha384 ? sha384 : sha256;
}

std::string issuerText(const DecodedCertificate& certificate)
{
    // The issuer's last common name reads best; a name without one is given whole.
    for (auto rdn = certificate.issuer.rbegin(); rdn != certificate.issuer.rend(); ++rdn) {
        for (const NameAttribute& attribute : *rdn) {
            if (attribute.oid == "2.5.4.3" && attribute.text) {
                return *attribute.text;
            }
        }
    }
    return rfc4514Text(certificate.issuer);
}

} // namespace

std::optional<CertificateKey> certificateKey(const DecodedCertificate& certificate)
{
    const Bytes& key = certificate.publicKey;
    if (key.empty()) {
        return std::nullopt;
    }
    auto material = publicKeyBytes(certificate);
    if (!material) {
        return std::nullopt;
    }
    CertificateKey result;
    // The certificate's algorithm says whether the bits hold an RSAPublicKey;
    // a key of another kind may start with the same byte.
    if (certificate.keyAlgorithm == kRsaEncryptionOid && key[0] == 0x30) {
        result.material = withoutLeadingZeros(*material);
        return result.material.empty() ? std::nullopt : std::optional<CertificateKey>(result);
    }
    // publicKeyBytes drops a leading zero, which an EC point never has.
    if (key[0] != 0x04 || key.size() < 3 || key.size() % 2 != 1) {
        return std::nullopt;
    }
    result.ec = true;
    result.material = key;
    result.ecFieldBytes = (key.size() - 1) / 2;
    return result;
}

// Each step of one operation; the session is closed and logged out whatever
// becomes of it.
class KeySession {
public:
    explicit KeySession(CTokenWrap& tokens)
        : m_tokens(tokens)
    {
    }
    ~KeySession()
    {
        if (m_session != CK_INVALID_HANDLE) {
            if (m_loginTried) {
                m_tokens.call(&CK_FUNCTION_LIST::C_Logout, m_session);
            }
            m_tokens.call(&CK_FUNCTION_LIST::C_CloseSession, m_session);
        }
    }
    KeySession(const KeySession&) = delete;
    KeySession& operator=(const KeySession&) = delete;

    std::variant<Signature, KeyFailure> run(PinPrompt& prompt, const KeyOperation& operation)
    {
        const auto key = certificateKey(operation.certificate);
        if (!key) {
            return failure(KeyError::noKey, "The certificate's key is of a kind that cannot sign here.");
        }
        CK_ULONG tokenCount = 0;
        if (m_tokens.CountTokens(&tokenCount) != 0) {
            return failure(KeyError::token, "The token library cannot be used.");
        }
        CK_SLOT_ID slot = 0;
        Bytes id;
        std::string label;
        if (!findCertificate(operation.certificateDer, slot, id, label)) {
            return failure(KeyError::noKey, "No token present holds this certificate.");
        }

        CK_TOKEN_INFO info {};
        if (const CK_RV rv = m_tokens.call(&CK_FUNCTION_LIST::C_GetTokenInfo, slot, &info); rv != CKR_OK) {
            return tokenFailure("C_GetTokenInfo", rv);
        }
        if (info.flags & CKF_USER_PIN_LOCKED) {
            return failure(KeyError::pinLocked, "The token's PIN is locked.", 0u);
        }
        if (const CK_RV rv = m_tokens.call(&CK_FUNCTION_LIST::C_OpenSession, slot, CK_FLAGS { CKF_SERIAL_SESSION },
                                           static_cast<void*>(nullptr), CK_NOTIFY { nullptr }, &m_session);
            rv != CKR_OK) {
            m_session = CK_INVALID_HANDLE;
            return tokenFailure("C_OpenSession", rv);
        }

        PromptRequest request;
        request.origin = operation.origin;
        request.login = operation.login;
        request.commonName = operation.certificate.commonName;
        request.issuer = issuerText(operation.certificate);
        request.token = label;
        request.pinPad = (info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
        if (auto refused = logIn(prompt, request, slot)) {
            return *refused;
        }
        CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
        if (auto missing = findKey(id, *key, privateKey)) {
            return *missing;
        }
        return sign(privateKey, *key, operation);
    }

private:
    // The slot, CKA_ID and label of the token that holds exactly these bytes
    // as a certificate object. The same certificate may sit on several
    // tokens, not all with its key: one that shows a key object under the
    // certificate's id before login is taken first.
    bool findCertificate(const Bytes& der, CK_SLOT_ID& slot, Bytes& id, std::string& label)
    {
        bool found = false;
        for (const auto& [candidate, candidateLabel] : m_tokens.m_tokenLabels) {
            CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
            if (m_tokens.call(&CK_FUNCTION_LIST::C_OpenSession, candidate, CK_FLAGS { CKF_SERIAL_SESSION },
                              static_cast<void*>(nullptr), CK_NOTIFY { nullptr }, &session) != CKR_OK) {
                continue;
            }
            Bytes candidateId;
            const bool holds = holdsCertificate(session, der, candidateId);
            const bool keyShown = holds && !candidateId.empty() && showsKey(session, candidateId);
            m_tokens.call(&CK_FUNCTION_LIST::C_CloseSession, session);
            if (holds && (!found || keyShown)) {
                slot = candidate;
                label = candidateLabel;
                id = candidateId;
                found = true;
            }
            if (keyShown) {
                break;
            }
        }
        return found;
    }

    bool holdsCertificate(CK_SESSION_HANDLE session, const Bytes& der, Bytes& id)
    {
        CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
        CK_BBOOL onToken = CK_TRUE;
        CK_ATTRIBUTE search[] = {
            { CKA_CLASS, &certificateClass, sizeof certificateClass },
            { CKA_TOKEN, &onToken, sizeof onToken },
        };
        bool found = false;
        if (m_tokens.call(&CK_FUNCTION_LIST::C_FindObjectsInit, session, search, CK_ULONG { 2 }) != CKR_OK) {
            return false;
        }
        for (;;) {
            CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
            CK_ULONG count = 0;
            if (m_tokens.call(&CK_FUNCTION_LIST::C_FindObjects, session, &object, CK_ULONG { 1 }, &count) != CKR_OK ||
                count == 0) {
                break;
            }
            if (attribute(session, object, CKA_VALUE) == der) {
                id = attribute(session, object, CKA_ID);
                found = true;
                break;
            }
        }
        m_tokens.call(&CK_FUNCTION_LIST::C_FindObjectsFinal, session);
        return found;
    }

    // Whether a public or private key object under `id` is visible now.
    bool showsKey(CK_SESSION_HANDLE session, const Bytes& id)
    {
        for (CK_OBJECT_CLASS keyClass : { CKO_PUBLIC_KEY, CKO_PRIVATE_KEY }) {
            CK_ATTRIBUTE search[] = {
                { CKA_CLASS, &keyClass, sizeof keyClass },
                { CKA_ID, const_cast<unsigned char*>(id.data()), static_cast<CK_ULONG>(id.size()) },
            };
            if (m_tokens.call(&CK_FUNCTION_LIST::C_FindObjectsInit, session, search, CK_ULONG { 2 }) != CKR_OK) {
                continue;
            }
            CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
            CK_ULONG count = 0;
            const bool shown =
                m_tokens.call(&CK_FUNCTION_LIST::C_FindObjects, session, &object, CK_ULONG { 1 }, &count) == CKR_OK &&
                count != 0;
            m_tokens.call(&CK_FUNCTION_LIST::C_FindObjectsFinal, session);
            if (shown) {
                return true;
            }
        }
        return false;
    }

    // An attribute's bytes; empty when it cannot be read.
    Bytes attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type)
    {
        CK_ATTRIBUTE query = { type, nullptr, 0 };
        if (m_tokens.call(&CK_FUNCTION_LIST::C_GetAttributeValue, session, object, &query, CK_ULONG { 1 }) != CKR_OK ||
            query.ulValueLen == CK_UNAVAILABLE_INFORMATION || query.ulValueLen > CTokenWrap::kMaxValueLength) {
            return {};
        }
        Bytes value(query.ulValueLen);
        query.pValue = value.data();
        if (m_tokens.call(&CK_FUNCTION_LIST::C_GetAttributeValue, session, object, &query, CK_ULONG { 1 }) != CKR_OK) {
            return {};
        }
        value.resize(std::min<std::size_t>(value.size(), query.ulValueLen));
        return value;
    }

    // Asks until the token takes the PIN, the user gives up or the token
    // locks. nullopt once logged in.
    std::optional<KeyFailure> logIn(PinPrompt& prompt, PromptRequest& request, CK_SLOT_ID slot)
    {
        bool wrongBefore = false;
        std::optional<unsigned> retries;
        for (;;) {
            SecretBuffer pin;
            switch (prompt.ask(request, pin)) {
            case PromptResult::pin:
            case PromptResult::confirmed:
                break;
            case PromptResult::cancelled:
                return wrongBefore ? failure(KeyError::pinIncorrect, "The PIN was wrong.", retries)
                                   : failure(KeyError::cancelled, "The user cancelled.");
            case PromptResult::timeout:
                return failure(KeyError::timeout, "Nobody answered the prompt in time.");
            case PromptResult::unavailable:
                return failure(KeyError::noPrompt, "No PIN prompt can be shown on this desktop.");
            }
            m_loginTried = true;
            // A PIN pad reader takes the PIN itself: C_Login gets none.
            const CK_RV rv = request.pinPad
                                 ? m_tokens.call(&CK_FUNCTION_LIST::C_Login, m_session, CK_USER_TYPE { CKU_USER },
                                                 static_cast<unsigned char*>(nullptr), CK_ULONG { 0 })
                                 : m_tokens.call(&CK_FUNCTION_LIST::C_Login, m_session, CK_USER_TYPE { CKU_USER },
                                                 pin.data(), static_cast<CK_ULONG>(pin.size()));
            pin.clear();
            if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
                return std::nullopt;
            }
            if (rv == CKR_PIN_LOCKED) {
                return failure(KeyError::pinLocked, "The token's PIN is locked.", 0u);
            }
            if (rv == CKR_FUNCTION_CANCELED) {
                return failure(KeyError::cancelled, "The user cancelled on the reader.");
            }
            if (rv != CKR_PIN_INCORRECT && rv != CKR_PIN_INVALID && rv != CKR_PIN_LEN_RANGE) {
                return tokenFailure("C_Login", rv);
            }
            wrongBefore = true;
            CK_TOKEN_INFO info {};
            const CK_FLAGS flags =
                m_tokens.call(&CK_FUNCTION_LIST::C_GetTokenInfo, slot, &info) == CKR_OK ? info.flags : 0;
            if (flags & CKF_USER_PIN_LOCKED) {
                return failure(KeyError::pinLocked, "The PIN was wrong too often: the token's PIN is now locked.", 0u);
            }
            if (flags & CKF_USER_PIN_FINAL_TRY) {
                retries = 1u;
                request.error = "Wrong PIN. 1 try left: one more wrong PIN locks the token.";
            } else if (flags & CKF_USER_PIN_COUNT_LOW) {
                retries.reset();
                request.error = "Wrong PIN. Only a few tries are left.";
            } else {
                retries.reset();
                request.error = "Wrong PIN. Try again.";
            }
        }
    }

    // The private key under the certificate's CKA_ID whose public half is
    // the certificate's: a token may hold another key under the same id.
    std::optional<KeyFailure> findKey(const Bytes& id, const CertificateKey& key, CK_OBJECT_HANDLE& found)
    {
        if (id.empty()) {
            return failure(KeyError::noKey, "The certificate on the token has no key id.");
        }
        CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
        CK_ATTRIBUTE search[] = {
            { CKA_CLASS, &keyClass, sizeof keyClass },
            { CKA_ID, const_cast<unsigned char*>(id.data()), static_cast<CK_ULONG>(id.size()) },
        };
        if (const CK_RV rv = m_tokens.call(&CK_FUNCTION_LIST::C_FindObjectsInit, m_session, search, CK_ULONG { 2 });
            rv != CKR_OK) {
            return tokenFailure("C_FindObjectsInit", rv);
        }
        // An EC point is stored either bare or as a DER OCTET STRING.
        Bytes wrappedPoint;
        if (key.ec && key.material.size() < 128) {
            wrappedPoint = { 0x04, static_cast<unsigned char>(key.material.size()) };
            wrappedPoint.insert(wrappedPoint.end(), key.material.begin(), key.material.end());
        }
        std::vector<CK_OBJECT_HANDLE> ecWithoutPoint;
        for (int i = 0; i < 64 && found == CK_INVALID_HANDLE; ++i) {
            CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
            CK_ULONG count = 0;
            if (m_tokens.call(&CK_FUNCTION_LIST::C_FindObjects, m_session, &object, CK_ULONG { 1 }, &count) != CKR_OK ||
                count == 0) {
                break;
            }
            const Bytes type = attribute(m_session, object, CKA_KEY_TYPE);
            CK_KEY_TYPE keyType = static_cast<CK_KEY_TYPE>(-1);
            if (type.size() == sizeof keyType) {
                std::copy(type.begin(), type.end(), reinterpret_cast<unsigned char*>(&keyType));
            }
            if (!key.ec && keyType == CKK_RSA) {
                if (withoutLeadingZeros(attribute(m_session, object, CKA_MODULUS)) == key.material) {
                    found = object;
                }
            } else if (key.ec && keyType == CKK_EC) {
                const Bytes point = attribute(m_session, object, CKA_EC_POINT);
                if (point.empty()) {
                    ecWithoutPoint.push_back(object);
                } else if (point == key.material || (!wrappedPoint.empty() && point == wrappedPoint)) {
                    found = object;
                }
            }
        }
        m_tokens.call(&CK_FUNCTION_LIST::C_FindObjectsFinal, m_session);
        // A private EC key need not carry its point; then the public key
        // object under the same id must, and only one private key may
        // stand for it.
        if (found == CK_INVALID_HANDLE && ecWithoutPoint.size() == 1 && publicPointMatches(id, key.material, wrappedPoint)) {
            found = ecWithoutPoint.front();
        }
        if (found == CK_INVALID_HANDLE) {
            return failure(KeyError::noKey, "The token holds no private key that belongs to this certificate.");
        }
        return std::nullopt;
    }

    bool publicPointMatches(const Bytes& id, const Bytes& point, const Bytes& wrappedPoint)
    {
        CK_OBJECT_CLASS keyClass = CKO_PUBLIC_KEY;
        CK_ATTRIBUTE search[] = {
            { CKA_CLASS, &keyClass, sizeof keyClass },
            { CKA_ID, const_cast<unsigned char*>(id.data()), static_cast<CK_ULONG>(id.size()) },
        };
        if (m_tokens.call(&CK_FUNCTION_LIST::C_FindObjectsInit, m_session, search, CK_ULONG { 2 }) != CKR_OK) {
            return false;
        }
        bool matches = false;
        bool mismatch = false;
        for (int i = 0; i < 64; ++i) {
            CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
            CK_ULONG count = 0;
            if (m_tokens.call(&CK_FUNCTION_LIST::C_FindObjects, m_session, &object, CK_ULONG { 1 }, &count) != CKR_OK ||
                count == 0) {
                break;
            }
            const Bytes value = attribute(m_session, object, CKA_EC_POINT);
            const bool same = value == point || (!wrappedPoint.empty() && value == wrappedPoint);
            matches = matches || same;
            mismatch = mismatch || !same;
        }
        m_tokens.call(&CK_FUNCTION_LIST::C_FindObjectsFinal, m_session);
        // Two different public keys under one id leave it unclear which the
        // private key is: refuse rather than guess.
        return matches && !mismatch;
    }

    std::variant<Signature, KeyFailure> sign(CK_OBJECT_HANDLE privateKey, const CertificateKey& key,
                                             const KeyOperation& operation)
    {
        Bytes input;
        CK_MECHANISM mechanism = { key.ec ? CKM_ECDSA : CKM_RSA_PKCS, nullptr, 0 };
        if (!key.ec) {
            input = digestInfoPrefix(operation.hash);
        }
        input.insert(input.end(), operation.hashValue.begin(), operation.hashValue.end());
        if (const CK_RV rv = m_tokens.call(&CK_FUNCTION_LIST::C_SignInit, m_session, &mechanism, privateKey);
            rv != CKR_OK) {
            return tokenFailure("C_SignInit", rv);
        }
        CK_ULONG length = 0;
        if (const CK_RV rv = m_tokens.call(&CK_FUNCTION_LIST::C_Sign, m_session, input.data(),
                                           static_cast<CK_ULONG>(input.size()), static_cast<unsigned char*>(nullptr),
                                           &length);
            rv != CKR_OK) {
            return tokenFailure("C_Sign", rv);
        }
        if (length == 0 || length > 4096) {
            return failure(KeyError::token, "C_Sign announced a signature of " + std::to_string(length) + " bytes.");
        }
        Signature signature;
        signature.value.assign(length, 0);
        if (const CK_RV rv = m_tokens.call(&CK_FUNCTION_LIST::C_Sign, m_session, input.data(),
                                           static_cast<CK_ULONG>(input.size()), signature.value.data(), &length);
            rv != CKR_OK) {
            return tokenFailure("C_Sign", rv);
        }
        signature.value.resize(std::min<std::size_t>(signature.value.size(), length));
        signature.ecdsa = key.ec;
        signature.hash = operation.hash;
        // WebCrypto wants r || s, each as long as the curve's order.
        if (key.ec && signature.value.size() != 2 * key.ecFieldBytes) {
            return failure(KeyError::token, "The token's ECDSA signature has " +
                                                std::to_string(signature.value.size()) + " bytes, not " +
                                                std::to_string(2 * key.ecFieldBytes) + ".");
        }
        return signature;
    }

    CTokenWrap& m_tokens;
    CK_SESSION_HANDLE m_session = CK_INVALID_HANDLE;
    bool m_loginTried = false;
};

std::variant<Signature, KeyFailure> runKeyOperation(CTokenWrap& tokens, PinPrompt& prompt, const KeyOperation& operation)
{
    KeySession session(tokens);
    return session.run(prompt, operation);
}
