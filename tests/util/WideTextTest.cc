#include "platform/WideText.h"

#include <gtest/gtest.h>

namespace {

using platform::equalsIgnoringCase;
using platform::startsWithIgnoringCase;

TEST(WideTextTest, NamesCompareWithoutRegardToCase) {
    EXPECT_TRUE(equalsIgnoringCase(L"\\\\.\\ZentradCtl", L"\\\\.\\zentradctl"));
    EXPECT_TRUE(equalsIgnoringCase(L"", L""));
    // Equal up to the shorter length is not equal.
    EXPECT_FALSE(equalsIgnoringCase(L"VSS", L"VSSX"));
    EXPECT_FALSE(equalsIgnoringCase(L"VSSX", L"VSS"));
    EXPECT_FALSE(equalsIgnoringCase(L"VOLSNAP", L"VOLSNAQ"));

    EXPECT_TRUE(startsWithIgnoringCase(L"\\\\?\\volume{abc}\\", L"\\\\?\\Volume{"));
    EXPECT_TRUE(startsWithIgnoringCase(L"C:", L""));
    EXPECT_FALSE(startsWithIgnoringCase(L"\\\\?\\Vol", L"\\\\?\\Volume{"));
    EXPECT_FALSE(startsWithIgnoringCase(L"\\\\.\\Volume{", L"\\\\?\\Volume{"));
}

TEST(WideTextTest, FoldsAndTrimsNames) {
    EXPECT_EQ(platform::upperCase(L"\\\\?\\Volume{0a1b-c2}"), L"\\\\?\\VOLUME{0A1B-C2}");
    EXPECT_EQ(platform::withoutTrailingBackslashes(L"\\\\?\\Volume{x}\\\\"), L"\\\\?\\Volume{x}");
    EXPECT_EQ(platform::withoutTrailingBackslashes(L"C:\\dir"), L"C:\\dir");
    EXPECT_EQ(platform::withoutTrailingBackslashes(L"\\\\"), L"");
}

}  // namespace
