#include "AgentHost.h"

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "backup-server/session/StoreBlockSource.h"
#include "backup-server/store/VolumeStore.h"
#include "common/TestBytes.h"
#include "net/Codes.h"

namespace test {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kVolumeOffset = 1 << 20;  // the partition starts at 1 MiB

}  // namespace

AgentHost::AgentHost(AgentSettings settings, HostLayout layout)
    : layout_(layout),
      agent_(agentOnHost(std::move(settings),
                         {"add-disk --size " + std::to_string(layout.volumeMiB + 8) +
                              "M --part 'size=" + std::to_string(layout.volumeMiB) + "M,type=7'",
                          "mkfs 0:0", "letter C 0:0"})) {
    std::string content = randomBytes(std::size_t{layout.randomFileKiB} << 10, 3);
    agent_->put("0:0", "/random.bin", content);
    if (layout.secondDisk) {
        sim("add-disk --size 16M --part 'size=8M,type=7'");
        sim("mkfs 1:0");
    }
    backup_server::createStore(store_.path());
    agent_->allowServer(serverKeys("backup"));
    agent_->start();

    std::string volume =
        readAt(agent_->diskImage(), kVolumeOffset, std::size_t{layout.volumeMiB} << 20);
    std::size_t found = volume.find(content.substr(0, kCluster));
    if (found == std::string::npos || found % kCluster != 0)
        ADD_FAILURE() << "random.bin not found on the volume";
    else
        randomCluster_ = found / kCluster;
}

std::string AgentHost::sim(const std::string& arguments) const {
    return agent_->sim(arguments);
}

backup_server::BackupSummary AgentHost::backup(backup_server::BackupOptions options) {
    if (options.deviceID.empty())
        options.deviceID = kDeviceID;
    backup_server::VolumeStore store(store_.path(), options.deviceID);
    auto session = agent_->openSession(serverKeys("backup"));
    backup_server::BackupSummary summary = backup_server::runVolumeBackup(*session, store, options);
    session->finish();
    return summary;
}

backup_server::RestoreSummary AgentHost::restore() {
    backup_server::VolumeStore store(store_.path(), kDeviceID);
    backup_server::StoreBlockSource source(store);
    backup_server::RestoreOptions options;
    options.deviceID = kDeviceID;
    options.blockSize = store.blockSize();
    options.compressionType = 1;
    auto session = agent_->openSession(serverKeys("backup"));
    backup_server::RestoreSummary summary =
        backup_server::runVolumeRestore(*session, options, source);
    session->finish();
    return summary;
}

std::unique_ptr<backup_server::AgentSession> AgentHost::stalledBackup() {
    auto session = agent_->openSession(serverKeys("backup"));
    // A small receive buffer, so a few MiB of blocks fill what the two sides can hold.
    int bytes = 64 << 10;
    ::setsockopt(static_cast<int>(session->socket()->handle()), SOL_SOCKET, SO_RCVBUF, &bytes,
                 sizeof bytes);
    auto request = session->newMessage();
    request->write32(net::PROT_REQ_BACKUP);
    request->write32(0);  // no digests: every used block goes out
    request->writeString(kDeviceID);
    for (int field = 0; field < 5; ++field)  // no compression, no encryption
        request->write32(0);
    request->writeBytes(std::string(backup_server::VolumeStore::kJournalKeyBytes, '\0'));
    request->send();
    net::ProtocolStream::verifyCode(net::PROT_ACK, session->receiveMessage()->read32());
    return session;
}

std::string AgentHost::volumeCluster(std::uint64_t index) const {
    return readAt(agent_->diskImage(), kVolumeOffset + index * kCluster, kCluster);
}

std::vector<std::uint64_t> AgentHost::storeMismatches(const blocks::BlockMap& used,
                                                      const std::filesystem::path& root,
                                                      const std::string& agent) const {
    backup_server::VolumeStore store(root.empty() ? store_.path() : root, kDeviceID, agent);
    std::ifstream volume(agent_->diskImage(), std::ios::binary);
    std::vector<std::uint64_t> mismatches;
    std::string cluster(kCluster, '\0');
    for (std::uint64_t i = 0; i < used.capacity(); ++i) {
        if (!used.bit(i))
            continue;
        volume.seekg(static_cast<std::streamoff>(kVolumeOffset + i * kCluster));
        volume.read(cluster.data(), kCluster);
        if (!volume || store.readBlock(i) != cluster)
            mismatches.push_back(i);
    }
    return mismatches;
}

}  // namespace test
