// Shared pieces of the block tests: log capture through a network queue on the test's own
// thread, and a check of an exception's message.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "logging/Logger.h"
#include "logging/NetLogger.h"

namespace test {

// A directory of this test run for the block digest files (the agent's temporary directory).
std::filesystem::path blockSumDir();

// Collects what the calling thread logs (ERROR, WARN, INFO) while it lives.
class LogCapture {
  public:
    LogCapture() : queue_(std::make_shared<logging::NetLogger>()) {
        logging::Logger::get().setNetLogger(queue_);
    }
    ~LogCapture() { logging::Logger::get().setNetLogger(nullptr); }
    std::string text() {
        queue_->drainInto(captured_);
        return captured_;
    }
    bool contains(const std::string& part) { return text().find(part) != std::string::npos; }

  private:
    std::shared_ptr<logging::NetLogger> queue_;
    std::string captured_;
};

}  // namespace test

// Expects statement to throw an exception whose message starts with `message`.
#define EXPECT_THROW_MESSAGE(statement, message)                                    \
    do {                                                                            \
        try {                                                                       \
            statement;                                                              \
            ADD_FAILURE() << "no exception, expected: " << (message);               \
        } catch (const std::exception& error) {                                     \
            EXPECT_EQ(0u, std::string(error.what()).rfind(std::string(message), 0)) \
                << error.what();                                                    \
        }                                                                           \
    } while (false)
