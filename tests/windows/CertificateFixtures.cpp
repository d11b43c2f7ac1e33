// Writes certificate fixtures for the Windows decoder tests, which run under
// Wine where OpenSSL is not at hand: for each case a DER file and the fields
// as OpenSSL reads them from that DER, or "rejected" for bytes that are not
// one certificate.
//
//   corvane_certificate_fixtures <directory>
//
// <name>.fields holds one field a line: "serial <hex>", "notBefore <y> <m>
// <d>", "notAfter <y> <m> <d>", "commonName <hex of the UTF-8>", "publicKey
// <hex>" (hex may be empty), "keyAlgorithm <dotted OID>", "publicKeyRecord
// <record>" (what GetCertPubKey appends on Linux, "abandon" when it ends the
// walk) and "info <object>": what GetCertInfo lists for the certificate on a
// token "T" when Linux decodes it, so the Windows build must give the same
// text.

#include "CertificateRecords.h"
#include "harness/TestCertificates.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

struct X509Deleter {
    void operator()(X509* certificate) const { X509_free(certificate); }
};

std::string hex(const unsigned char* data, std::size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0x0f];
    }
    return text;
}

std::string date(const ASN1_TIME* time)
{
    std::tm tm {};
    if (ASN1_TIME_to_tm(time, &tm) != 1) {
        throw std::runtime_error("unreadable validity date");
    }
    return std::to_string(tm.tm_year + 1900) + " " + std::to_string(tm.tm_mon + 1) + " " + std::to_string(tm.tm_mday);
}

std::string commonNameHex(X509* certificate)
{
    X509_NAME* subject = X509_get_subject_name(certificate);
    const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index < 0) {
        return "";
    }
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
    if (length < 0) {
        throw std::runtime_error("unreadable common name");
    }
    const std::string text = hex(utf8, static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    return text;
}

std::string fieldsOf(const Bytes& der)
{
    const unsigned char* pos = der.data();
    std::unique_ptr<X509, X509Deleter> certificate(d2i_X509(nullptr, &pos, static_cast<long>(der.size())));
    if (!certificate || pos != der.data() + der.size()) {
        throw std::runtime_error("fixture does not decode with OpenSSL");
    }
    // The INTEGER's content octets, a sign octet included: its DER minus
    // tag and (short) length.
    unsigned char* serialDer = nullptr;
    const int serialDerLength = i2d_ASN1_INTEGER(X509_get_serialNumber(certificate.get()), &serialDer);
    if (serialDerLength < 2 || serialDer[0] != 0x02 || serialDer[1] != serialDerLength - 2) {
        OPENSSL_free(serialDer);
        throw std::runtime_error("serial needs a long length form");
    }
    const Bytes serial(serialDer + 2, serialDer + serialDerLength);
    OPENSSL_free(serialDer);
    const ASN1_BIT_STRING* key = X509_get0_pubkey_bitstr(certificate.get());
    std::string info;
    const auto decoded = decodeCertificate(der.data(), der.size());
    if (!decoded || appendCertificateInfo("T", *decoded, info) != WalkStep::Continue) {
        throw std::runtime_error("no certificate information");
    }
    std::string keyRecord;
    if (appendPublicKey(*decoded, keyRecord) != WalkStep::Continue) {
        keyRecord = "abandon";
    }
    // One line per field: the record's line feeds become "|".
    std::replace(keyRecord.begin(), keyRecord.end(), '\n', '|');
    ASN1_OBJECT* keyAlgorithm = nullptr;
    char algorithm[128] = {};
    if (X509_PUBKEY_get0_param(&keyAlgorithm, nullptr, nullptr, nullptr, X509_get_X509_PUBKEY(certificate.get())) != 1
        || OBJ_obj2txt(algorithm, sizeof algorithm, keyAlgorithm, 1) <= 0) {
        throw std::runtime_error("unreadable key algorithm");
    }

    return "serial " + hex(serial.data(), serial.size()) + "\n" +
           "notBefore " + date(X509_get0_notBefore(certificate.get())) + "\n" +
           "notAfter " + date(X509_get0_notAfter(certificate.get())) + "\n" +
           "commonName " + commonNameHex(certificate.get()) + "\n" +
           "publicKey " + hex(ASN1_STRING_get0_data(key), static_cast<std::size_t>(ASN1_STRING_length(key))) + "\n" +
           "keyAlgorithm " + algorithm + "\n" +
           "publicKeyRecord " + keyRecord + "\n" +
           "info " + info + "\n";
}

void write(const std::filesystem::path& directory, const std::string& name, const Bytes& der, const std::string& fields)
{
    writeBytes((directory / (name + ".der")).string(), der);
    std::ofstream out(directory / (name + ".fields"), std::ios::binary | std::ios::trunc);
    out << fields;
    if (!out) {
        throw std::runtime_error("cannot write " + name + ".fields");
    }
}

void writeCertificate(const std::filesystem::path& directory, const std::string& name, const CertificateRecipe& wanted)
{
    const Bytes der = makeCertificate(wanted).der;
    write(directory, name, der, fieldsOf(der));
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " <directory>\n";
        return 2;
    }
    try {
        const std::filesystem::path directory = argv[1];
        std::filesystem::remove_all(directory);
        std::filesystem::create_directories(directory);

        CertificateRecipe rsaCjk;
        rsaCjk.key = KeyKind::Rsa2048;
        rsaCjk.commonName = "\xe5\xb1\xb1\xe7\x94\xb0\xe5\xa4\xaa";
        rsaCjk.serial = { 0x12, 0x34 };
        rsaCjk.notBefore = "20270305000000Z";
        rsaCjk.notAfter = "20301231160000Z";
        writeCertificate(directory, "rsa-cjk-name", rsaCjk);

        CertificateRecipe ecLeadingZero;
        ecLeadingZero.commonName = "EC \xc3\x9cser";
        ecLeadingZero.serial = { 0x8f, 0x01 };
        writeCertificate(directory, "ec-serial-with-sign-octet", ecLeadingZero);

        CertificateRecipe nameless;
        nameless.notAfter = "20510704120000Z";   // GeneralizedTime
        writeCertificate(directory, "no-common-name-generalized-time", nameless);

        CertificateRecipe long_;
        long_.serial = Bytes(40, 0x5c);
        long_.commonName = std::string(120, 'n') + "\xf0\x9f\x98\x80";   // ends beyond the BMP
        writeCertificate(directory, "long-serial-and-name", long_);

        CertificateRecipe big;
        big.commentLength = 3200;
        writeCertificate(directory, "over-three-kilobytes", big);

        // Names that need every escape, multi-valued RDNs, types without a
        // short name and strings of several ASN.1 types, issued by another.
        CertificateRecipe names;
        names.key = KeyKind::Rsa2048;
        names.commonName = "TAMM; MARI-LIIS";
        names.issuerCommonName = "Test Issuer";
        names.keyUsage = "critical,digitalSignature,keyEncipherment,keyAgreement,decipherOnly";
        names.notBefore = "20250304201509Z";
        names.subjectExtra = {
            { "DC", "example" },
            { "OU", "#Lead, \"Q\" + <A>; b\\s " },
            { "OU", std::string("\0B\0M\0P\x4e\x2d", 8), V_ASN1_BMPSTRING },
            { "UID", "u1", 0, true },
            { "OU", std::string("nul\0inside", 10), V_ASN1_UTF8STRING },
            { "SN", "TAMM" },
            { "GN", std::string("\0M\0\xe4", 4), V_ASN1_BMPSTRING },
            { "serialNumber", "ID-38001085718" },
            { "1.3.6.1.4.1.55555.7", "dotted", 0, true },
            { "OU", " " },
        };
        writeCertificate(directory, "names-and-key-usage", names);

        CertificateRecipe odd;
        odd.key = KeyKind::SequenceWithoutInteger;
        odd.commonName = "odd";
        writeCertificate(directory, "key-sequence-without-integer", odd);

        writeCertificate(directory, "ed25519-key-starting-with-sequence-tag",
                         recipeFor(KeyKind::Ed25519Sequence, "ed25519"));

        const Bytes good = makeCertificate(CertificateRecipe()).der;
        write(directory, "cut-short", Bytes(good.begin(), good.end() - 1), "rejected\n");
        write(directory, "not-der", Bytes { 'h', 'e', 'l', 'l', 'o' }, "rejected\n");
    } catch (const std::exception& e) {
        std::cerr << argv[0] << ": " << e.what() << "\n";
        return 1;
    }
    return 0;
}
