#include "platform/ErrorText.h"

#include <gtest/gtest.h>

#include "platform/System.h"

namespace {

// Error texts follow "Error: " or ": " in log lines and messages the server shows, so the
// line end and blanks the message table appends must never reach them, for known and
// unknown codes alike.
TEST(ErrorTextTest, OneLineWithoutTheTableLineEnd) {
    EXPECT_EQ(platform::errorText(5), "Access is denied.");
    EXPECT_EQ(platform::errorText(0xDEADBEEF), "Unknown error 3735928559.");
    platform::setLastError(5);
    EXPECT_EQ(platform::lastErrorText(), "Access is denied.");
    EXPECT_EQ(platform::withoutTrailingBlanks(L"Data error. \r\n \r\n"), L"Data error.");
    EXPECT_EQ(platform::withoutTrailingBlanks(L" \r\n"), L"");
}

}  // namespace
