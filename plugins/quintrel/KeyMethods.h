#pragma once

// Sign and Authenticate, the methods that use the token's key.

#include "plugin/CorvanePlugin.h"

#include <optional>
#include <string>

class PinPrompt;

// Remembers the host interface; the origin is asked for during each call.
void setKeyMethodsHost(const CorvaneHost* host);

struct KeyMethodAnswer {
    bool ok = false;
    std::string text; // the answer's JSON
};

// The answer when `method` is one of the two, nullopt otherwise. `prompt`
// null: the desktop's own.
std::optional<KeyMethodAnswer> runKeyMethod(const std::string& method, const char* param, PinPrompt* prompt = nullptr);
