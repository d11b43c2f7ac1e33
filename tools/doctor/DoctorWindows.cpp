#include "Report.h"

namespace doctor {

// Windows has the token maker's own Kestova.dll: no bridge, no p11-kit.
void reportTokenSetup(Report&)
{
}

const char* startServiceStep()
{
    return "start Corvane.exe from its installation folder, or sign out and in again";
}

} // namespace doctor
