#include "plugin/ModuleName.h"

#include "plugin/Utf8.h"

namespace plugin {

bool isAcceptableModuleName(std::string_view name)
{
    return !name.empty() && name.find_first_of("/\\:") == std::string_view::npos && isValidUtf8(name);
}

} // namespace plugin
