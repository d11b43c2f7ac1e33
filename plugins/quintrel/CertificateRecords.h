#pragma once

// What each method appends per certificate, and the text encodings used:
// lower-case hex serials, "%d-%d-%d" dates, UTF-8 names and line-wrapped
// base64.

#include "X509Certificate.h"

#include <optional>
#include <string>
#include <vector>

// Encodes `length` bytes as base64 in lines of 64 characters, each ending in
// "\n" (a text whose length is a multiple of 64, zero included, ends in a
// second "\n"), appended to the NUL-terminated text in `out`.
// `*capacity` holds the room of `out` on entry. Returns the encoded length
// without line ends and stores the needed size through `capacity`; returns
// -1 and writes nothing when the room left after the text already in `out`
// is below the needed size. With a null `out` or a room of 0 nothing is
// encoded: the needed size is stored and returned.
int Base64Encode(const unsigned char* data, unsigned length, char* out, unsigned* capacity);

// The encoded form of `length` bytes, sized to whatever the data needs.
std::string base64Text(const unsigned char* data, std::size_t length);

// Two lower-case hex digits per octet, no separators; every octet is kept.
std::string serialText(const std::vector<unsigned char>& serial);

// "%d-%d-%d": 2027-3-5; a failed conversion reads 0-0-0.
std::string dateText(const CivilDate& date);

// "YYYY-MM-DDTHH:MM:SSZ"; a failed conversion reads 0000-00-00T00:00:00Z.
std::string instantText(const CivilDate& instant);

// The key algorithm whose key bytes hold an RSAPublicKey.
inline constexpr char kRsaEncryptionOid[] = "1.2.840.113549.1.1.1";

// The key bytes a page gets, without a leading 0x00: for an rsaEncryption
// key whose bytes are a SEQUENCE, the modulus; any other key's bytes whole
// (an Ed25519 key is 32 raw bytes and may well start with 0x30). Empty
// optional when an RSA key is a SEQUENCE not followed by an INTEGER, or when
// a header or length runs past the end.
std::optional<std::vector<unsigned char>> publicKeyBytes(const std::vector<unsigned char>& key, bool rsaEncryption);
std::optional<std::vector<unsigned char>> publicKeyBytes(const DecodedCertificate& certificate);

enum class WalkStep {
    Continue,   // record appended (or deliberately none); go on with the next object
    Abandon,    // the whole walk ends and the method's text is empty
};

// Appends one certificate record to `text`.
using RecordProducer = WalkStep (*)(const DecodedCertificate& certificate, std::string& text);

WalkStep appendCommonName(const DecodedCertificate& certificate, std::string& text);
WalkStep appendCertificate(const DecodedCertificate& certificate, std::string& text);
WalkStep appendNotAfter(const DecodedCertificate& certificate, std::string& text);
WalkStep appendNotBefore(const DecodedCertificate& certificate, std::string& text);
WalkStep appendPublicKey(const DecodedCertificate& certificate, std::string& text);

// One JSON object per certificate for GetCertInfo, preceded by "," unless
// it is the first: token label, serial, common name, subject and issuer
// (RFC 4514), validity instants, base64 of the DER and of the key bytes
// without line breaks, and the names of the KeyUsage bits set. A key that
// cannot be taken gives "publicKey": "" instead of ending the walk. Every
// text is made valid UTF-8 first.
WalkStep appendCertificateInfo(const std::string& token, const DecodedCertificate& certificate, std::string& text);
