// A fresh emulated host per test, built with hostsim, selected for this process through
// ZENTRAD_HOST_ROOT; and small helpers to run tools and read their output.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/EmulatedHost.h"
#include "common/TestBytes.h"
#include "platform/File.h"

namespace testing_host {

inline std::vector<std::uint8_t> readBytes(const std::filesystem::path& file, std::uint64_t offset,
                                           std::size_t length) {
    std::string bytes = test::readAt(file, offset, length);
    return {bytes.begin(), bytes.end()};
}

class HostTest : public ::testing::Test {
  protected:
    std::string sim(const std::string& arguments) { return host_.sim(arguments); }
    std::filesystem::path diskImage(std::uint32_t number) const { return host_.diskImage(number); }
    // Writes the volume's bytes [offset, offset + length) of disk number's image to a file.
    std::filesystem::path extract(std::uint32_t number, std::uint64_t offset, std::uint64_t length,
                                  const std::string& name);
    void appendConfig(const std::string& text) { host_.appendConfig(text); }

    test::EmulatedHost host_;
    const std::filesystem::path& root_ = host_.root();
};

platform::FileHandle openForRead(const std::wstring& path);
platform::FileHandle openForWrite(const std::wstring& path);

// What a deviceIoControl answered into a buffer of size bytes.
struct Reply {
    bool ok = false;
    std::uint32_t error = 0;  // the last error when the request failed
    std::vector<std::uint8_t> bytes;
};
Reply control(platform::FileHandle& file, std::uint32_t code, std::uint32_t size,
              const void* in = nullptr, std::uint32_t inSize = 0);

}  // namespace testing_host
