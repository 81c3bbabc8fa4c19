#include "filter/DriverText.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/emulated/driver/ControlDevice.h"

namespace {

using filter::decodeUtf16Le;
using filter::splitVolumeNames;

std::wstring decode(const std::vector<std::uint8_t>& bytes) {
    return decodeUtf16Le(bytes.data(), bytes.size());
}

TEST(DriverText, DecodesUtf16WhateverTheWidthOfWcharTAndStaysInsideTheBuffer) {
    // "A", U+00E9, U+1F600 as a surrogate pair, then NUL and bytes that must be ignored.
    std::vector<std::uint8_t> bytes = {0x41, 0, 0xE9, 0, 0x3D, 0xD8, 0x00, 0xDE, 0, 0, 0x42, 0};
    std::wstring text = decode(bytes);
    if constexpr (sizeof(wchar_t) == 4) {
        EXPECT_EQ(text,
                  (std::wstring{L'A', static_cast<wchar_t>(0xE9), static_cast<wchar_t>(0x1F600)}));
    } else {
        EXPECT_EQ(text.size(), 4u);
    }
    // Unterminated, odd or broken text stays inside the buffer.
    EXPECT_EQ(decode({0x41, 0, 0x42}), L"A");  // odd last byte, no NUL
    std::wstring lone = decode({0x00, 0xDC, 0x41, 0});
    ASSERT_EQ(lone.size(), 2u);
    EXPECT_EQ(lone[1], L'A');
    EXPECT_EQ(decode({}), L"");
}

TEST(DriverText, SplitsNamesAndTurnsNtPrefixesIntoWin32Ones) {
    EXPECT_EQ(
        splitVolumeNames(L"\\??\\Volume{1}\\;C:\\;;\\\\?\\Volume{2}"),
        (std::vector<std::wstring>{L"\\\\?\\Volume{1}\\", L"C:\\", L"", L"\\\\?\\Volume{2}"}));
    EXPECT_TRUE(splitVolumeNames(L"").empty());
    EXPECT_EQ(filter::withTrailingBackslash(L"C:"), L"C:\\");
    EXPECT_EQ(filter::withTrailingBackslash(L"C:\\"), L"C:\\");
}

TEST(DriverText, NamesEncodedByTheEmulatedDriverDecodeToTheSameText) {
    std::vector<std::uint8_t> text = platform::emulated::encodeVolumeNames(
        {L"\\\\?\\Volume{00000001-0000-0000-0000-000000100000}\\", L"E:\\"});
    ASSERT_EQ(text.size() % 2, 0u);
    EXPECT_EQ(text[text.size() - 1], 0);
    EXPECT_EQ(text[text.size() - 2], 0);
    EXPECT_EQ(splitVolumeNames(decode(text)),
              (std::vector<std::wstring>{L"\\\\?\\Volume{00000001-0000-0000-0000-000000100000}\\",
                                         L"E:\\"}));
}

}  // namespace
