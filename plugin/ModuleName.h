#pragma once

#include <string_view>

namespace plugin {

// A page may name only a bare file name: anything that could point the loader
// at another directory, drive or share is refused before loading.
bool isAcceptableModuleName(std::string_view name);

} // namespace plugin
