// An agent on an emulated host with one disk holding an NTFS volume ("Disk 0 Partition 0",
// drive C, 4 KiB clusters) filled with a random file, and a backup store for it: the common
// ground of the fault, load and soak tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "AgentProcess.h"
#include "backup-server/session/VolumeBackup.h"
#include "backup-server/session/VolumeRestore.h"
#include "backup-server/store/VolumeStore.h"
#include "common/TempDir.h"

namespace test {

struct HostLayout {
    std::uint32_t volumeMiB = 32;        // the disk is 8 MiB larger
    std::uint32_t randomFileKiB = 2048;  // random.bin, incompressible
    bool secondDisk = false;             // "Disk 1 Partition 0": an empty 8 MiB NTFS volume
};

class AgentHost {
  public:
    static constexpr const char* kDeviceID = "Disk 0 Partition 0";
    static constexpr std::uint32_t kCluster = 4096;

    // Builds the host and starts the agent.
    explicit AgentHost(AgentSettings settings = {}, HostLayout layout = {});

    AgentProcess& agent() { return *agent_; }
    // Runs hostsim on this host; returns its output.
    std::string sim(const std::string& arguments) const;
    const std::filesystem::path& storeRoot() const { return store_.path(); }

    // A complete backup into the store, of kDeviceID unless options name another device
    // (throws runtime::AgentException when it fails).
    backup_server::BackupSummary backup(backup_server::BackupOptions options = {});
    // Writes the used blocks of the store's image back onto the volume; throws
    // runtime::AgentException when the agent fails the restore.
    backup_server::RestoreSummary restore();
    // A session that asks for a backup (no digests, no compression) and then reads nothing.
    std::unique_ptr<backup_server::AgentSession> stalledBackup();

    // The volume's cluster, read straight from the disk image.
    std::string volumeCluster(std::uint64_t index) const;
    // The first cluster of random.bin.
    std::uint64_t randomFileCluster() const { return randomCluster_; }
    std::uint64_t randomFileClusters() const { return layout_.randomFileKiB / 4; }

    // Indexes of used blocks whose stored copy (in the latest point of the agent's volume
    // in store, by default this host's own store) differs from the volume.
    std::vector<std::uint64_t> storeMismatches(
        const blocks::BlockMap& used, const std::filesystem::path& store = {},
        const std::string& agent = backup_server::VolumeStore::kDefaultAgent) const;

  private:
    HostLayout layout_;
    std::unique_ptr<AgentProcess> agent_;
    TempDir store_;
    std::uint64_t randomCluster_ = 0;
};

}  // namespace test
