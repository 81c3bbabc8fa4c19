#include "DiskHost.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "crypto/KeyMsg.h"
#include "net/EncryptedMessage.h"
#include "requests/PartitionListEntry.h"
#include "runtime/Exceptions.h"

namespace disks_test {

std::string DiskHost::read(std::uint32_t disk, std::uint64_t offset, std::size_t length) const {
    std::ifstream in(image(disk), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::string bytes(length, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(length));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

void DiskHost::write(std::uint32_t disk, std::uint64_t offset, const std::string& bytes) const {
    std::fstream out(image(disk), std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good());
}

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
    writePartitionList(message, collectPartitionList(version), version);
    message.setPlainText(message.plainText());
    return backup_server::parsePartitionList(message, version);
}

}  // namespace disks_test
