#include "Assuan.h"

#include <cstdlib>

std::string assuanEscape(const std::string& text, std::size_t maxLength)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        // One whole UTF-8 sequence at a time, so a cut never splits one.
        std::size_t length = 1;
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead >= 0xc0) {
            length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
            if (i + length > text.size()) {
                length = text.size() - i;
            }
        }
        std::string piece;
        for (std::size_t j = i; j < i + length; ++j) {
            const auto c = static_cast<unsigned char>(text[j]);
            if (c < 0x20 || c == 0x7f || c == '%') {
                piece += '%';
                piece += kHex[c >> 4];
                piece += kHex[c & 15];
            } else {
                piece += static_cast<char>(c);
            }
        }
        if (out.size() + piece.size() > maxLength) {
            break;
        }
        out += piece;
        i += length;
    }
    return out;
}

AssuanReplyKind assuanReplyKind(const std::string& line)
{
    const auto is = [&line](const char* word, std::size_t length) {
        return line.compare(0, length, word) == 0 && (line.size() == length || line[length] == ' ');
    };
    if (is("OK", 2)) {
        return AssuanReplyKind::ok;
    }
    if (is("ERR", 3)) {
        return AssuanReplyKind::error;
    }
    if (is("D", 1)) {
        return AssuanReplyKind::data;
    }
    if (is("S", 1)) {
        return AssuanReplyKind::status;
    }
    if (!line.empty() && line[0] == '#') {
        return AssuanReplyKind::comment;
    }
    if (is("INQUIRE", 7)) {
        return AssuanReplyKind::inquire;
    }
    return AssuanReplyKind::other;
}

unsigned assuanErrorCode(const std::string& line)
{
    if (assuanReplyKind(line) != AssuanReplyKind::error || line.size() < 5) {
        return 0;
    }
    char* end = nullptr;
    const unsigned long code = std::strtoul(line.c_str() + 4, &end, 10);
    return end == line.c_str() + 4 ? 0 : static_cast<unsigned>(code & 0xffff);
}

bool assuanAppendData(const std::string& line, SecretBuffer& out)
{
    const auto hexValue = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    for (std::size_t i = 2; i < line.size(); ++i) {
        char c = line[i];
        if (c == '%') {
            if (i + 2 >= line.size() || hexValue(line[i + 1]) < 0 || hexValue(line[i + 2]) < 0) {
                return false;
            }
            c = static_cast<char>(hexValue(line[i + 1]) * 16 + hexValue(line[i + 2]));
            i += 2;
        }
        if (!out.push(c)) {
            return false;
        }
    }
    return true;
}
