#pragma once

// A certificate's subject or issuer as both decoders deliver it, and the one
// text form pages get for it (RFC 4514), so Linux and Windows agree byte for
// byte.

#include <optional>
#include <string>
#include <vector>

struct NameAttribute {
    std::string oid;                  // dotted decimal, "2.5.4.3"
    std::vector<unsigned char> der;   // the value's whole encoding: tag, length, content
    std::optional<std::string> text;  // UTF-8, when the value is a character string
};
using RelativeName = std::vector<NameAttribute>;    // attributes in encoded order
using DistinguishedName = std::vector<RelativeName>; // RDNs in encoded order, the first one first

// RDNs from last to first, joined by ","; the attributes of one RDN joined
// by "+". Types with an RFC 4514 short name (CN, L, ST, O, OU, C, STREET,
// DC, UID) holding a character string are written as NAME=value, escaped;
// every other attribute as OID=# and the hex of the value's encoding.
std::string rfc4514Text(const DistinguishedName& name);
