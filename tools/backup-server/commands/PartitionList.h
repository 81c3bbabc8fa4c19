// The partition list from the server's side: the request, the reply's entries (whose last
// three fields only servers above version 0x10005 receive) and a printable table.
//
// PartitionListItem and its decoder are deliberately independent of the agent's encoder
// (requests/PartitionListEntry.h): the server is a second implementation of the wire
// format, so a field the agent writes in the wrong order, width or version fails here
// instead of passing through a shared definition unnoticed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "backup-server/session/AgentSession.h"
#include "net/EncryptedMessage.h"

namespace backup_server {

struct PartitionListItem {
    std::string name;
    bool isContainer = false;
    bool hasDriveLetter = false;
    std::uint32_t reserved1 = 0;
    std::uint32_t reserved2 = 0;
    std::uint32_t sizeKiB = 0;
    std::uint32_t kind = 0;
    std::string drivePath;
    std::string parentName;
    bool isNtfs = false;
};

// Reads a PROT_PARTITION_LIST reply as a server of the given protocol version receives it.
// Throws runtime::AgentException for another code, a count the message cannot hold, or
// bytes left over.
std::vector<PartitionListItem> parsePartitionList(net::EncryptedMessage& reply,
                                                  std::uint32_t serverVersion);

// Sends PROT_REQ_PARTITION_LIST and reads the reply.
std::vector<PartitionListItem> requestPartitionList(AgentSession& session);

// One line per entry: name, kind, size, drive path, parent; volumes indented.
std::string formatPartitionList(const std::vector<PartitionListItem>& items);

}  // namespace backup_server
