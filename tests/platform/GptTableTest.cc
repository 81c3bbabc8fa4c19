// The GPT reader and the emulated extended drive layout, against tables that sfdisk wrote,
// and against those tables damaged in the ways a hostile disk could be.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "HostFixture.h"
#include "platform/DeviceControl.h"
#include "platform/Errors.h"
#include "platform/GptFormat.h"
#include "platform/emulated/Host.h"
#include "platform/emulated/storage/HostLayout.h"

namespace testing_host {
namespace {

using namespace platform;

constexpr const char* kEsp = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
constexpr const char* kMsr = "E3C9E316-0B5C-4DB8-817D-F92DF00215AE";
constexpr const char* kData = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";

std::string lower(std::string text) {
    for (auto& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

class GptDiskTest : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        sim(std::string("add-disk --size 64M --label gpt --part size=8M,type=") + kEsp +
            " --part size=8M,type=" + kMsr + " --part size=20M,type=" + kData + ",name=data");
    }

    std::vector<std::uint8_t> image() const {
        std::ifstream in(diskImage(0), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    // The extended drive layout of an open disk, asked for with room for entries entries;
    // ok is false (and the test failed) when the request was refused.
    struct LayoutEx {
        bool ok = false;
        std::vector<std::uint8_t> bytes;
        DriveLayoutInformationExHeader header{};

        PartitionInformationEx entry(std::uint32_t i) const {
            PartitionInformationEx entry{};
            std::memcpy(&entry, bytes.data() + kDriveLayoutExEntryOffset + i * sizeof entry,
                        sizeof entry);
            return entry;
        }
    };
    static LayoutEx layoutEx(FileHandle& disk, std::uint32_t entries) {
        LayoutEx layout;
        std::uint32_t error = 0;
        layout.bytes = control(disk, kIoctlDiskGetDriveLayoutEx, nullptr, 0, 48 + entries * 144,
                               layout.ok, error);
        EXPECT_TRUE(layout.ok) << error;
        if (layout.ok)
            std::memcpy(&layout.header, layout.bytes.data(), sizeof layout.header);
        return layout;
    }
};

gpt::Table tableOf(const std::vector<std::uint8_t>& bytes) {
    return gpt::readTable(
        [&bytes](std::uint64_t offset, void* buffer, std::size_t count) {
            if (offset > bytes.size() || count > bytes.size() - offset)
                return false;
            std::memcpy(buffer, bytes.data() + offset, count);
            return true;
        },
        bytes.size() / gpt::kSectorBytes);
}

TEST_F(GptDiskTest, ExtendedLayoutMatchesSfdisk) {
    FileHandle disk = openForRead(L"\\\\.\\PHYSICALDRIVE0");
    LayoutEx layout = layoutEx(disk, 8);
    ASSERT_TRUE(layout.ok);
    const DriveLayoutInformationExHeader& header = layout.header;
    EXPECT_EQ(header.partitionStyle, kPartitionStyleGpt);
    ASSERT_EQ(header.partitionCount, 3u);
    EXPECT_EQ(header.gpt().maxPartitionCount, 128u);

    std::string dump = test::runCommand("sfdisk --dump '" + diskImage(0).string() + "'");
    std::smatch id;
    ASSERT_TRUE(std::regex_search(dump, id, std::regex("label-id: (\\S+)")));
    EXPECT_EQ(gpt::guidText(header.gpt().diskId), lower(id[1]));
    EXPECT_EQ(header.gpt().startingUsableOffset, 2048 * 512);

    std::regex line(R"(start=\s*(\d+), size=\s*(\d+), type=(\S+), uuid=([0-9A-F-]+))");
    auto next = std::sregex_iterator(dump.begin(), dump.end(), line);
    for (std::uint32_t i = 0; i < 3; ++i, ++next) {
        ASSERT_NE(next, std::sregex_iterator());
        PartitionInformationEx entry = layout.entry(i);
        EXPECT_EQ(entry.partitionStyle, kPartitionStyleGpt);
        EXPECT_EQ(entry.partitionNumber, i + 1);
        EXPECT_EQ(entry.startingOffset, std::stoll((*next)[1]) * 512);
        EXPECT_EQ(entry.partitionLength, std::stoll((*next)[2]) * 512);
        EXPECT_EQ(gpt::guidText(entry.gpt().partitionType), lower((*next)[3].str().substr(0, 36)));
        EXPECT_EQ(gpt::guidText(entry.gpt().partitionId), lower((*next)[4]));
    }
    PartitionInformationEx last = layout.entry(2);
    EXPECT_EQ(last.gpt().name[0], u'd');
    EXPECT_EQ(last.gpt().name[4], 0);

    bool ok = false;
    std::uint32_t error = 0;
    control(disk, kIoctlDiskGetDriveLayoutEx, nullptr, 0, 48 + 2 * 144, ok, error);
    EXPECT_EQ(error, kErrorInsufficientBuffer);
    // The classic layout has no room for GPT entries.
    control(disk, kIoctlDiskGetDriveLayout, nullptr, 0, 1928, ok, error);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, kErrorInvalidFunction);
}

TEST_F(GptDiskTest, ReservedPartitionIsCountedButHasNoVolume) {
    auto layout = emulated::HostLayout::load(emulated::Host::current());
    std::vector<std::uint32_t> indices;
    for (const auto& volume : layout.volumes())
        indices.push_back(volume.partitionIndex);
    EXPECT_EQ(indices, (std::vector<std::uint32_t>{0, 2}));
    const auto* data = layout.selectVolume("0:2");
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->extents[0].offset, (2048u + 2 * 16384) * 512);
    EXPECT_EQ(layout.selectVolume("0:1"), nullptr);
}

TEST_F(GptDiskTest, MbrDiskReportsMbrStyleInExtendedLayout) {
    sim("add-disk --size 16M --signature 0x1234abcd --part size=4M,type=7");
    FileHandle disk = openForRead(L"\\\\.\\PHYSICALDRIVE1");
    LayoutEx layout = layoutEx(disk, 4);
    ASSERT_TRUE(layout.ok);
    EXPECT_EQ(layout.header.partitionStyle, kPartitionStyleMbr);
    EXPECT_EQ(layout.header.mbrSignature(), 0x1234abcdu);
    ASSERT_EQ(layout.header.partitionCount, 4u);
    PartitionInformationEx first = layout.entry(0);
    EXPECT_EQ(first.mbr().partitionType, 7);
    EXPECT_EQ(first.partitionNumber, 1u);
}

// Damages the table of an image and recomputes every CRC, so that only the damage itself
// can be what the reader refuses.
class Damage {
  public:
    explicit Damage(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {
        std::string error;
        auto header = gpt::parseHeader(sector(1), 1, sectors(), error);
        EXPECT_TRUE(header) << error;
        primary_ = *header;
        arrayLba_ = primary_.entryLba;
        arrayBytes_ = primary_.arrayBytes();
        backup_ = *gpt::parseHeader(sector(primary_.alternateLba), primary_.alternateLba, sectors(),
                                    error);
    }
    std::uint8_t* sector(std::uint64_t lba) { return bytes_.data() + lba * 512; }
    std::uint64_t sectors() const { return bytes_.size() / 512; }
    std::uint8_t* entry(std::uint32_t index) { return sector(arrayLba_) + index * 128; }
    // Copies the primary array to the backup's and stores both headers with fresh CRCs.
    const std::vector<std::uint8_t>& sealed() {
        std::memmove(sector(backup_.entryLba), sector(arrayLba_), arrayBytes_);
        primary_.entryArrayCrc = backup_.entryArrayCrc = gpt::crc32(sector(arrayLba_), arrayBytes_);
        gpt::storeHeader(primary_, sector(1));
        gpt::storeHeader(backup_, sector(backup_.myLba));
        return bytes_;
    }
    gpt::Header primary_;
    gpt::Header backup_;

  private:
    std::vector<std::uint8_t> bytes_;
    std::uint64_t arrayLba_ = 0;
    std::uint64_t arrayBytes_ = 0;
};

void putLba(std::uint8_t* at, std::uint64_t value) {
    std::memcpy(at, &value, 8);
}

TEST_F(GptDiskTest, IntactTableIsReadWithBothHeaders) {
    gpt::Table table = tableOf(Damage(image()).sealed());
    ASSERT_TRUE(table.valid) << table.error;
    EXPECT_EQ(table.entries.size(), 3u);
    EXPECT_EQ(table.entries[2].index, 2u);
    EXPECT_EQ(table.backup.myLba, 131071u);
    EXPECT_EQ(table.entries[1].type, gpt::kMicrosoftReservedType);
}

TEST_F(GptDiskTest, HostileTablesAreRefusedWithTheReason) {
    struct Case {
        const char* name;
        std::function<void(Damage&)> damage;
        const char* reason;
    };
    std::vector<Case> cases = {
        {"count overflows", [](Damage& d) { d.primary_.entryCount = 0xFFFFFFFF; }, "exceed"},
        {"huge entry size", [](Damage& d) { d.primary_.entryBytes = 0x80000000; }, "entry size"},
        {"odd entry size", [](Damage& d) { d.primary_.entryBytes = 200; }, "entry size"},
        {"array past the end", [](Damage& d) { d.primary_.entryLba = d.sectors() - 2; },
         "entry array"},
        {"array in usable area", [](Damage& d) { d.primary_.entryLba = 4096; }, "entry array"},
        {"usable past the end", [](Damage& d) { d.primary_.lastUsableLba = d.sectors(); },
         "usable"},
        {"entry past the end", [](Damage& d) { putLba(d.entry(2) + 40, d.sectors() + 5); },
         "outside"},
        {"entry ends before it starts", [](Damage& d) { putLba(d.entry(0) + 40, 2000); },
         "outside"},
        {"overlapping entries", [](Damage& d) { putLba(d.entry(2) + 32, 30000); }, "overlap"},
    };
    const auto original = image();
    for (const auto& c : cases) {
        Damage damage(original);
        c.damage(damage);
        gpt::Table table = tableOf(damage.sealed());
        EXPECT_FALSE(table.valid) << c.name;
        EXPECT_NE(table.error.find(c.reason), std::string::npos) << c.name << ": " << table.error;
        EXPECT_TRUE(table.entries.empty()) << c.name;
    }
}

TEST_F(GptDiskTest, DamagedPrimaryIsReportedNotReplacedByTheBackup) {
    Damage damage(image());
    auto bytes = damage.sealed();
    bytes[512 + 40] ^= 1;  // first usable sector, under the header CRC
    gpt::Table table = tableOf(bytes);
    EXPECT_FALSE(table.valid);
    EXPECT_TRUE(table.backupIntact);
    EXPECT_NE(table.error.find("CRC"), std::string::npos) << table.error;
    EXPECT_NE(table.error.find("intact"), std::string::npos) << table.error;

    bytes = damage.sealed();
    bytes[damage.primary_.entryLba * 512 + 3] ^= 1;  // inside the primary array only
    table = tableOf(bytes);
    EXPECT_FALSE(table.valid);
    EXPECT_TRUE(table.backupIntact);

    bytes = damage.sealed();
    bytes[(bytes.size() - 512) + 60] ^= 1;  // the backup header's disk GUID
    table = tableOf(bytes);
    EXPECT_FALSE(table.valid);
    EXPECT_NE(table.error.find("backup"), std::string::npos) << table.error;
}

TEST_F(GptDiskTest, DamagedTableLeavesTheDiskWithoutVolumes) {
    std::fstream file(diskImage(0), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(512 + 8);
    file.put(2);  // revision 0.2
    file.close();
    auto layout = emulated::HostLayout::load(emulated::Host::current());
    EXPECT_TRUE(layout.volumes().empty());
    FileHandle disk = openForRead(L"\\\\.\\PHYSICALDRIVE0");
    bool ok = false;
    std::uint32_t error = 0;
    control(disk, kIoctlDiskGetDriveLayoutEx, nullptr, 0, 4096, ok, error);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, kErrorDiskCorrupt);
}

}  // namespace
}  // namespace testing_host
