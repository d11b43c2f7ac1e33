#include "PinPrompt.h"

namespace {

// A name from a certificate or token is the signer's to choose: without a
// cap and without its control characters it could push the site out of
// sight or draw lines that look like the prompt's own.
constexpr std::size_t kMaxFieldBytes = 120;

bool isLayoutControl(const std::string& text, std::size_t at, std::size_t& length)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char first = byte(at);
    if (first < 0x20 || first == 0x7f) {
        length = 1;
        return true;
    }
    // C1 controls (U+0080..U+009F), and the marks that turn text around or
    // separate lines: U+200E/F, U+2028..U+202E, U+2066..U+2069.
    if (first == 0xc2 && at + 1 < text.size() && byte(at + 1) >= 0x80 && byte(at + 1) <= 0x9f) {
        length = 2;
        return true;
    }
    if (first == 0xe2 && at + 2 < text.size()) {
        const unsigned char second = byte(at + 1);
        const unsigned char third = byte(at + 2);
        if ((second == 0x80 && (third == 0x8e || third == 0x8f || (third >= 0xa8 && third <= 0xae))) ||
            (second == 0x81 && third >= 0xa6 && third <= 0xa9)) {
            length = 3;
            return true;
        }
    }
    return false;
}

} // namespace

std::string displayableName(const std::string& text)
{
    std::string shown;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = 0;
        if (isLayoutControl(text, at, length)) {
            shown += ' ';
            at += length;
            continue;
        }
        shown += text[at++];
    }
    if (shown.size() > kMaxFieldBytes) {
        std::size_t cut = kMaxFieldBytes;
        while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xc0) == 0x80) {
            --cut; // not inside a character
        }
        shown.resize(cut);
        shown += "...";
    }
    return shown;
}

std::string promptTitle(const PromptRequest& request)
{
    return request.login ? "Corvane: log in with your certificate" : "Corvane: sign with your certificate";
}

std::string promptDescription(const PromptRequest& request)
{
    // The origin passed the allow-list (a scheme, a host, a port) and is shown
    // whole: a cut one could read as another site.
    std::string text = "The site " + request.origin + (request.login ? " asks you to log in" : " asks you to sign") +
                       " with your certificate.\n\n";
    text += "Certificate: " + displayableName(request.commonName) + "\n";
    text += "Issued by: " + displayableName(request.issuer) + "\n";
    text += "Token: " + displayableName(request.token) + "\n\n";
    text += request.pinPad ? "Press " + promptOk(request) + ", then enter the PIN on the reader's keypad."
                           : "Enter the token's PIN only if you trust this site.";
    return text;
}

std::string promptOk(const PromptRequest& request)
{
    return request.login ? "Log in" : "Sign";
}
