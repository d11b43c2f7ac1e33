#pragma once

// The prompt that asks the user for the token's PIN on the desktop. It names
// the site, what the site asks and which certificate and token; the page
// has no part in it.

#include "KeyCrypto.h"

#include <memory>
#include <string>

struct PromptRequest {
    std::string origin;      // as the host saw it at the handshake
    bool login = false;      // to log in (Authenticate) rather than to sign
    std::string commonName;  // of the certificate
    std::string issuer;      // the issuer's common name, or its whole name
    std::string token;       // the token's label
    bool pinPad = false;     // the PIN is typed on the reader: only confirm
    std::string error;       // after a wrong PIN: why it comes back
};

enum class PromptResult { pin, confirmed, cancelled, timeout, unavailable };

class PinPrompt {
public:
    virtual ~PinPrompt() = default;
    // Shows the prompt and waits. pin: the PIN is in `pin`. confirmed: the
    // user agreed (pinPad). unavailable: nothing could be shown.
    virtual PromptResult ask(const PromptRequest& request, SecretBuffer& pin) = 0;
};

// How long the user has: the prompt closes itself after this.
constexpr int kPromptSeconds = 60;

// The desktop's prompt on this platform.
std::unique_ptr<PinPrompt> makeDesktopPrompt();

// The prompt's texts, shared by every platform's prompt. Names from a
// certificate or token are shown by displayableName: on one line, cut short.
std::string promptTitle(const PromptRequest& request);
std::string promptDescription(const PromptRequest& request);
std::string promptOk(const PromptRequest& request);
std::string displayableName(const std::string& text);
