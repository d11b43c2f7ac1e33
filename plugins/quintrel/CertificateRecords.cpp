#include "CertificateRecords.h"

#include "plugin/Utf8.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint64_t kLineLength = 64;

} // namespace

int Base64Encode(const unsigned char* data, unsigned length, char* out, unsigned* capacity)
{
    const std::uint64_t encoded = 4 * (std::uint64_t { length } / 3) + (length % 3 != 0 ? 4 : 0);
    const std::uint64_t lines = encoded / kLineLength;
    const std::uint64_t needed = encoded + lines + (encoded % kLineLength == 0 ? 3 : 4);
    if (needed > INT_MAX) {
        return -1;
    }
    const unsigned room = capacity == nullptr ? 0 : *capacity;
    if (out == nullptr || room == 0) {
        if (capacity != nullptr) {
            *capacity = static_cast<unsigned>(needed);
        }
        return static_cast<int>(needed);
    }
    // The encoder appends, so the text already in `out` takes room too.
    const void* terminator = std::memchr(out, '\0', room);
    if (terminator == nullptr) {
        return -1;
    }
    const std::size_t used = static_cast<std::size_t>(static_cast<const char*>(terminator) - out);
    if (room - used < needed) {
        return -1;
    }

    std::string characters;
    characters.reserve(static_cast<std::size_t>(encoded));
    unsigned i = 0;
    for (; i + 3 <= length; i += 3) {
        const std::uint32_t group = (std::uint32_t { data[i] } << 16) | (std::uint32_t { data[i + 1] } << 8) | data[i + 2];
        characters += kAlphabet[(group >> 18) & 0x3f];
        characters += kAlphabet[(group >> 12) & 0x3f];
        characters += kAlphabet[(group >> 6) & 0x3f];
        characters += kAlphabet[group & 0x3f];
    }
    if (length - i == 1) {
        const std::uint32_t group = std::uint32_t { data[i] } << 16;
        characters += kAlphabet[(group >> 18) & 0x3f];
        characters += kAlphabet[(group >> 12) & 0x3f];
        characters += "==";
    } else if (length - i == 2) {
        const std::uint32_t group = (std::uint32_t { data[i] } << 16) | (std::uint32_t { data[i + 1] } << 8);
        characters += kAlphabet[(group >> 18) & 0x3f];
        characters += kAlphabet[(group >> 12) & 0x3f];
        characters += kAlphabet[(group >> 6) & 0x3f];
        characters += '=';
    }

    char* cursor = out + used;
    for (std::size_t p = 0; p <= characters.size(); p += kLineLength) {
        const std::size_t count = std::min<std::size_t>(kLineLength, characters.size() - p);
        std::memcpy(cursor, characters.data() + p, count);
        cursor += count;
        *cursor++ = '\n';
    }
    *cursor = '\0';
    *capacity = static_cast<unsigned>(needed);
    return static_cast<int>(encoded);
}

std::string base64Text(const unsigned char* data, std::size_t length)
{
    if (length > UINT_MAX) {
        return {};
    }
    unsigned needed = 0;
    if (Base64Encode(data, static_cast<unsigned>(length), nullptr, &needed) < 0) {
        return {};
    }
    std::vector<char> buffer(needed, '\0');
    unsigned capacity = needed;
    if (Base64Encode(data, static_cast<unsigned>(length), buffer.data(), &capacity) < 0) {
        return {};
    }
    return buffer.data();
}

std::string serialText(const std::vector<unsigned char>& serial)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(serial.size() * 2);
    for (const unsigned char octet : serial) {
        text += kDigits[octet >> 4];
        text += kDigits[octet & 0x0f];
    }
    return text;
}

std::string dateText(const CivilDate& date)
{
    char buffer[64] = {};
    std::snprintf(buffer, sizeof buffer, "%d-%d-%d", date.year, date.month, date.day);
    return buffer;
}

std::string instantText(const CivilDate& instant)
{
    char buffer[96] = {};
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02dZ", instant.year, instant.month, instant.day,
                  instant.hour, instant.minute, instant.second);
    return buffer;
}

std::optional<std::vector<unsigned char>> publicKeyBytes(const std::vector<unsigned char>& key, bool rsaEncryption)
{
    const std::size_t size = key.size();
    std::size_t first = 0;
    std::size_t count = size;
    if (rsaEncryption && size > 0 && key[0] == 0x30) {
        // RSAPublicKey: skip the SEQUENCE header; the modulus INTEGER follows.
        if (size < 2) {
            return std::nullopt;
        }
        std::size_t pos = 2;
        if (key[1] > 0x80) {
            pos += key[1] & 0x7f;
        }
        if (pos >= size || key[pos] != 0x02 || pos + 1 >= size) {
            return std::nullopt;
        }
        const unsigned char lengthOctet = key[pos + 1];
        pos += 2;
        std::size_t length = lengthOctet;
        if (lengthOctet > 0x80) {
            const std::size_t octets = lengthOctet & 0x7f;
            if (octets > sizeof(std::uint32_t) || size - pos < octets) {
                return std::nullopt;
            }
            length = 0;
            for (std::size_t i = 0; i < octets; ++i) {
                length = (length << 8) | key[pos++];
            }
        }
        if (size - pos < length) {
            return std::nullopt;
        }
        first = pos;
        count = length;
    }
    if (count > 0 && key[first] == 0x00) {
        ++first;
        --count;
    }
    return std::vector<unsigned char>(key.begin() + static_cast<std::ptrdiff_t>(first),
                                      key.begin() + static_cast<std::ptrdiff_t>(first + count));
}

std::optional<std::vector<unsigned char>> publicKeyBytes(const DecodedCertificate& certificate)
{
    return publicKeyBytes(certificate.publicKey, certificate.keyAlgorithm == kRsaEncryptionOid);
}

WalkStep appendCommonName(const DecodedCertificate& certificate, std::string& text)
{
    text += certificate.commonName;
    text += ';';
    return WalkStep::Continue;
}

namespace {

// Serial, ":", the field, ";": the shape of every record but the name's.
WalkStep appendSerialRecord(const DecodedCertificate& certificate, const std::string& field, std::string& text)
{
    text += serialText(certificate.serial);
    text += ':';
    text += field;
    text += ';';
    return WalkStep::Continue;
}

} // namespace

WalkStep appendCertificate(const DecodedCertificate& certificate, std::string& text)
{
    return appendSerialRecord(certificate, base64Text(certificate.der.data(), certificate.der.size()), text);
}

WalkStep appendNotAfter(const DecodedCertificate& certificate, std::string& text)
{
    return appendSerialRecord(certificate, dateText(certificate.notAfter), text);
}

WalkStep appendNotBefore(const DecodedCertificate& certificate, std::string& text)
{
    return appendSerialRecord(certificate, dateText(certificate.notBefore), text);
}

WalkStep appendPublicKey(const DecodedCertificate& certificate, std::string& text)
{
    const auto bytes = publicKeyBytes(certificate);
    if (!bytes) {
        return WalkStep::Abandon;
    }
    return appendSerialRecord(certificate, base64Text(bytes->data(), bytes->size()), text);
}

namespace {

std::string unwrappedBase64(const std::vector<unsigned char>& data)
{
    std::string text = base64Text(data.data(), data.size());
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    return text;
}

const char* const kKeyUsageNames[] = {
    "digitalSignature", "nonRepudiation", "keyEncipherment", "dataEncipherment", "keyAgreement",
    "keyCertSign",      "cRLSign",        "encipherOnly",    "decipherOnly",
};

} // namespace

WalkStep appendCertificateInfo(const std::string& token, const DecodedCertificate& certificate, std::string& text)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    const auto member = [&writer](const char* name, const std::string& value) {
        const std::string valid = plugin::toValidUtf8(value);
        writer.Key(name);
        writer.String(valid.data(), static_cast<rapidjson::SizeType>(valid.size()));
    };
    const auto key = publicKeyBytes(certificate);

    writer.StartObject();
    member("token", token);
    member("serial", serialText(certificate.serial));
    member("commonName", certificate.commonName);
    member("subject", rfc4514Text(certificate.subject));
    member("issuer", rfc4514Text(certificate.issuer));
    member("notBefore", instantText(certificate.notBefore));
    member("notAfter", instantText(certificate.notAfter));
    member("certificate", unwrappedBase64(certificate.der));
    member("publicKey", key ? unwrappedBase64(*key) : std::string());
    writer.Key("keyUsage");
    writer.StartArray();
    for (unsigned n = 0; n < std::size(kKeyUsageNames); ++n) {
        if ((certificate.keyUsage & (1u << n)) != 0) {
            writer.String(kKeyUsageNames[n]);
        }
    }
    writer.EndArray();
    writer.EndObject();

    if (!text.empty()) {
        text += ',';
    }
    text.append(buffer.GetString(), buffer.GetSize());
    return WalkStep::Continue;
}
