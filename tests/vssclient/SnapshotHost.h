// A fresh emulated host per test with two 8 MiB volumes on disk 0, mounted as C and D,
// selected for this process through ZENTRAD_HOST_ROOT; COM initialised on the test thread
// and the snapshot time-out set.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/EmulatedHost.h"
#include "platform/Com.h"
#include "platform/File.h"

namespace snapshot_test {

class SnapshotHost : public ::testing::Test {
  protected:
    void SetUp() override;

    std::string sim(const std::string& arguments) { return host_.sim(arguments); }
    void appendConfig(const std::string& text) { host_.appendConfig(text); }
    // The snapshot time-out of the clients the tests make.
    void setTimeoutSeconds(std::int32_t seconds) { timeoutSeconds_ = seconds; }
    std::int32_t timeoutSeconds() const { return timeoutSeconds_; }
    // Volume GUID path with its trailing backslash.
    const std::wstring& volumeC() const { return volumeC_; }
    const std::wstring& volumeD() const { return volumeD_; }
    static std::wstring devicePath(const std::wstring& volumeName) {
        return volumeName.substr(0, volumeName.size() - 1);
    }
    std::filesystem::path snapshotDir() const { return root_ / "snapshots"; }

    test::EmulatedHost host_;
    const std::filesystem::path& root_ = host_.root();
    std::int32_t timeoutSeconds_ = 0;
    std::wstring volumeC_;
    std::wstring volumeD_;
    std::uint64_t volumeOffsetC_ = 0;
    platform::ComInitialization com_;
};

// The device opened through the seam for reading, or for writing too.
platform::FileHandle openDevice(const std::wstring& path, bool write = false);
// The whole device through the seam.
std::vector<std::uint8_t> readDevice(const std::wstring& path, std::uint64_t length);
// Overwrites length bytes at offset of the device through the seam.
void writeDevice(const std::wstring& path, std::uint64_t offset,
                 const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> pattern(std::size_t length, std::uint8_t seed);

}  // namespace snapshot_test
