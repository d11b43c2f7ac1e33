// A library without Invoke that ends the process as soon as it is loaded,
// as some runtimes do when they are not loaded first.

#include <cstdlib>

__attribute__((constructor)) static void endProcess()
{
    std::abort();
}

extern "C" __attribute__((visibility("default"))) int NotInvoke()
{
    return 0;
}
