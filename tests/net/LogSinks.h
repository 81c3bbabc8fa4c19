// The agent's own log in a file and what a connection's peer would receive, captured for one
// test (test::occurrences counts a text in either).
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

#include "common/TestBytes.h"
#include "logging/Logger.h"

namespace test {

class LogSinks {
  public:
    explicit LogSinks(std::filesystem::path file)
        : file_(std::move(file)), peer_(std::make_shared<logging::NetLogger>()) {
        logging::Logger::get().setFileLogger(std::make_shared<logging::FileLogger>(file_));
        logging::Logger::get().setNetLogger(peer_);
    }
    ~LogSinks() {
        logging::Logger::get().setNetLogger(nullptr);
        logging::Logger::get().setFileLogger(nullptr);
    }
    LogSinks(const LogSinks&) = delete;
    LogSinks& operator=(const LogSinks&) = delete;

    std::string local() const { return readWholeFile(file_); }
    // What reached the peer since the last call.
    std::string sentToPeer() {
        std::string bytes;
        peer_->drainInto(bytes);
        return bytes;
    }

  private:
    std::filesystem::path file_;
    std::shared_ptr<logging::NetLogger> peer_;
};

}  // namespace test
