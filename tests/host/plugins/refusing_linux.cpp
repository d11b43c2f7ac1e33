// A plug-in that exports Invoke but cannot be loaded: it needs a symbol that
// nothing provides, so the loader refuses it once the export check passed.

#include "plugin/CorvanePlugin.h"

extern "C" void corvaneSymbolThatNoLibraryHas();

CORVANE_PLUGIN_EXPORT int Invoke(const char*, const char*, char** result)
{
    *result = nullptr;
    corvaneSymbolThatNoLibraryHas();
    return 0;
}
