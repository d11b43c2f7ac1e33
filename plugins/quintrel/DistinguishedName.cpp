#include "DistinguishedName.h"

#include <cstring>

namespace {

const char* shortName(const std::string& oid)
{
    static const struct {
        const char* oid;
        const char* name;
    } kShortNames[] = {
        { "2.5.4.3", "CN" },
        { "2.5.4.7", "L" },
        { "2.5.4.8", "ST" },
        { "2.5.4.10", "O" },
        { "2.5.4.11", "OU" },
        { "2.5.4.6", "C" },
        { "2.5.4.9", "STREET" },
        { "0.9.2342.19200300.100.1.25", "DC" },
        { "0.9.2342.19200300.100.1.1", "UID" },
    };
    for (const auto& entry : kShortNames) {
        if (oid == entry.oid) {
            return entry.name;
        }
    }
    return nullptr;
}

void appendEscaped(const std::string& value, std::string& out)
{
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\0') {
            out += "\\00";
            continue;
        }
        const bool special = std::strchr("\\\"+,;<>", c) != nullptr;
        const bool leading = i == 0 && (c == '#' || c == ' ');
        const bool trailing = i + 1 == value.size() && c == ' ';
        if (special || leading || trailing) {
            out += '\\';
        }
        out += c;
    }
}

void appendAttribute(const NameAttribute& attribute, std::string& out)
{
    const char* name = shortName(attribute.oid);
    if (name != nullptr && attribute.text) {
        out += name;
        out += '=';
        appendEscaped(*attribute.text, out);
        return;
    }
    static const char kDigits[] = "0123456789abcdef";
    out += attribute.oid;
    out += "=#";
    for (const unsigned char octet : attribute.der) {
        out += kDigits[octet >> 4];
        out += kDigits[octet & 0x0f];
    }
}

} // namespace

std::string rfc4514Text(const DistinguishedName& name)
{
    std::string text;
    for (auto rdn = name.rbegin(); rdn != name.rend(); ++rdn) {
        if (rdn != name.rbegin()) {
            text += ',';
        }
        for (std::size_t i = 0; i < rdn->size(); ++i) {
            if (i > 0) {
                text += '+';
            }
            appendAttribute((*rdn)[i], text);
        }
    }
    return text;
}
