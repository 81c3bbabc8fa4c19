#include "backup-server/session/PartitionTable.h"

#include "runtime/Exceptions.h"

namespace backup_server {
namespace {

void expectAck(AgentSession& session) {
    auto reply = session.receiveMessage();
    net::ProtocolStream::verifyCode(net::PROT_ACK, reply->read32());
}

}  // namespace

PartitionTableImage backupPartitionTable(AgentSession& session, const std::string& diskID) {
    auto request = session.newMessage();
    request->write32(net::PROT_REQ_PARTITION_BACKUP).write32(0).write32(0).writeString(diskID);
    request->send();
    expectAck(session);
    auto header = session.receiveMessage();
    net::ProtocolStream::verifyCode(net::PROT_PARTITION_TABLE, header->read32());
    PartitionTableImage image;
    image.sectorSize = header->read32();
    std::uint32_t count = header->read32();
    if (image.sectorSize == 0 || image.sectorSize > kMaxTableSectorSize ||
        count > kMaxTableSectors) {
        ZENTRAD_THROW(runtime::AgentException, "Agent announces " + std::to_string(count) +
                                                   " sectors of " +
                                                   std::to_string(image.sectorSize) + " bytes");
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        session.readCodeExpect(net::PROT_SECTOR);
        TableSector sector;
        sector.offset = session.read64();
        sector.data.resize(image.sectorSize);
        session.readBytes(sector.data.data(), image.sectorSize);
        image.sectors.push_back(std::move(sector));
    }
    session.readCodeExpect(net::PROT_PARTITION_BACKUP_END);
    return image;
}

void startPartitionRestore(AgentSession& session, const std::string& diskID,
                           std::uint32_t sectorSize, std::uint32_t count) {
    auto request = session.newMessage();
    request->write32(net::PROT_REQ_PARTITION_RESTORE).write32(0).write32(0).write32(0);
    request->writeString(diskID).writeString("").writeString("");
    request->write32(sectorSize).write32(count);
    request->send();
    expectAck(session);
    session.readCodeExpect(net::PROT_PARTITION_RESTORE_READY);
}

void sendTableSector(AgentSession& session, const TableSector& sector) {
    auto unit = session.sendCode(net::PROT_SECTOR);
    unit.write64(sector.offset);
    unit.write(sector.data.data(), static_cast<std::int64_t>(sector.data.size()));
    unit.flush();
}

void finishPartitionRestore(AgentSession& session) {
    session.readCodeExpect(net::PROT_PARTITION_RESTORE_END);
}

void restorePartitionTable(AgentSession& session, const std::string& diskID,
                           const PartitionTableImage& image) {
    startPartitionRestore(session, diskID, image.sectorSize,
                          static_cast<std::uint32_t>(image.sectors.size()));
    for (const auto& sector : image.sectors)
        sendTableSector(session, sector);
    finishPartitionRestore(session);
}

}  // namespace backup_server
