#pragma once

// Certificates made on the spot with OpenSSL, and the expected values taken
// from OpenSSL's own objects rather than from the code under test.

#include <openssl/evp.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

struct PkeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

enum class KeyKind {
    Rsa2048,
    EcP256,
    SequenceWithoutInteger,   // rsaEncryption, subjectPublicKey is 30 03 04 01 00
    Ed25519Sequence,          // an Ed25519 key whose first byte is 0x30
};

// One subject attribute after O and before CN. `type` is an ASN.1 string
// type (V_ASN1_...); the value is its content octets as given.
struct NameEntry {
    std::string field;            // "OU", "serialNumber", "1.2.3.4", ...
    std::string value;
    int type = 0;                 // 0: UTF-8 text, encoded as OpenSSL picks
    bool sameRdn = false;         // joins the previous attribute's RDN
};

struct CertificateRecipe {
    KeyKind key = KeyKind::EcP256;
    std::string commonName;        // UTF-8; none when empty
    Bytes serial { 0x01 };         // magnitude octets, most significant first
    std::string notBefore = "20250101000000Z";
    std::string notAfter = "20300101000000Z";
    std::size_t commentLength = 0; // pads the certificate with an extension
    std::vector<NameEntry> subjectExtra;
    std::string keyUsage;          // the extension's value, "critical,digitalSignature"; none when empty
    std::string issuerCommonName;  // issuer "O=Test Org, CN=<this>"; the subject when empty
};

// A certificate with default fields but the given key and common name.
CertificateRecipe recipeFor(KeyKind key, const std::string& commonName = {});

struct TestCertificate {
    Bytes der;
    PkeyPtr key;   // null for SequenceWithoutInteger
};

// A new RSA-2048 key whose modulus, as a DER INTEGER, starts with 0x00
// (always so for a full 2048-bit modulus).
PkeyPtr rsaKey();
PkeyPtr ecKey();
// Ed25519 keys are made until one's 32 raw bytes start with 0x30, as one in
// 256 does.
PkeyPtr ed25519KeyStartingWithSequenceTag();
// An Ed25519 key's 32 raw bytes.
Bytes ed25519Raw(EVP_PKEY* key);

TestCertificate makeCertificate(const CertificateRecipe& recipe, EVP_PKEY* reuseKey = nullptr);

// The RSA modulus as unsigned big-endian bytes, without any sign octet.
Bytes rsaModulus(EVP_PKEY* key);
// The EC public point in its uncompressed encoding.
Bytes ecPoint(EVP_PKEY* key);

// Base64 through OpenSSL on one line, and lower-case hex.
std::string base64(const Bytes& data);
std::string hex(const Bytes& data);
// Base64 through OpenSSL, laid out in lines of 64 characters each followed
// by "\n", plus one more "\n" when the length is a multiple of 64.
std::string wrappedBase64(const Bytes& data);

Bytes readBytes(const std::string& path);
void writeBytes(const std::string& path, const Bytes& data);
