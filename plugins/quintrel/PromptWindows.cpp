// Windows asks in a dialog of the service's own, which is not there yet:
// until it is, no prompt can be shown and nothing is ever signed.

#include "PinPrompt.h"

namespace {

class NoPrompt : public PinPrompt {
public:
    PromptResult ask(const PromptRequest&, SecretBuffer& pin) override
    {
        pin.clear();
        return PromptResult::unavailable;
    }
};

} // namespace

std::unique_ptr<PinPrompt> makeDesktopPrompt()
{
    return std::make_unique<NoPrompt>();
}
