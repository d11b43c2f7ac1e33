// A DLL without Invoke that ends the process as soon as it is loaded.

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        ::ExitProcess(3);
    }
    return TRUE;
}

extern "C" __declspec(dllexport) int NotInvoke()
{
    return 0;
}
