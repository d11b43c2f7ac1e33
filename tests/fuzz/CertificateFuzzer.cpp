// Quintrel's record producers over the platform's X.509 decoder, for any
// bytes: nothing crashes, leaks or reads out of bounds, and when the bytes
// decode, every record keeps its shape: serial hex, ":", field, ";". The
// GetCertInfo object is one valid JSON object, and the subject and issuer
// texts read back into exactly the decoded attributes.

#include "Base64Decode.h"
#include "FuzzCheck.h"
#include "Utf8Check.h"

#include "CertificateRecords.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// The serialNumber's content octets as OpenSSL's DER reader finds them.
std::optional<Bytes> serialByOpenSsl(const Bytes& der)
{
    const unsigned char* pos = der.data();
    const unsigned char* const end = der.data() + der.size();
    long length = 0;
    int tag = 0;
    int tagClass = 0;
    const auto next = [&] {
        return (ASN1_get_object(&pos, &length, &tag, &tagClass, end - pos) & 0x80) == 0;
    };
    // Into the Certificate and TBSCertificate SEQUENCEs.
    for (int level = 0; level < 2; ++level) {
        if (!next() || tag != V_ASN1_SEQUENCE || tagClass != V_ASN1_UNIVERSAL) {
            return std::nullopt;
        }
    }
    if (!next()) {
        return std::nullopt;
    }
    if (tagClass == V_ASN1_CONTEXT_SPECIFIC && tag == 0) {   // [0] version, stepped over
        pos += length;
        if (!next()) {
            return std::nullopt;
        }
    }
    if (tag != V_ASN1_INTEGER || tagClass != V_ASN1_UNIVERSAL) {
        return std::nullopt;
    }
    return Bytes(pos, pos + length);
}

// The field between "<serial hex>:" and the final ";" of one record.
std::string fieldOf(const std::string& record, const Bytes& serial)
{
    const std::size_t hexLength = 2 * serial.size();
    FUZZ_CHECK(record.size() >= hexLength + 2 && record[hexLength] == ':' && record.back() == ';');
    for (std::size_t i = 0; i < serial.size(); ++i) {
        unsigned octet = 0;
        char tail = 0;
        const std::string digits = record.substr(2 * i, 2);
        FUZZ_CHECK(digits.find_first_not_of("0123456789abcdef") == std::string::npos);
        FUZZ_CHECK(std::sscanf(digits.c_str(), "%2x%c", &octet, &tail) == 1 && octet == serial[i]);
    }
    return record.substr(hexLength + 1, record.size() - hexLength - 2);
}

void checkDate(const std::string& field)
{
    int year = 0;
    int month = 0;
    int day = 0;
    char tail = 0;
    FUZZ_CHECK(std::sscanf(field.c_str(), "%d-%d-%d%c", &year, &month, &day, &tail) == 3);
    char canonical[64];
    std::snprintf(canonical, sizeof canonical, "%d-%d-%d", year, month, day);
    FUZZ_CHECK(field == canonical);
    FUZZ_CHECK(field == "0-0-0" || (month >= 1 && month <= 12 && day >= 1 && day <= 31));
}

std::string hexText(const Bytes& bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char octet : bytes) {
        text += kDigits[octet >> 4];
        text += kDigits[octet & 0x0f];
    }
    return text;
}

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Reads an RFC 4514 text back: RDNs split at unescaped ",", attributes at
// unescaped "+", every escape undone. Each attribute comes back as
// "TYPE=value", in encoded order (the text lists the RDNs last first).
std::vector<std::vector<std::string>> readBack(const std::string& text)
{
    std::vector<std::vector<std::string>> rdns;
    if (text.empty()) {
        return rdns;
    }
    rdns.emplace_back(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ',') {
            rdns.emplace_back(1);
        } else if (c == '+') {
            rdns.back().emplace_back();
        } else if (c == '\\') {
            FUZZ_CHECK(i + 1 < text.size());
            if (i + 2 < text.size() && isHexDigit(text[i + 1]) && isHexDigit(text[i + 2])) {
                rdns.back().back() += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                rdns.back().back() += text[++i];
            }
        } else {
            rdns.back().back() += c;
        }
    }
    std::reverse(rdns.begin(), rdns.end());
    return rdns;
}

void checkName(const DistinguishedName& name)
{
    const std::string text = rfc4514Text(name);
    const auto rdns = readBack(text);
    FUZZ_CHECK(rdns.size() == name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        FUZZ_CHECK(rdns[i].size() == name[i].size());
        for (std::size_t j = 0; j < name[i].size(); ++j) {
            const NameAttribute& attribute = name[i][j];
            const std::string& read = rdns[i][j];
            const std::string hexForm = attribute.oid + "=#" + hexText(attribute.der);
            // A short name with its text, or the dotted form with the encoding.
            const std::size_t equals = read.find('=');
            FUZZ_CHECK(equals != std::string::npos);
            if (read != hexForm) {
                FUZZ_CHECK(attribute.text && read.substr(equals + 1) == *attribute.text);
                FUZZ_CHECK(read.find_first_of("0123456789.") > equals);
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // An exactly sized copy, so that AddressSanitizer sees a read past the end.
    const Bytes input(data, data + size);
    const std::optional<DecodedCertificate> certificate = decodeCertificate(input.data(), input.size());
    // OpenSSL keeps error data on the thread's queue between calls; libFuzzer
    // would take that for a leak and scan the heap after every input.
    ERR_clear_error();
    if (!certificate) {
        return 0;
    }
    FUZZ_CHECK(certificate->der == input);
    const std::optional<Bytes> serial = serialByOpenSsl(input);
    FUZZ_CHECK(serial && *serial == certificate->serial);

    std::string text;
    FUZZ_CHECK(appendCommonName(*certificate, text) == WalkStep::Continue);
    FUZZ_CHECK(text.back() == ';' && text.find('\0') == std::string::npos);
    FUZZ_CHECK(isUtf8(text));

    text.clear();
    FUZZ_CHECK(appendCertificate(*certificate, text) == WalkStep::Continue);
    FUZZ_CHECK(decodeBase64(fieldOf(text, certificate->serial)) == input);

    for (const RecordProducer producer : { appendNotAfter, appendNotBefore }) {
        text.clear();
        FUZZ_CHECK(producer(*certificate, text) == WalkStep::Continue);
        checkDate(fieldOf(text, certificate->serial));
    }

    text.clear();
    const WalkStep keyStep = appendPublicKey(*certificate, text);
    // Only an RSA key can end the walk.
    FUZZ_CHECK(keyStep == WalkStep::Continue || certificate->keyAlgorithm == kRsaEncryptionOid);
    if (keyStep == WalkStep::Continue) {
        const std::optional<Bytes> key = decodeBase64(fieldOf(text, certificate->serial));
        FUZZ_CHECK(key);
        const Bytes& whole = certificate->publicKey;
        FUZZ_CHECK(key->empty() || std::search(whole.begin(), whole.end(), key->begin(), key->end()) != whole.end());
    }

    checkName(certificate->subject);
    checkName(certificate->issuer);
    text.clear();
    FUZZ_CHECK(appendCertificateInfo("token", *certificate, text) == WalkStep::Continue);
    FUZZ_CHECK(isUtf8(text));
    rapidjson::Document info;
    info.Parse(text.c_str(), text.size());
    FUZZ_CHECK(!info.HasParseError() && info.IsObject() && info.MemberCount() == 10);
    FUZZ_CHECK(info["serial"].IsString() && info["serial"].GetString() == hexText(certificate->serial));
    FUZZ_CHECK(info["certificate"].IsString() && decodeBase64(info["certificate"].GetString()) == input);
    FUZZ_CHECK(info["keyUsage"].IsArray() && info["keyUsage"].Size() <= 9);
    return 0;
}
