// The public-key parser, for any subjectPublicKey bytes of an RSA key: the
// bytes it takes lie within its input, and where OpenSSL reads the input as a
// SEQUENCE starting with a non-negative INTEGER, they are that INTEGER's
// value. Any other key is taken whole.

#include "FuzzCheck.h"

#include "CertificateRecords.h"

#include <openssl/asn1.h>
#include <openssl/err.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

struct SequenceDeleter {
    void operator()(ASN1_SEQUENCE_ANY* sequence) const { sk_ASN1_TYPE_pop_free(sequence, ASN1_TYPE_free); }
};

// The magnitude of the first member when OpenSSL reads the bytes as a
// SEQUENCE whose first member is a non-negative INTEGER.
std::optional<Bytes> leadingIntegerByOpenSsl(const Bytes& key)
{
    const unsigned char* pos = key.data();
    std::unique_ptr<ASN1_SEQUENCE_ANY, SequenceDeleter> sequence(
        d2i_ASN1_SEQUENCE_ANY(nullptr, &pos, static_cast<long>(key.size())));
    ERR_clear_error();   // see CertificateFuzzer.cpp
    if (!sequence || sk_ASN1_TYPE_num(sequence.get()) < 1) {
        return std::nullopt;
    }
    const ASN1_TYPE* first = sk_ASN1_TYPE_value(sequence.get(), 0);
    if (ASN1_TYPE_get(first) != V_ASN1_INTEGER) {
        return std::nullopt;
    }
    const ASN1_INTEGER* integer = first->value.integer;
    if (ASN1_STRING_type(integer) != V_ASN1_INTEGER) {   // negative
        return std::nullopt;
    }
    const unsigned char* bytes = ASN1_STRING_get0_data(integer);
    Bytes magnitude(bytes, bytes + ASN1_STRING_length(integer));
    // Zero is held as one zero octet; the parser drops it as a sign octet.
    if (magnitude.size() == 1 && magnitude[0] == 0x00) {
        magnitude.clear();
    }
    return magnitude;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // An exactly sized copy, so that AddressSanitizer sees a read past the end.
    const Bytes key(data, data + size);
    const std::optional<Bytes> taken = publicKeyBytes(key, true);
    // Any key but an RSA one: every byte, less one leading zero octet.
    const bool leadingZero = !key.empty() && key[0] == 0x00;
    const std::optional<Bytes> whole = publicKeyBytes(key, false);
    FUZZ_CHECK(whole && *whole == Bytes(key.begin() + (leadingZero ? 1 : 0), key.end()));

    if (key.empty() || key[0] != 0x30) {
        // Not a SEQUENCE: every byte, less one leading zero octet.
        FUZZ_CHECK(taken && *taken == *whole);
        return 0;
    }
    if (!taken) {
        return 0;
    }
    FUZZ_CHECK(taken->size() < key.size());
    FUZZ_CHECK(taken->empty() || std::search(key.begin(), key.end(), taken->begin(), taken->end()) != key.end());
    if (const std::optional<Bytes> integer = leadingIntegerByOpenSsl(key)) {
        FUZZ_CHECK(*taken == *integer);
    }
    return 0;
}
