#include "KeyCrypto.h"

#include <windows.h>
#include <bcrypt.h>

Bytes digest(HashAlgorithm algorithm, const Bytes& data)
{
    const wchar_t* name = algorithm == HashAlgorithm::sha512   ? BCRYPT_SHA512_ALGORITHM
                          : algorithm == HashAlgorithm::sha384 ? BCRYPT_SHA384_ALGORITHM
                                                               : BCRYPT_SHA256_ALGORITHM;
    BCRYPT_ALG_HANDLE provider = nullptr;
    if (BCryptOpenAlgorithmProvider(&provider, name, nullptr, 0) < 0) {
        return {};
    }
    Bytes out(hashLength(algorithm));
    const NTSTATUS status = BCryptHash(provider, nullptr, 0, const_cast<PUCHAR>(data.data()),
                                       static_cast<ULONG>(data.size()), out.data(), static_cast<ULONG>(out.size()));
    BCryptCloseAlgorithmProvider(provider, 0);
    return status < 0 ? Bytes() : out;
}

void cleanse(void* data, std::size_t size)
{
    SecureZeroMemory(data, size);
}
