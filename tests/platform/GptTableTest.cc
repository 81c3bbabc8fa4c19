// The GPT reader and the emulated extended drive layout, against tables that sfdisk wrote,
// and against those tables damaged in the ways a hostile disk could be.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "HostFixture.h"
#include "common/RunCommand.h"
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

// The extended drive layout of an open disk, asked for with room for entries entries.
struct LayoutEx {
    explicit LayoutEx(FileHandle& disk, std::uint32_t entries)
        : reply(control(disk, kIoctlDiskGetDriveLayoutEx, 48 + entries * 144)) {
        EXPECT_TRUE(reply.ok) << reply.error;
        if (reply.ok)
            std::memcpy(&header, reply.bytes.data(), sizeof header);
    }
    PartitionInformationEx entry(std::uint32_t i) const {
        PartitionInformationEx entry{};
        std::memcpy(&entry, reply.bytes.data() + kDriveLayoutExEntryOffset + i * sizeof entry,
                    sizeof entry);
        return entry;
    }
    Reply reply;
    DriveLayoutInformationExHeader header{};
};

class GptDiskTest : public HostTest {
  protected:
    void SetUp() override {
        sim(std::string("add-disk --size 64M --label gpt --part size=8M,type=") + kEsp +
            " --part size=8M,type=" + kMsr + " --part size=20M,type=" + kData + ",name=data");
    }
    std::vector<std::uint8_t> image() const { return readBytes(diskImage(0), 0, 64 << 20); }
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
    LayoutEx layout(disk, 8);
    ASSERT_TRUE(layout.reply.ok);
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

    EXPECT_EQ(control(disk, kIoctlDiskGetDriveLayoutEx, 48 + 2 * 144).error,
              kErrorInsufficientBuffer);
    // The classic layout has no room for GPT entries.
    EXPECT_EQ(control(disk, kIoctlDiskGetDriveLayout, 1928).error, kErrorInvalidFunction);
}

TEST_F(GptDiskTest, MbrDiskReportsMbrStyleInExtendedLayout) {
    sim("add-disk --size 16M --signature 0x1234abcd --part size=4M,type=7");
    FileHandle disk = openForRead(L"\\\\.\\PHYSICALDRIVE1");
    LayoutEx layout(disk, 4);
    ASSERT_TRUE(layout.reply.ok);
    EXPECT_EQ(layout.header.partitionStyle, kPartitionStyleMbr);
    EXPECT_EQ(layout.header.mbrSignature(), 0x1234abcdu);
    ASSERT_EQ(layout.header.partitionCount, 4u);
    EXPECT_EQ(layout.entry(0).mbr().partitionType, 7);
    EXPECT_EQ(layout.entry(0).partitionNumber, 1u);
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
    // Stores value in the field at that offset of an entry of the array.
    void putLba(std::uint32_t entry, std::size_t field, std::uint64_t value) {
        std::memcpy(sector(arrayLba_) + entry * 128 + field, &value, 8);
    }
    // Copies the primary array to the backup's and stores both headers with fresh CRCs. The
    // array is where it was and as long as it was, whatever the damaged header now says.
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

TEST_F(GptDiskTest, HostileTablesAreRefusedWithTheReason) {
    const auto original = image();
    // Resealed without damage, the table reads with both headers.
    gpt::Table intact = tableOf(Damage(original).sealed());
    ASSERT_TRUE(intact.valid) << intact.error;
    EXPECT_EQ(intact.entries.size(), 3u);
    EXPECT_EQ(intact.entries[1].type, gpt::kMicrosoftReservedType);
    EXPECT_EQ(intact.backup.myLba, 131071u);

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
        {"entry past the end", [](Damage& d) { d.putLba(2, 40, d.sectors() + 5); }, "outside"},
        {"entry ends before it starts", [](Damage& d) { d.putLba(0, 40, 2000); }, "outside"},
        {"overlapping entries", [](Damage& d) { d.putLba(2, 32, 30000); }, "overlap"},
    };
    for (const auto& c : cases) {
        Damage damage(original);
        c.damage(damage);
        gpt::Table table = tableOf(damage.sealed());
        EXPECT_FALSE(table.valid) << c.name;
        EXPECT_NE(table.error.find(c.reason), std::string::npos) << c.name << ": " << table.error;
        EXPECT_TRUE(table.entries.empty()) << c.name;
    }
}

// A damaged primary array leaves the backup intact but is still refused; a damaged backup
// header is named as such.
TEST_F(GptDiskTest, DamagedCopiesAreReportedNotReplaced) {
    Damage damage(image());
    auto bytes = damage.sealed();
    bytes[damage.primary_.entryLba * 512 + 3] ^= 1;  // inside the primary array only
    gpt::Table table = tableOf(bytes);
    EXPECT_FALSE(table.valid);
    EXPECT_TRUE(table.backupIntact);
    EXPECT_NE(table.error.find("CRC"), std::string::npos) << table.error;

    bytes = damage.sealed();
    bytes[(bytes.size() - 512) + 60] ^= 1;  // the backup header's disk GUID
    table = tableOf(bytes);
    EXPECT_FALSE(table.valid);
    EXPECT_NE(table.error.find("backup"), std::string::npos) << table.error;
}

TEST_F(GptDiskTest, DamagedTableLeavesTheDiskWithoutVolumes) {
    test::writeAt(diskImage(0), 512 + 8, "\x02");  // revision 0.2
    auto layout = emulated::HostLayout::load(emulated::Host::current());
    EXPECT_TRUE(layout.volumes().empty());
    FileHandle disk = openForRead(L"\\\\.\\PHYSICALDRIVE0");
    Reply reply = control(disk, kIoctlDiskGetDriveLayoutEx, 4096);
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.error, kErrorDiskCorrupt);
}

}  // namespace
}  // namespace testing_host
