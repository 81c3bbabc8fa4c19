// Shared pieces of the block tests: log capture through a network queue on the test's own
// thread, fake devices, and checks of what is thrown.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "common/ExpectThrow.h"
#include "logging/Logger.h"
#include "logging/NetLogger.h"
#include "platform/File.h"

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

// A device for tests: a seek moves its position, and every other operation fails unless a
// test overrides it.
class FakeDevice : public platform::OpenFile {
  public:
    bool read(void*, std::uint32_t, std::uint32_t*) override { return false; }
    bool write(const void*, std::uint32_t, std::uint32_t*) override { return false; }
    bool seek(std::int64_t distance, std::uint32_t, std::uint64_t* newPosition) override {
        position = static_cast<std::uint64_t>(distance);
        if (newPosition != nullptr)
            *newPosition = position;
        return true;
    }
    bool ioControl(std::uint32_t, const void*, std::uint32_t, void*, std::uint32_t,
                   std::uint32_t*) override {
        return false;
    }

  protected:
    std::uint64_t position = 0;
};

// A fake device as the handle the code under test owns, and the device itself for the test.
template <typename Device>
struct FakeHandle {
    Device* device;
    platform::FileHandle handle;

    template <typename... Arguments>
    explicit FakeHandle(Arguments&&... arguments) {
        auto owned = std::make_unique<Device>(std::forward<Arguments>(arguments)...);
        device = owned.get();
        handle = platform::FileHandle(std::move(owned));
    }
};

}  // namespace test
