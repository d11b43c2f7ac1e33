#pragma once

// OpenSSL's base64 decoder, which reads line-wrapped text: the independent
// reading of what Base64Encode wrote.

#include <openssl/evp.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

inline std::optional<std::vector<unsigned char>> decodeBase64(const std::string& text)
{
    std::unique_ptr<EVP_ENCODE_CTX, void (*)(EVP_ENCODE_CTX*)> context(EVP_ENCODE_CTX_new(), EVP_ENCODE_CTX_free);
    if (!context) {
        return std::nullopt;
    }
    std::vector<unsigned char> bytes(text.size() / 4 * 3 + 80);
    int written = 0;
    int tail = 0;
    EVP_DecodeInit(context.get());
    if (EVP_DecodeUpdate(context.get(), bytes.data(), &written, reinterpret_cast<const unsigned char*>(text.data()),
                         static_cast<int>(text.size())) < 0
        || EVP_DecodeFinal(context.get(), bytes.data() + written, &tail) != 1) {
        return std::nullopt;
    }
    bytes.resize(static_cast<std::size_t>(written + tail));
    return bytes;
}
