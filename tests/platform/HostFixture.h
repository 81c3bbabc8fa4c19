// A fresh emulated host per test, built with hostsim, selected for this process through
// ZENTRAD_HOST_ROOT; and small helpers to run tools and read their output.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/EmulatedHost.h"
#include "platform/File.h"

namespace testing_host {

std::vector<std::uint8_t> readBytes(const std::filesystem::path& file, std::uint64_t offset,
                                    std::size_t length);

class HostTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    std::string sim(const std::string& arguments) { return host_->sim(arguments); }
    std::filesystem::path diskImage(std::uint32_t number) const { return host_->diskImage(number); }
    // Writes the volume's bytes [offset, offset + length) of disk number's image to a file.
    std::filesystem::path extract(std::uint32_t number, std::uint64_t offset, std::uint64_t length,
                                  const std::string& name);
    void appendConfig(const std::string& text) { host_->appendConfig(text); }

    std::optional<test::EmulatedHost> host_;
    std::filesystem::path root_;
};

platform::FileHandle openForRead(const std::wstring& path);
platform::FileHandle openForWrite(const std::wstring& path);
// deviceIoControl into a buffer of size bytes; returns the bytes and sets ok and error.
std::vector<std::uint8_t> control(platform::FileHandle& file, std::uint32_t code, const void* in,
                                  std::uint32_t inSize, std::uint32_t size, bool& ok,
                                  std::uint32_t& error);

}  // namespace testing_host
