// Emulated hosts for the disk tests: a host root of their own, selected for this process
// through ZENTRAD_HOST_ROOT, built with hostsim or with partition tables written here.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "backup-server/commands/PartitionList.h"
#include "common/EmulatedHost.h"
#include "common/TestBytes.h"

namespace disks_test {

class DiskHost {
  public:
    // Runs hostsim on this host; returns its output (fails the test when hostsim fails).
    std::string sim(const std::string& arguments) const { return host_.sim(arguments); }
    std::filesystem::path image(std::uint32_t disk) const { return host_.diskImage(disk); }
    std::string read(std::uint32_t disk, std::uint64_t offset, std::size_t length) const {
        return test::readAt(image(disk), offset, length);
    }
    void write(std::uint32_t disk, std::uint64_t offset, const std::string& bytes) const {
        test::writeAt(image(disk), offset, bytes);
    }
    const std::filesystem::path& root() const { return host_.root(); }

  private:
    test::EmulatedHost host_;
};

// A 512-byte table sector: the four entries (type, relative sector, sector count), then
// 0x55 0xAA.
struct TableEntry {
    std::uint8_t type = 0;
    std::uint32_t relative = 0;
    std::uint32_t count = 0;
};
std::string tableSector(const std::vector<TableEntry>& entries);

// The message of the runtime::DiskException that action throws, or "(no exception)".
std::string messageOf(const std::function<void()>& action);

// The partition-list reply the agent writes for a server of that version, as the server tool
// decodes it.
std::vector<backup_server::PartitionListItem> listAs(std::uint32_t version);

}  // namespace disks_test
