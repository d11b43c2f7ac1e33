#include "PinPrompt.h"

std::string promptTitle(const PromptRequest& request)
{
    return request.login ? "Corvane: log in with your certificate" : "Corvane: sign with your certificate";
}

std::string promptDescription(const PromptRequest& request)
{
    std::string text = "The site " + request.origin + (request.login ? " asks you to log in" : " asks you to sign") +
                       " with your certificate.\n\n";
    text += "Certificate: " + request.commonName + "\n";
    text += "Issued by: " + request.issuer + "\n";
    text += "Token: " + request.token + "\n\n";
    text += request.pinPad ? "Press " + promptOk(request) + ", then enter the PIN on the reader's keypad."
                           : "Enter the token's PIN only if you trust this site.";
    return text;
}

std::string promptOk(const PromptRequest& request)
{
    return request.login ? "Log in" : "Sign";
}
