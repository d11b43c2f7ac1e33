#include "KeyCrypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

Bytes digest(HashAlgorithm algorithm, const Bytes& data)
{
    const EVP_MD* md = algorithm == HashAlgorithm::sha512   ? EVP_sha512()
                       : algorithm == HashAlgorithm::sha384 ? EVP_sha384()
                                                            : EVP_sha256();
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned length = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr) != 1) {
        return {};
    }
    out.resize(length);
    return out;
}

void cleanse(void* data, std::size_t size)
{
    OPENSSL_cleanse(data, size);
}
