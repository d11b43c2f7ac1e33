// A loadable library that does not export Invoke.

#include "plugin/CorvanePlugin.h"

CORVANE_PLUGIN_EXPORT int Invok(const char*, const char*, char** result)
{
    *result = nullptr;
    return 0;
}
