// Checks of what a statement throws by the text of the exception: its start, or the whole
// message of one of the agent's exceptions (whose text goes on with " (function:line)").
#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <string>

namespace test {

// Whether body throws an exception whose text starts with start.
template <typename Body>
::testing::AssertionResult throwsStartingWith(Body body, const std::string& start) {
    try {
        body();
    } catch (const std::exception& error) {
        if (std::string(error.what()).rfind(start, 0) == 0)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "threw: " << error.what();
    }
    return ::testing::AssertionFailure() << "no exception, expected: " << start;
}

}  // namespace test

// Expects statement to throw an exception whose text starts with `start`.
#define EXPECT_THROW_MESSAGE(statement, start) \
    EXPECT_TRUE(test::throwsStartingWith([&] { statement; }, (start)))

// Expects statement to throw one of the agent's exceptions with exactly `message`.
#define EXPECT_THROW_TEXT(statement, message) \
    EXPECT_TRUE(test::throwsStartingWith([&] { statement; }, std::string(message) + " ("))
