#pragma once

// The fields of one X.509 certificate that the record producers read.
// One source file per platform decodes them (OpenSSL on Linux, the
// platform's certificate functions on Windows); CMake picks the file.

#include "DistinguishedName.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// An instant in UTC; all zero when conversion failed.
struct CivilDate { int year = 0; int month = 0; int day = 0; int hour = 0; int minute = 0; int second = 0; };
struct DecodedCertificate {
    std::vector<unsigned char> serial;     // INTEGER content octets, most significant first, exactly as encoded
    CivilDate notBefore, notAfter;         // in UTC, never local time
    std::string commonName;                // subject CN (2.5.4.3) as UTF-8; empty when the subject has none
    std::vector<unsigned char> publicKey;  // subjectPublicKey BIT STRING bytes, without the unused-bits octet
    std::string keyAlgorithm;              // subjectPublicKeyInfo algorithm, dotted OID
    std::vector<unsigned char> der;        // the whole encoded certificate
    DistinguishedName subject, issuer;
    unsigned keyUsage = 0;                 // bit n set when KeyUsage bit n is; 0 without the extension
};
// Empty when the bytes are not one DER X.509 certificate.
std::optional<DecodedCertificate> decodeCertificate(const unsigned char* der, std::size_t length);
