#pragma once

// One use of a token's private key: find the token that holds the
// certificate, ask the user, log in, find the key that belongs to the
// certificate, sign, log out. Nothing stays open or logged in afterwards.

#include "KeyRequest.h"
#include "PinPrompt.h"
#include "X509Certificate.h"

#include <variant>

class CTokenWrap;

struct KeyOperation {
    const Bytes& certificateDer;
    const DecodedCertificate& certificate;
    std::string origin;    // from the host
    bool login = false;    // Authenticate rather than Sign
    HashAlgorithm hash = HashAlgorithm::sha256;
    Bytes hashValue;       // what is signed (inside a DigestInfo for RSA)
};

// The certificate's key as it must appear on the token.
struct CertificateKey {
    bool ec = false;
    Bytes material;        // the RSA modulus without leading zeros, or the EC point
    std::size_t ecFieldBytes = 0;
};
// Empty when the certificate's key is neither RSA nor an uncompressed EC point.
std::optional<CertificateKey> certificateKey(const DecodedCertificate& certificate);

std::variant<Signature, KeyFailure> runKeyOperation(CTokenWrap& tokens, PinPrompt& prompt, const KeyOperation& operation);
