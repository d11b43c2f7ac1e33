#include "plugin/Utf8.h"

#include <gtest/gtest.h>

using plugin::isValidUtf8;
using plugin::toValidUtf8;

namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(Utf8Test, isValidUtf8_acceptsWellFormedText)
{
    for (const std::string& text : {std::string(), std::string("ascii"), std::string("\xC3\xA9"),
                                   std::string("\xE2\x82\xAC"), std::string("\xF0\x9F\x98\x80"),
                                   std::string("\xF4\x8F\xBF\xBF"), std::string("a\0b", 3)}) {
        EXPECT_TRUE(isValidUtf8(text)) << text;
    }
}

TEST(Utf8Test, isValidUtf8_refusesMalformedText)
{
    for (const char* text : {"\x80", "\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                             "\xF5\x80\x80\x80", "\xFF", "\xE2\x82", "\xC3\x28"}) {
        EXPECT_FALSE(isValidUtf8(text)) << text;
    }
}

TEST(Utf8Test, isValidUtf8_findsASequenceAnywhereInLongAscii)
{
    for (std::size_t at = 0; at < 20; ++at) {
        std::string text(20, 'a');
        EXPECT_FALSE(isValidUtf8(text.insert(at, "\xFF"))) << at;
        EXPECT_TRUE(isValidUtf8(text.replace(at, 1, "\xC3\xA9"))) << at;
        EXPECT_FALSE(isValidUtf8(text.erase(at + 1, 1))) << at; // a lead byte cut short
    }
}

TEST(Utf8Test, toValidUtf8_replacesEachBadByteAndKeepsTheRest)
{
    EXPECT_EQ(toValidUtf8("plain \xC3\xA9"), "plain \xC3\xA9");
    EXPECT_EQ(toValidUtf8("a\xFF" "b"), "a" + kReplacement + "b");
    EXPECT_EQ(toValidUtf8("\xE2\x82" "x"), kReplacement + kReplacement + "x");
    EXPECT_EQ(toValidUtf8("\xC3\x28"), kReplacement + "(");
    EXPECT_TRUE(isValidUtf8(toValidUtf8("\xED\xA0\x80\xF8\x80")));
}

} // namespace
