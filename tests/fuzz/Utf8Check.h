#pragma once

// RapidJSON's UTF-8 validator: strict, and not the one the product uses, so
// it can judge the product's output.

#include <rapidjson/encodings.h>
#include <rapidjson/stream.h>
#include <rapidjson/stringbuffer.h>

#include <string>

inline bool isUtf8(const std::string& text)
{
    // Padding: the validator reads a whole sequence before it judges it.
    const std::string padded = text + std::string(4, '\0');
    rapidjson::StringStream in(padded.c_str());
    rapidjson::StringBuffer sink;
    while (in.Tell() < text.size()) {
        if (!rapidjson::UTF8<>::Validate(in, sink)) {
            return false;
        }
    }
    return true;
}
