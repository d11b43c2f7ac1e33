#pragma once

// The line protocol that the desktop's PIN entry programs speak.

#include "KeyCrypto.h"

#include <string>

// Text for a command's argument: '%', CR, LF and every other control
// character become %XX, so no text can end the line and start a command.
// The result is cut to `maxLength` bytes at a character boundary.
std::string assuanEscape(const std::string& text, std::size_t maxLength);

enum class AssuanReplyKind { ok, error, data, status, comment, inquire, other };
AssuanReplyKind assuanReplyKind(const std::string& line);

// The error code of an "ERR <code> ..." line, without its source bits; 0
// when the line holds none.
unsigned assuanErrorCode(const std::string& line);

// Decodes the data of a "D " line onto the end of `out`. False when the
// data is malformed or does not fit.
bool assuanAppendData(const std::string& line, SecretBuffer& out);

// The error codes that matter to us.
constexpr unsigned kAssuanTimeout = 62;
constexpr unsigned kAssuanCanceled = 99;
constexpr unsigned kAssuanNotConfirmed = 114;
constexpr unsigned kAssuanFullyCanceled = 198;
