#include "util/Utf8.h"

#include <gtest/gtest.h>

namespace {

TEST(Utf8Test, WellFormedTextRoundTrips) {
    // One, two, three and four byte sequences: "a", U+00FC, U+20AC, U+1F600.
    const std::string text = "a\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80";
    auto wide = util::utf8ToWide(text);
    ASSERT_TRUE(wide.has_value());
    std::wstring expected = L"a\u00FC\u20AC";
    if constexpr (sizeof(wchar_t) == 2) {
        expected += static_cast<wchar_t>(0xD83D);
        expected += static_cast<wchar_t>(0xDE00);
    } else {
        expected += static_cast<wchar_t>(0x1F600);
    }
    EXPECT_EQ(*wide, expected);
    EXPECT_EQ(util::wideToUtf8(*wide), text);
    EXPECT_EQ(util::utf8ToWide(""), std::wstring());
}

TEST(Utf8Test, MalformedTextIsRefused) {
    const char* bad[] = {
        "\xC0\x80",          // overlong NUL
        "\xE0\x80\xAF",      // overlong '/'
        "\xED\xA0\x80",      // surrogate
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xE2\x82",          // truncated
        "\x80",              // stray continuation
        "a\xFF",             // never valid
    };
    for (const char* text : bad)
        EXPECT_FALSE(util::utf8ToWide(text).has_value()) << text;
    EXPECT_FALSE(util::wideToUtf8(std::wstring(1, static_cast<wchar_t>(0xDC00))).has_value());
}

}  // namespace
