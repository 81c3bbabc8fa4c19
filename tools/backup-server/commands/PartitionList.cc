#include "backup-server/commands/PartitionList.h"

#include "backup-server/commands/JsonText.h"

#include <iomanip>
#include <sstream>

#include "backup-server/commands/Command.h"
#include "runtime/Exceptions.h"

namespace backup_server {
namespace {

// name length, two flags and four numbers: the least one entry takes.
constexpr std::size_t kSmallestEntry = 4 + 2 + 16;

PartitionListItem readItem(net::EncryptedMessage& reply, bool details) {
    PartitionListItem item;
    item.name = reply.readString();
    item.isContainer = reply.read8() != 0;
    item.hasDriveLetter = reply.read8() != 0;
    item.reserved1 = reply.read32();
    item.reserved2 = reply.read32();
    item.sizeKiB = reply.read32();
    item.kind = reply.read32();
    if (details) {
        item.drivePath = reply.readString();
        item.parentName = reply.readString();
        item.isNtfs = reply.read8() != 0;
    }
    return item;
}

std::string kindName(const PartitionListItem& item) {
    switch (item.kind) {
        case 2:
            return "disk";
        case 4:
            return "NTFS";
        case 6:
            return "group";
        default:
            return "other(" + std::to_string(item.kind) + ")";
    }
}

}  // namespace

std::vector<PartitionListItem> parsePartitionList(net::EncryptedMessage& reply,
                                                  std::uint32_t serverVersion) {
    net::Code code = reply.read32();
    if (code != net::PROT_PARTITION_LIST) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Unexpected reply to the partition list (0x" + net::hexCode(code) + ")");
    }
    std::uint32_t count = reply.read32();
    if (count > reply.remaining() / kSmallestEntry) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Partition list announces " + std::to_string(count) + " entries");
    }
    std::vector<PartitionListItem> items;
    items.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i)
        items.push_back(readItem(reply, serverVersion > 0x10005));
    if (!reply.atEnd())
        ZENTRAD_THROW(runtime::AgentException, "Partition list has trailing bytes");
    return items;
}

std::vector<PartitionListItem> requestPartitionList(AgentSession& session) {
    auto request = session.newMessage();
    request->write32(net::PROT_REQ_PARTITION_LIST);
    request->send();
    auto reply = session.receiveMessage();
    return parsePartitionList(*reply, AgentSession::kServerProtocolVersion);
}

std::string formatPartitionList(const std::vector<PartitionListItem>& items) {
    std::ostringstream table;
    table << std::left << std::setw(44) << "NAME" << std::setw(8) << "KIND" << std::right
          << std::setw(14) << "SIZE KiB"
          << "  " << std::left << std::setw(6) << "DRIVE"
          << "PARENT\n";
    for (const auto& item : items) {
        std::string name = (item.isContainer ? "" : "  ") + item.name;
        table << std::left << std::setw(44) << name << std::setw(8) << kindName(item) << std::right
              << std::setw(14) << item.sizeKiB << "  " << std::left << std::setw(6)
              << (item.drivePath.empty() ? "-" : item.drivePath)
              << (item.parentName.empty() ? "-" : item.parentName) << "\n";
    }
    return table.str();
}

int partitionListCommand(CommandContext& context) {
    auto session = context.openSession();
    auto items = requestPartitionList(*session);
    session->finish();
    if (!context.json) {
        *context.out << formatPartitionList(items);
        return kExitOk;
    }
    JsonText json;
    json.beginArray();
    for (const PartitionListItem& item : items) {
        json.beginObject().key("name").value(item.name).key("parent").value(item.parentName);
        json.key("container").value(item.isContainer).key("kind").value(std::uint64_t{item.kind});
        json.key("size_bytes").value(std::uint64_t{item.sizeKiB} * 1024);
        json.key("drive_path").value(item.drivePath).key("ntfs").value(item.isNtfs).endObject();
    }
    *context.out << json.endArray().text() << "\n";
    return kExitOk;
}

}  // namespace backup_server
