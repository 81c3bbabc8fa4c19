#include "DiskHost.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <memory>

#include "crypto/KeyMsg.h"
#include "net/EncryptedMessage.h"
#include "requests/PartitionListEntry.h"
#include "runtime/Exceptions.h"

namespace disks_test {

std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const runtime::DiskException& error) {
        return error.message();
    }
    return "(no exception)";
}

std::string tableSector(const std::vector<TableEntry>& entries) {
    std::string sector(512, '\0');
    for (std::size_t i = 0; i < entries.size() && i < 4; ++i) {
        char* entry = sector.data() + 446 + 16 * i;
        entry[4] = static_cast<char>(entries[i].type);
        for (int b = 0; b < 4; ++b) {
            entry[8 + b] = static_cast<char>(entries[i].relative >> (8 * b));
            entry[12 + b] = static_cast<char>(entries[i].count >> (8 * b));
        }
    }
    sector[510] = static_cast<char>(0x55);
    sector[511] = static_cast<char>(0xAA);
    return sector;
}

std::vector<backup_server::PartitionListItem> listAs(std::uint32_t version) {
    net::ProtocolStream stream(nullptr);
    crypto::KeyMsg key(1, 128);
    net::EncryptedMessage message(stream, key);
    requests::writePartitionList(message, requests::collectPartitionList(version), version);
    message.setPlainText(message.plainText());
    return backup_server::parsePartitionList(message, version);
}

}  // namespace disks_test
