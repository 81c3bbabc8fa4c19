// The fixture of the store's tests: restore points built, read, verified and collected
// without an agent, on a small volume of 1 KiB blocks in chunks of 1024 blocks (whatever
// chunk size new volumes get) whose contents the test keeps itself.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <sstream>

#include "backup-server/commands/Command.h"
#include "backup-server/store/PointBuilder.h"
#include "backup-server/store/VolumeStore.h"
#include "blocks/Md5Stream.h"
#include "common/TempDir.h"
#include "common/TestBytes.h"

namespace store_test {

namespace fs = std::filesystem;
using namespace backup_server;

inline constexpr std::uint32_t kBlock = 1024;
inline constexpr std::uint32_t kChunkBlocks = 1024;
inline constexpr std::uint64_t kBlocks = 5000;  // five chunks, the last one short
inline const char* const kDevice = "Disk 0 Partition 0";
inline const char* const kAgent = "test-agent";

// A point's details as a backup of kAgent gives them to PointBuilder::commit.
inline PointRecord agentPoint() {
    PointRecord details;
    details.agent = kAgent;
    return details;
}

// A volume as the test knows it: block contents and which blocks are used.
struct Volume {
    std::map<std::uint64_t, std::string> blocks;
    blocks::BlockMap used{kBlocks};

    void write(std::uint64_t index, unsigned seed) {
        blocks[index] = test::randomBytes(kBlock, seed);
        used.setBit(index);
    }
    std::string read(std::uint64_t index) const {
        return used.bit(index) ? blocks.at(index) : std::string(kBlock, '\0');
    }
};

// Runs a command of the tool on arguments; output gets what it printed.
inline int runTool(int (*command)(CommandContext&), std::vector<std::string> arguments,
                   std::string& output, bool json = false) {
    std::ostringstream out;
    CommandContext context;
    context.arguments = std::move(arguments);
    context.json = json;
    context.out = &out;
    int status = command(context);
    output = out.str();
    return status;
}

inline blocks::BlockDigest md5(const std::string& data) {
    blocks::Md5Stream stream;
    stream.update(data.data(), data.size());
    return stream.finish();
}

class PointStoreTest : public ::testing::Test {
  protected:
    PointStoreTest() { createStore(dir_.path()); }

    // Adds a point holding volume, sending the blocks listed (all used ones when empty).
    PointRecord addPoint(const Volume& volume, std::vector<std::uint64_t> sent = {},
                         std::uint32_t protocol = 1) {
        auto builder = startPoint();
        builder->setUsed(volume.used);
        if (sent.empty()) {
            for (const auto& [index, data] : volume.blocks) {
                if (volume.used.bit(index))
                    sent.push_back(index);
            }
        }
        for (std::uint64_t index : sent) {
            std::string data = volume.read(index);
            builder->writeBlock(index, reinterpret_cast<const unsigned char*>(data.data()),
                                md5(data));
        }
        PointRecord details = agentPoint();
        details.kind = "full";
        details.journalKey = std::string(56, 'k');
        details.protocol = protocol;
        return builder->commit(details);
    }

    std::unique_ptr<PointBuilder> startPoint(std::uint64_t blockCount = kBlocks) {
        store_.reset();  // its lock, first
        store_ = std::make_unique<Store>(dir_.path(), Store::Access::write, "test", keys_);
        std::optional<PointRecord> latest = store_->catalogue().latest(kAgent, kDevice);
        std::unique_ptr<PointReader> base;
        if (latest)
            base = std::make_unique<PointReader>(*store_, *latest);
        return std::make_unique<PointBuilder>(
            *store_, kDevice, PointGeometry{kBlock, chunkBlocks_, blockCount}, std::move(base));
    }

    void expectPointHolds(std::int64_t id, const Volume& volume) {
        Store store(dir_.path(), Store::Access::look, "", keys_);
        PointReader reader(store, *store.catalogue().point(id));
        for (std::uint64_t i = 0; i < kBlocks; ++i) {
            ASSERT_EQ(reader.used().bit(i), volume.used.bit(i)) << "block " << i;
            std::string data(reinterpret_cast<const char*>(reader.block(i)), kBlock);
            ASSERT_TRUE(data == volume.read(i)) << "block " << i;
            ASSERT_EQ(reader.digest(i), md5(volume.read(i))) << "block " << i;
        }
    }

    std::size_t chunkFiles() const {
        std::size_t count = 0;
        for (const auto& entry : fs::recursive_directory_iterator(dir_.path() / "chunks"))
            count += entry.is_regular_file() ? 1 : 0;
        return count;
    }

    void dropStore() { store_.reset(); }

    // The file of one of the point's chunks.
    fs::path chunkPath(const PointRecord& point, std::uint64_t chunk) {
        Store look(dir_.path(), Store::Access::look, "", keys_);
        PointReader reader(look, point);
        return ChunkStore(look.chunkFolder()).pathOf(reader.index().entry(chunk));
    }

    test::TempDir dir_;
    KeySource keys_;  // unlocks the store when a test encrypts it
    std::unique_ptr<Store> store_;
    std::uint32_t chunkBlocks_ = kChunkBlocks;  // of the points startPoint builds
};

}  // namespace store_test
