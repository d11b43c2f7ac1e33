#include "Report.h"

namespace doctor {

// Windows has the token maker's own Kestova.dll: no bridge, no p11-kit.
void reportTokenSetup(Report&)
{
}

void reportPromptSetup(Report& report)
{
    report.note("PIN prompt", "no prompt can be shown: Corvane has no PIN prompt on Windows yet, so Sign and Authenticate answer no-prompt");
}

const char* startServiceStep()
{
    return "start Corvane.exe from its installation folder, or sign out and in again";
}

} // namespace doctor
