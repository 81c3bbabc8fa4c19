// GPT partition tables collected from a disk and written back through disk::Disk: the
// sectors collected, restores onto disks of the same, a larger and a smaller size (judged
// by sgdisk and sfdisk), and damaged tables refused before anything is written.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <regex>

#include "DiskHost.h"
#include "blocks/DiskVolume.h"
#include "disk/Disk.h"
#include "platform/GptFormat.h"
#include "runtime/Exceptions.h"

namespace {

using disks_test::DiskHost;
using Sectors = std::vector<std::shared_ptr<disk::NetSector>>;

constexpr std::uint64_t kSourceSectors = (64 << 20) / 512;

using disks_test::messageOf;

// The partition lines of sfdisk's dump, without the device names.
std::string partitionLines(const std::filesystem::path& image) {
    std::string dump = test::runCommand("sfdisk --dump '" + image.string() + "'");
    std::string lines;
    std::regex line(R"(: (start=.*))");
    for (auto it = std::sregex_iterator(dump.begin(), dump.end(), line);
         it != std::sregex_iterator(); ++it) {
        lines += (*it)[1].str() + "\n";
    }
    return lines;
}

class GptTableTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host_.sim(
            "add-disk --size 64M --label gpt "
            "--part 'size=8M,type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B' "
            "--part 'size=8M,type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE' "
            "--part 'size=20M,type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7,name=data'");
    }
    std::shared_ptr<disk::Disk> disk(int number) {
        return disk::Disk::getDiskWithID("Disk " + std::to_string(number));
    }
    // What a backup of disk 0 carries, as a restore receives it.
    Sectors backup() {
        Sectors sectors;
        for (const auto& sector : disk(0)->getSectors()) {
            auto copy = std::make_shared<disk::NetSector>(sector->getSize(), sector->getOffset());
            std::memcpy(copy->getData(), sector->getData(), sector->getSize());
            sectors.push_back(copy);
        }
        return sectors;
    }
    static disk::NetSector& at(Sectors& sectors, std::uint64_t lba) {
        for (auto& sector : sectors) {
            if (sector->getOffset() == lba * 512)
                return *sector;
        }
        throw std::runtime_error("no sector " + std::to_string(lba));
    }

    DiskHost host_;
};

TEST_F(GptTableTest, CollectsTheProtectiveMbrAndBothCopiesOfTheTable) {
    std::vector<std::uint64_t> expected{0};
    for (std::uint64_t lba = 1; lba < 34; ++lba)
        expected.push_back(lba * 512);
    for (std::uint64_t lba = kSourceSectors - 33; lba < kSourceSectors; ++lba)
        expected.push_back(lba * 512);
    std::vector<std::uint64_t> offsets;
    for (const auto& sector : disk(0)->getSectors())
        offsets.push_back(sector->getOffset());
    EXPECT_EQ(offsets, expected);
    EXPECT_EQ(host_.read(0, kSourceSectors * 512 - 512, 8), "EFI PART");
}

TEST_F(GptTableTest, SameSizeDiskGetsTheBytesAsTheyWere) {
    host_.sim("add-disk --size 64M");
    Sectors sectors = backup();
    disk(1)->writeSectors(sectors);
    EXPECT_TRUE(host_.read(1, 0, 34 * 512) == host_.read(0, 0, 34 * 512));
    EXPECT_TRUE(host_.read(1, (kSourceSectors - 33) * 512, 33 * 512) ==
                host_.read(0, (kSourceSectors - 33) * 512, 33 * 512));
}

TEST_F(GptTableTest, LargerDiskGetsTheTableRebuiltForItsEnd) {
    host_.sim("add-disk --size 96M");
    Sectors sectors = backup();
    disk(1)->writeSectors(sectors);
    std::string verify = test::runCommand("sgdisk --verify '" + host_.image(1).string() + "'");
    EXPECT_NE(verify.find("No problems found"), std::string::npos) << verify;
    EXPECT_EQ(partitionLines(host_.image(1)), partitionLines(host_.image(0)));
    std::string dump = test::runCommand("sfdisk --dump '" + host_.image(1).string() + "'");
    EXPECT_NE(dump.find("last-lba: " + std::to_string((96 << 20) / 512 - 34)), std::string::npos)
        << dump;
    // The new disk's partitions carry the same numbers.
    EXPECT_EQ(blocks::DiskVolume::getDiskVolumesWithID("Disk 1 Partition 2")->getCapacityBytes(),
              20u << 20);
}

TEST_F(GptTableTest, SmallerDiskIsRefusedBeforeAnythingIsWritten) {
    host_.sim("add-disk --size 32M");
    Sectors sectors = backup();
    EXPECT_EQ(messageOf([&] { disk(1)->writeSectors(sectors); }),
              "Refusing partition table restore: the GPT was made for a disk of 131072 sectors; "
              "Disk 1 has only 65536");
    EXPECT_EQ(host_.read(1, 0, 1024), std::string(1024, '\0'));
}

TEST_F(GptTableTest, DamagedTablesAreRefusedWithTheReason) {
    host_.sim("add-disk --size 96M");
    struct Case {
        const char* name;
        std::function<void(Sectors&)> damage;
        const char* reason;
    };
    auto reseal = [](Sectors& sectors, std::uint64_t lba,
                     const std::function<void(platform::gpt::Header&)>& change) {
        std::string error;
        auto header =
            platform::gpt::parseHeader(at(sectors, lba).getData(), lba, kSourceSectors, error);
        ASSERT_TRUE(header) << error;
        change(*header);
        platform::gpt::storeHeader(*header, at(sectors, lba).getData());
    };
    std::vector<Case> cases = {
        {"primary header CRC", [](Sectors& s) { at(s, 1).getData()[40] ^= 1; },
         "the primary GPT header at sector 1: header CRC does not match; its backup copy at "
         "sector 131071 is intact, but a damaged primary is not replaced silently"},
        {"primary array CRC", [](Sectors& s) { at(s, 2).getData()[0] ^= 1; },
         "GPT entry array at sector 2: CRC does not match; its backup copy"},
        {"backup header signature",
         [](Sectors& s) { at(s, kSourceSectors - 1).getData()[0] = 'X'; },
         "the backup GPT header at sector 131071: no \"EFI PART\" signature"},
        {"missing array sector",
         [](Sectors& s) {
             std::erase_if(s, [](const auto& sector) { return sector->getOffset() == 10 * 512; });
         },
         "the backup lacks sector 10 of the primary GPT entry array"},
        {"headers disagree",
         [&](Sectors& s) { reseal(s, kSourceSectors - 1, [](auto& h) { h.diskGuid.data1 ^= 1; }); },
         "does not describe the same table as the primary"},
        {"no header behind a protective MBR",
         [](Sectors& s) {
             std::erase_if(s, [](const auto& sector) { return sector->getOffset() == 512; });
         },
         "protective MBR but no GPT header"},
    };
    for (const auto& c : cases) {
        Sectors sectors = backup();
        c.damage(sectors);
        std::string message = messageOf([&] { disk(1)->writeSectors(sectors); });
        EXPECT_NE(message.find(c.reason), std::string::npos) << c.name << ": " << message;
        EXPECT_EQ(message.rfind("Refusing partition table restore: ", 0), 0u) << message;
        EXPECT_EQ(host_.read(1, 0, 1024), std::string(1024, '\0')) << c.name;
    }
}

TEST_F(GptTableTest, DamagedPrimaryOnTheDiskIsReportedNotBackedUpFromTheCopy) {
    host_.write(0, 512 + 48, "\x01");  // last usable sector, under the header CRC
    std::string message = messageOf([&] { disk(0)->getSectors(); });
    EXPECT_NE(message.find("The GPT of Disk 0 cannot be backed up: the primary GPT header at "
                           "sector 1: header CRC does not match"),
              std::string::npos)
        << message;
    EXPECT_NE(message.find("the backup header at sector 131071 is intact"), std::string::npos)
        << message;
}

}  // namespace
