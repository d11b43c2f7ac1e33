// The desktop's PIN entry program, driven over its standard input and output.

#include "Assuan.h"
#include "PinPrompt.h"

#include "platform/process/ChildPipe.h"

#include <chrono>
#include <cstdlib>

namespace {

// Assuan lines hold at most 1000 bytes; each command's text is kept well below.
constexpr std::size_t kMaxText = 900;

// Our own wait outlasts the program's: it ends the prompt itself at 60 s
// and says so; this only catches one that hangs.
constexpr auto kReplyWait = std::chrono::seconds(kPromptSeconds + 5);

class PinentryPrompt : public PinPrompt {
public:
    PromptResult ask(const PromptRequest& request, SecretBuffer& pin) override
    {
        const char* configured = std::getenv("CORVANE_PINENTRY");
        const std::string program = configured != nullptr && *configured != '\0' ? configured : "pinentry";
        platform::ChildPipe child;
        std::string error;
        if (!child.start(program, error)) {
            return PromptResult::unavailable;
        }
        std::string line;
        line.reserve(8192); // never grows while it may hold a PIN
        const PromptResult result = talk(child, request, pin, line);
        line.resize(line.capacity());
        platform::wipe(line.data(), line.size());
        child.write("BYE\n");
        child.finish();
        return result;
    }

private:
    enum class Reply { ok, error, gone };

    // Reads until OK or ERR; data lines go to `pin` when it is given.
    static Reply reply(platform::ChildPipe& child, std::string& line, SecretBuffer* pin, unsigned& code,
                       std::chrono::seconds wait = std::chrono::seconds(10))
    {
        for (;;) {
            const auto read = child.readLine(line, wait);
            if (read == platform::ChildPipe::Read::timeout) {
                code = kAssuanTimeout;
                return Reply::gone;
            }
            if (read != platform::ChildPipe::Read::line) {
                return Reply::gone;
            }
            switch (assuanReplyKind(line)) {
            case AssuanReplyKind::ok:
                return Reply::ok;
            case AssuanReplyKind::error:
                code = assuanErrorCode(line);
                return Reply::error;
            case AssuanReplyKind::data:
                if (pin == nullptr || !assuanAppendData(line, *pin)) {
                    if (pin != nullptr) {
                        pin->clear();
                    }
                    return Reply::gone;
                }
                break;
            case AssuanReplyKind::inquire:
                // We have nothing to tell; ending the inquiry keeps the exchange going.
                if (!child.write("CAN\n")) {
                    return Reply::gone;
                }
                break;
            default:
                break;
            }
            platform::wipe(line.data(), line.size());
        }
    }

    static bool command(platform::ChildPipe& child, std::string& line, const std::string& name, const std::string& text)
    {
        unsigned code = 0;
        return child.write(name + " " + assuanEscape(text, kMaxText) + "\n") &&
               reply(child, line, nullptr, code) == Reply::ok;
    }

    static PromptResult talk(platform::ChildPipe& child, const PromptRequest& request, SecretBuffer& pin, std::string& line)
    {
        unsigned code = 0;
        // The greeting; a program that is no prompt at all ends here.
        if (reply(child, line, nullptr, code) != Reply::ok) {
            return PromptResult::unavailable;
        }
        const bool set = command(child, line, "SETTITLE", promptTitle(request)) &&
                         command(child, line, "SETDESC", promptDescription(request)) &&
                         command(child, line, "SETOK", promptOk(request)) &&
                         command(child, line, "SETCANCEL", "Cancel") &&
                         command(child, line, "SETTIMEOUT", std::to_string(kPromptSeconds)) &&
                         (request.pinPad || command(child, line, "SETPROMPT", "PIN:")) &&
                         (request.error.empty() || command(child, line, "SETERROR", request.error));
        if (!set) {
            return PromptResult::unavailable;
        }
        pin.clear();
        if (!child.write(request.pinPad ? "CONFIRM\n" : "GETPIN\n")) {
            return PromptResult::unavailable;
        }
        code = 0;
        const Reply answer = reply(child, line, &pin, code, kReplyWait);
        if (answer == Reply::ok) {
            return request.pinPad ? PromptResult::confirmed : PromptResult::pin;
        }
        pin.clear();
        switch (code) {
        case kAssuanTimeout:
            return PromptResult::timeout;
        case kAssuanCanceled:
        case kAssuanFullyCanceled:
        case kAssuanNotConfirmed:
            return PromptResult::cancelled;
        default:
            // No display, no terminal, a program that died: nothing was shown.
            return PromptResult::unavailable;
        }
    }
};

} // namespace

std::unique_ptr<PinPrompt> makeDesktopPrompt()
{
    return std::make_unique<PinentryPrompt>();
}
