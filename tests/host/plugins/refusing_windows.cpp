// A plug-in that exports Invoke but whose DllMain refuses the load.

#include "plugin/CorvanePlugin.h"

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    return reason == DLL_PROCESS_ATTACH ? FALSE : TRUE;
}

CORVANE_PLUGIN_EXPORT int Invoke(const char*, const char*, char** result)
{
    *result = nullptr;
    return 0;
}
