// The X.509 decoder on Windows: the platform's certificate functions.

#include "X509Certificate.h"

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
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
    }
    return date;
}

std::string toUtf8(const wchar_t* wide)
{
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) {
        return {};
    }
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8.data(), bytes, nullptr, nullptr);
    utf8.resize(static_cast<std::size_t>(bytes) - 1); // the terminator
    return utf8;
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

    certificate.der.assign(der, der + length);
    return certificate;
}
