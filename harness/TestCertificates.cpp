#include "harness/TestCertificates.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        throw std::runtime_error(std::string("OpenSSL test fixture failed: ") + what);
    }
}

struct X509Deleter {
    void operator()(X509* certificate) const { X509_free(certificate); }
};

} // namespace

CertificateRecipe recipeFor(KeyKind key, const std::string& commonName)
{
    CertificateRecipe recipe;
    recipe.key = key;
    recipe.commonName = commonName;
    return recipe;
}

PkeyPtr rsaKey()
{
    PkeyPtr key(EVP_RSA_gen(2048));
    require(key != nullptr, "RSA key");
    return key;
}

PkeyPtr ecKey()
{
    PkeyPtr key(EVP_EC_gen("P-256"));
    require(key != nullptr, "EC key");
    return key;
}

Bytes ed25519Raw(EVP_PKEY* key)
{
    Bytes raw(32);
    std::size_t length = raw.size();
    require(EVP_PKEY_get_raw_public_key(key, raw.data(), &length) == 1 && length == raw.size(), "Ed25519 raw key");
    return raw;
}

PkeyPtr ed25519KeyStartingWithSequenceTag()
{
    for (int attempt = 0; attempt < 100000; ++attempt) {
        PkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
        require(key != nullptr, "Ed25519 key");
        if (ed25519Raw(key.get())[0] == 0x30) {
            return key;
        }
    }
    throw std::runtime_error("no Ed25519 key starting with 0x30 in 100000 attempts");
}

TestCertificate makeCertificate(const CertificateRecipe& recipe, EVP_PKEY* reuseKey)
{
    std::unique_ptr<X509, X509Deleter> certificate(X509_new());
    X509* x = certificate.get();
    require(X509_set_version(x, 2) == 1, "version");

    BIGNUM* serial = BN_bin2bn(recipe.serial.data(), static_cast<int>(recipe.serial.size()), nullptr);
    require(serial != nullptr && BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(x)) != nullptr, "serial");
    BN_free(serial);

    require(ASN1_TIME_set_string_X509(X509_getm_notBefore(x), recipe.notBefore.c_str()) == 1, "notBefore");
    require(ASN1_TIME_set_string_X509(X509_getm_notAfter(x), recipe.notAfter.c_str()) == 1, "notAfter");

    X509_NAME* subject = X509_get_subject_name(x);
    require(X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>("Test Org"), -1, -1, 0) == 1, "O");
    for (const NameEntry& entry : recipe.subjectExtra) {
        require(X509_NAME_add_entry_by_txt(subject, entry.field.c_str(), entry.type == 0 ? MBSTRING_UTF8 : entry.type,
                                           reinterpret_cast<const unsigned char*>(entry.value.data()),
                                           static_cast<int>(entry.value.size()), -1, entry.sameRdn ? -1 : 0) == 1,
                entry.field.c_str());
    }
    if (!recipe.commonName.empty()) {
        // A plain UTF8String, so names beyond the usual upper bound can be made.
        require(X509_NAME_add_entry_by_txt(subject, "CN", V_ASN1_UTF8STRING,
                                           reinterpret_cast<const unsigned char*>(recipe.commonName.data()),
                                           static_cast<int>(recipe.commonName.size()), -1, 0) == 1, "CN");
    }
    if (recipe.issuerCommonName.empty()) {
        require(X509_set_issuer_name(x, subject) == 1, "issuer");
    } else {
        X509_NAME* issuer = X509_get_issuer_name(x);
        require(X509_NAME_add_entry_by_txt(issuer, "O", MBSTRING_UTF8,
                                           reinterpret_cast<const unsigned char*>("Test Org"), -1, -1, 0) == 1
                    && X509_NAME_add_entry_by_txt(issuer, "CN", MBSTRING_UTF8,
                                                  reinterpret_cast<const unsigned char*>(recipe.issuerCommonName.c_str()),
                                                  -1, -1, 0) == 1,
                "issuer");
    }
    if (!recipe.keyUsage.empty()) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, nullptr, NID_key_usage, recipe.keyUsage.c_str());
        require(extension != nullptr && X509_add_ext(x, extension, -1) == 1, "key usage");
        X509_EXTENSION_free(extension);
    }

    if (recipe.commentLength > 0) {
        const std::string comment(recipe.commentLength, 'c');
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, nullptr, NID_netscape_comment, comment.c_str());
        require(extension != nullptr && X509_add_ext(x, extension, -1) == 1, "comment");
        X509_EXTENSION_free(extension);
    }

    TestCertificate result;
    PkeyPtr signer;
    if (recipe.key == KeyKind::SequenceWithoutInteger) {
        // An rsaEncryption key whose bytes are a SEQUENCE holding an OCTET
        // STRING instead of the modulus INTEGER.
        signer = ecKey();
        const unsigned char keyBytes[] = { 0x30, 0x03, 0x04, 0x01, 0x00 };
        auto* encoded = static_cast<unsigned char*>(OPENSSL_malloc(sizeof keyBytes));
        std::copy(std::begin(keyBytes), std::end(keyBytes), encoded);
        ASN1_OBJECT* algorithm = OBJ_nid2obj(NID_rsaEncryption);
        require(X509_PUBKEY_set0_param(X509_get_X509_PUBKEY(x), algorithm, V_ASN1_NULL, nullptr, encoded,
                                       sizeof keyBytes) == 1, "odd key");
    } else {
        if (reuseKey != nullptr) {
            EVP_PKEY_up_ref(reuseKey);
            result.key.reset(reuseKey);
        } else {
            result.key = recipe.key == KeyKind::Rsa2048         ? rsaKey()
                         : recipe.key == KeyKind::Ed25519Sequence ? ed25519KeyStartingWithSequenceTag()
                                                                  : ecKey();
        }
        require(X509_set_pubkey(x, result.key.get()) == 1, "public key");
    }
    EVP_PKEY* signingKey = signer ? signer.get() : result.key.get();
    // Ed25519 signs without a separate digest.
    const EVP_MD* digest = recipe.key == KeyKind::Ed25519Sequence && !signer ? nullptr : EVP_sha256();
    require(X509_sign(x, signingKey, digest) > 0, "sign");

    unsigned char* der = nullptr;
    const int length = i2d_X509(x, &der);
    require(length > 0, "encode");
    result.der.assign(der, der + length);
    OPENSSL_free(der);
    return result;
}

Bytes rsaModulus(EVP_PKEY* key)
{
    BIGNUM* n = nullptr;
    require(EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) == 1, "modulus");
    Bytes bytes(static_cast<std::size_t>(BN_num_bytes(n)));
    BN_bn2bin(n, bytes.data());
    BN_free(n);
    return bytes;
}

Bytes ecPoint(EVP_PKEY* key)
{
    std::size_t length = 0;
    require(EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, nullptr, 0, &length) == 1,
            "point size");
    Bytes bytes(length);
    require(EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, bytes.data(), bytes.size(),
                                            &length) == 1, "point");
    bytes.resize(length);
    return bytes;
}

std::string base64(const Bytes& data)
{
    std::string flat(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(flat.data()), data.data(),
                                       static_cast<int>(data.size()));
    flat.resize(static_cast<std::size_t>(length));
    return flat;
}

std::string hex(const Bytes& data)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : data) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string wrappedBase64(const Bytes& data)
{
    const std::string flat = base64(data);
    std::string text;
    for (std::size_t p = 0; p < flat.size(); p += 64) {
        text += flat.substr(p, 64) + "\n";
    }
    if (flat.size() % 64 == 0) {
        text += "\n";
    }
    return text;
}

Bytes readBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& path, const Bytes& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    require(static_cast<bool>(out), "write file");
}
