// The X.509 decoder on Windows: the platform's certificate functions.

#include "X509Certificate.h"

#include "platform/text/WindowsText.h"

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cwchar>
#include <memory>

namespace {

struct CertificateContextRelease {
    void operator()(PCCERT_CONTEXT context) const { ::CertFreeCertificateContext(context); }
};
using CertificateContext = std::unique_ptr<const CERT_CONTEXT, CertificateContextRelease>;

// Zero-filled first, so a conversion that fails reads 0-0-0.
CivilDate civilDate(const FILETIME& instant)
{
    SYSTEMTIME utc{};
    CivilDate date;
    if (::FileTimeToSystemTime(&instant, &utc)) {
        date.year = utc.wYear;
        date.month = utc.wMonth;
        date.day = utc.wDay;
        date.hour = utc.wHour;
        date.minute = utc.wMinute;
        date.second = utc.wSecond;
    }
    return date;
}

std::string toUtf8(const wchar_t* wide)
{
    return platform::wideToUtf8(wide, std::wcslen(wide));
}

// Frees what CryptDecodeObjectEx allocated.
struct LocalRelease {
    void operator()(void* memory) const { ::LocalFree(memory); }
};
template <typename T>
using Decoded = std::unique_ptr<T, LocalRelease>;

template <typename T>
Decoded<T> decodeObject(LPCSTR type, const BYTE* data, DWORD length)
{
    void* decoded = nullptr;
    DWORD size = 0;
    if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, type, data, length, CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded,
                               &size)) {
        return nullptr;
    }
    return Decoded<T>(static_cast<T*>(decoded));
}


bool isCharacterString(DWORD type)
{
    switch (type) {
    case CERT_RDN_UTF8_STRING:
    case CERT_RDN_NUMERIC_STRING:
    case CERT_RDN_PRINTABLE_STRING:
    case CERT_RDN_TELETEX_STRING:
    case CERT_RDN_IA5_STRING:
    case CERT_RDN_VISIBLE_STRING:
    case CERT_RDN_UNIVERSAL_STRING:
    case CERT_RDN_BMP_STRING:
        return true;
    default:
        return false;
    }
}

// The names are decoded as wide text; the encoding of a value is got back by
// encoding it again, which keeps its string type. An encoded blob is the
// value's encoding already.
NameAttribute nameAttribute(const CERT_RDN_ATTR& attr)
{
    NameAttribute attribute;
    attribute.oid = attr.pszObjId != nullptr ? attr.pszObjId : "";
    if (attr.dwValueType == CERT_RDN_ENCODED_BLOB) {
        attribute.der.assign(attr.Value.pbData, attr.Value.pbData + attr.Value.cbData);
        return attribute;
    }
    CERT_NAME_VALUE value { attr.dwValueType, attr.Value };
    // Some decoders count the terminator of a UTF8String's wide text in its
    // length; left in, it would be encoded and shown as a character. (A
    // value that really ends in U+0000 loses that character.)
    const auto* units = reinterpret_cast<const wchar_t*>(value.Value.pbData);
    if (attr.dwValueType == CERT_RDN_UTF8_STRING && value.Value.cbData >= sizeof(wchar_t)
        && units[value.Value.cbData / sizeof(wchar_t) - 1] == L'\0') {
        value.Value.cbData -= sizeof(wchar_t);
    }
    void* encoded = nullptr;
    DWORD size = 0;
    if (::CryptEncodeObjectEx(X509_ASN_ENCODING, X509_UNICODE_NAME_VALUE, &value, CRYPT_ENCODE_ALLOC_FLAG, nullptr,
                              &encoded, &size)) {
        const auto* bytes = static_cast<const unsigned char*>(encoded);
        attribute.der.assign(bytes, bytes + size);
        ::LocalFree(encoded);
    }
    if (isCharacterString(attr.dwValueType)) {
        attribute.text = platform::wideToUtf8(units, value.Value.cbData / sizeof(wchar_t));
    }
    return attribute;
}

DistinguishedName distinguishedName(const CERT_NAME_BLOB& blob)
{
    DistinguishedName result;
    const auto info = decodeObject<CERT_NAME_INFO>(X509_UNICODE_NAME, blob.pbData, blob.cbData);
    if (!info) {
        return result;
    }
    for (DWORD i = 0; i < info->cRDN; ++i) {
        RelativeName rdn;
        for (DWORD j = 0; j < info->rgRDN[i].cRDNAttr; ++j) {
            rdn.push_back(nameAttribute(info->rgRDN[i].rgRDNAttr[j]));
        }
        result.push_back(std::move(rdn));
    }
    return result;
}

// A KeyUsage extension that does not decode counts as absent.
unsigned keyUsageBits(const CERT_INFO& info)
{
    const CERT_EXTENSION* extension = ::CertFindExtension(szOID_KEY_USAGE, info.cExtension, info.rgExtension);
    if (extension == nullptr) {
        return 0;
    }
    const auto bits = decodeObject<CRYPT_BIT_BLOB>(X509_KEY_USAGE, extension->Value.pbData, extension->Value.cbData);
    if (!bits) {
        return 0;
    }
    unsigned usage = 0;
    for (unsigned n = 0; n < 9; ++n) {
        if (n / 8 < bits->cbData && (bits->pbData[n / 8] & (0x80u >> (n % 8))) != 0) {
            usage |= 1u << n;
        }
    }
    return usage;
}

// The first common name as the platform picks it; empty when there is none.
std::string commonName(PCCERT_CONTEXT context)
{
    auto* const oid = const_cast<char*>(szOID_COMMON_NAME);
    const DWORD units = ::CertGetNameStringW(context, CERT_NAME_ATTR_TYPE, 0, oid, nullptr, 0);
    if (units <= 1) {
        return {};
    }
    std::wstring name(units + 1, L'\0');
    ::CertGetNameStringW(context, CERT_NAME_ATTR_TYPE, 0, oid, name.data(), units);
    return toUtf8(name.c_str());
}

} // namespace

std::optional<DecodedCertificate> decodeCertificate(const unsigned char* der, std::size_t length)
{
    if (der == nullptr || length == 0 || length > MAXDWORD) {
        return std::nullopt;
    }
    const CertificateContext context(::CertCreateCertificateContext(
        X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der, static_cast<DWORD>(length)));
    if (!context) {
        return std::nullopt;
    }
    const CERT_INFO& info = *context->pCertInfo;

    DecodedCertificate certificate;
    // The platform keeps the INTEGER least significant octet first.
    const CRYPT_INTEGER_BLOB& serial = info.SerialNumber;
    certificate.serial.assign(serial.pbData, serial.pbData + serial.cbData);
    std::reverse(certificate.serial.begin(), certificate.serial.end());

    certificate.notBefore = civilDate(info.NotBefore);
    certificate.notAfter = civilDate(info.NotAfter);
    certificate.commonName = commonName(context.get());

    const CRYPT_BIT_BLOB& key = info.SubjectPublicKeyInfo.PublicKey;
    certificate.publicKey.assign(key.pbData, key.pbData + key.cbData);
    if (const char* algorithm = info.SubjectPublicKeyInfo.Algorithm.pszObjId) {
        certificate.keyAlgorithm = algorithm;
    }

    certificate.der.assign(der, der + length);
    certificate.subject = distinguishedName(info.Subject);
    certificate.issuer = distinguishedName(info.Issuer);
    certificate.keyUsage = keyUsageBits(info);
    return certificate;
}
