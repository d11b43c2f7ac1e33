#include "X509Certificate.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

struct X509Deleter {
    void operator()(X509* certificate) const { X509_free(certificate); }
};

// One DER element inside [pos, end): its tag and content. Lengths are
// checked against the end, so a hostile length never reads past it.
struct Element {
    unsigned char tag = 0;
    const unsigned char* content = nullptr;
    std::size_t length = 0;
    const unsigned char* next = nullptr;
};

bool readElement(const unsigned char* pos, const unsigned char* end, Element& element)
{
    if (end - pos < 2) {
        return false;
    }
    element.tag = *pos++;
    std::size_t length = *pos++;
    if (length & 0x80) {
        const std::size_t octets = length & 0x7f;
        if (octets == 0 || octets > sizeof(std::size_t) || static_cast<std::size_t>(end - pos) < octets) {
            return false;
        }
        length = 0;
        for (std::size_t i = 0; i < octets; ++i) {
            length = (length << 8) | *pos++;
        }
    }
    if (static_cast<std::size_t>(end - pos) < length) {
        return false;
    }
    element.content = pos;
    element.length = length;
    element.next = pos + length;
    return true;
}

// The serialNumber's content octets exactly as they stand in the encoding;
// re-encoding OpenSSL's integer could normalise them.
bool encodedSerial(const unsigned char* der, std::size_t length, std::vector<unsigned char>& serial)
{
    Element certificate, tbs, field;
    if (!readElement(der, der + length, certificate) || certificate.tag != 0x30) {
        return false;
    }
    const unsigned char* certificateEnd = certificate.content + certificate.length;
    if (!readElement(certificate.content, certificateEnd, tbs) || tbs.tag != 0x30) {
        return false;
    }
    const unsigned char* tbsEnd = tbs.content + tbs.length;
    if (!readElement(tbs.content, tbsEnd, field)) {
        return false;
    }
    if (field.tag == 0xa0 && !readElement(field.next, tbsEnd, field)) {   // [0] version
        return false;
    }
    if (field.tag != 0x02) {
        return false;
    }
    serial.assign(field.content, field.content + field.length);
    return true;
}

CivilDate civilDate(const ASN1_TIME* time)
{
    std::tm tm {};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) {
        return {};
    }
    return CivilDate { tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec };
}

bool isCharacterString(int type)
{
    switch (type) {
    case V_ASN1_UTF8STRING:
    case V_ASN1_NUMERICSTRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_T61STRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_VISIBLESTRING:
    case V_ASN1_UNIVERSALSTRING:
    case V_ASN1_BMPSTRING:
        return true;
    default:
        return false;
    }
}

std::string dottedOid(const ASN1_OBJECT* object)
{
    const int length = OBJ_obj2txt(nullptr, 0, object, 1);
    if (length <= 0) {
        return {};
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    OBJ_obj2txt(text.data(), length + 1, object, 1);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

NameAttribute nameAttribute(const X509_NAME_ENTRY* entry)
{
    NameAttribute attribute;
    attribute.oid = dottedOid(X509_NAME_ENTRY_get_object(entry));
    ASN1_STRING* value = X509_NAME_ENTRY_get_data(entry);
    unsigned char* der = nullptr;
    const int derLength = i2d_ASN1_PRINTABLE(value, &der);
    if (derLength > 0) {
        attribute.der.assign(der, der + derLength);
    }
    OPENSSL_free(der);
    if (isCharacterString(ASN1_STRING_type(value))) {
        unsigned char* utf8 = nullptr;
        const int length = ASN1_STRING_to_UTF8(&utf8, value);
        if (length >= 0) {
            attribute.text = std::string(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
        }
        OPENSSL_free(utf8);
    }
    return attribute;
}

// Entries of one RDN share a set number; a new number starts the next RDN.
DistinguishedName distinguishedName(const X509_NAME* name)
{
    DistinguishedName result;
    int currentSet = -1;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const int set = X509_NAME_ENTRY_set(entry);
        if (result.empty() || set != currentSet) {
            result.emplace_back();
            currentSet = set;
        }
        result.back().push_back(nameAttribute(entry));
    }
    return result;
}

// A KeyUsage extension that does not decode counts as absent.
unsigned keyUsageBits(const X509* certificate)
{
    auto* bits = static_cast<ASN1_BIT_STRING*>(X509_get_ext_d2i(certificate, NID_key_usage, nullptr, nullptr));
    if (bits == nullptr) {
        return 0;
    }
    unsigned usage = 0;
    for (int n = 0; n < 9; ++n) {
        if (ASN1_BIT_STRING_get_bit(bits, n)) {
            usage |= 1u << n;
        }
    }
    ASN1_BIT_STRING_free(bits);
    return usage;
}

// The first common name of the subject. A name with an embedded NUL is cut
// there: the text travels NUL-terminated to the page, and a NUL inside one
// record would hide every record after it.
std::string commonName(const X509* certificate)
{
    const X509_NAME* subject = X509_get_subject_name(certificate);
    const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index < 0) {
        return {};
    }
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, value);
    if (length < 0) {
        return {};
    }
    std::string name(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    return name.substr(0, name.find('\0'));
}

} // namespace

std::optional<DecodedCertificate> decodeCertificate(const unsigned char* der, std::size_t length)
{
    if (der == nullptr || length == 0 || length > static_cast<std::size_t>(LONG_MAX)) {
        return std::nullopt;
    }
    const unsigned char* cursor = der;
    std::unique_ptr<X509, X509Deleter> certificate(d2i_X509(nullptr, &cursor, static_cast<long>(length)));
    // Trailing bytes mean the value is not one certificate.
    if (!certificate || cursor != der + length) {
        return std::nullopt;
    }

    DecodedCertificate decoded;
    if (!encodedSerial(der, length, decoded.serial)) {
        return std::nullopt;
    }
    decoded.notBefore = civilDate(X509_get0_notBefore(certificate.get()));
    decoded.notAfter = civilDate(X509_get0_notAfter(certificate.get()));
    decoded.commonName = commonName(certificate.get());
    if (const ASN1_BIT_STRING* key = X509_get0_pubkey_bitstr(certificate.get())) {
        const unsigned char* bytes = ASN1_STRING_get0_data(key);
        decoded.publicKey.assign(bytes, bytes + ASN1_STRING_length(key));
    }
    ASN1_OBJECT* algorithm = nullptr;
    if (X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, nullptr, X509_get_X509_PUBKEY(certificate.get())) == 1
        && algorithm != nullptr) {
        decoded.keyAlgorithm = dottedOid(algorithm);
    }
    decoded.der.assign(der, der + length);
    decoded.subject = distinguishedName(X509_get_subject_name(certificate.get()));
    decoded.issuer = distinguishedName(X509_get_issuer_name(certificate.get()));
    decoded.keyUsage = keyUsageBits(certificate.get());
    return decoded;
}
