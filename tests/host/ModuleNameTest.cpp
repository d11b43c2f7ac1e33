#include "plugin/ModuleName.h"

#include <gtest/gtest.h>

using plugin::isAcceptableModuleName;

namespace {

TEST(ModuleNameTest, bareFileNames_areAcceptable)
{
    for (const char* name : {"Quintrel", "echo.so", "Quintrel.dll", "x.", "..", "\xC3\xA9t\xC3\xA9"}) {
        EXPECT_TRUE(isAcceptableModuleName(name)) << name;
    }
}

TEST(ModuleNameTest, pathsDrivesAndBrokenText_areRefused)
{
    for (const char* name : {"", "/usr/lib/x.so", "../echo", "dir/echo", "..\\echo", "\\\\server\\share\\x.dll",
                             "c:echo", "C:\\x.dll", "file:x", "ec\xFFho", "\xC3"}) {
        EXPECT_FALSE(isAcceptableModuleName(name)) << name;
    }
}

} // namespace
